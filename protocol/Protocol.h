// The device's protocol and the image's layout, once: every byte, token,
// speed, time-out, retry limit and layout constant the tool, its simulator,
// its tests and its fuzzers share. Depends on nothing but the standard
// library, so any part of the tree may include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>


namespace zq {

// Acknowledgements: ACK both ways; NAK from the tool after a wrong echo.
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;

// Discovery, at kProbeBaud: the device beacons until the tool answers
// BEACON_REPLY kBeaconReplies times in a row. A port is listened to for
// kProbeAttempts waits of kProbeAttemptMs.
constexpr uint8_t DEVICE_BEACON = 0xFD;
constexpr uint8_t BEACON_REPLY = 0xFE;
constexpr unsigned kBeaconReplies = 3;
constexpr unsigned kProbeAttempts = 5;
constexpr uint32_t kProbeAttemptMs = 100;

// Speeds, 8N1: 10 bits on the line per byte.
constexpr uint32_t kProbeBaud = 4800;
constexpr uint32_t kDownloadBaud = 115200;
constexpr uint32_t kBitsPerByte = 10;

// The three-letter commands and answers, sent and read as three bytes.
struct Token {
    uint8_t b[3];
    const char* name;
};
constexpr Token kSyn{{0x53, 0x59, 0x4E}, "SYN"};
constexpr Token kDbw{{0x44, 0x42, 0x57}, "DBW"};
constexpr Token kRdy{{0x52, 0x44, 0x59}, "RDY"};
constexpr Token kClr{{0x43, 0x4C, 0x52}, "CLR"};
constexpr Token kEnd{{0x45, 0x4E, 0x44}, "END"};
constexpr Token kTokens[] = {kSyn, kDbw, kRdy, kClr, kEnd};

// The single bytes with a name of their own, for a reader of the line.
// ACK and NAK are ASCII's names and say their value; the device's own names
// need the value beside them.
struct NamedByte {
    uint8_t value;
    const char* name;
    bool showValue;
};
constexpr NamedByte kNamedBytes[] = {
    {ACK, "ACK", false}, {NAK, "NAK", false}, {DEVICE_BEACON, "beacon", true}, {BEACON_REPLY, "beacon reply", true}};

inline const NamedByte* FindNamedByte(uint8_t value)
{
    for (const NamedByte& n : kNamedBytes)
        if (n.value == value)
            return &n;
    return nullptr;
}

// The link's driver time-outs, in milliseconds: a read of n bytes ends when
// they came, after kReadIntervalMs of silence following a byte, or after
// kPerByteMs * n + kConstantMs; a write of n bytes gives up after as long.
constexpr uint32_t kReadIntervalMs = 50;
constexpr uint32_t kPerByteMs = 10;
constexpr uint32_t kConstantMs = 50;

// How long the tool waits for each answer, in milliseconds.
constexpr uint32_t kEchoMs = 100;        // SYN echo, RDY, the two word echoes
constexpr uint32_t kProgressMs = 1000;   // each progress byte of the CLR phase
constexpr uint32_t kBlockAnswerMs = 1000; // ACK or refusal of a block
constexpr uint32_t kFinalAckMs = 100;    // ACK of the closing END

// A station flashes a device once per arrival. A port is free to be flashed
// again only once its device has gone: unplugged, unopenable, or no beacon
// for this long (a device beacons every few ms while it waits in boot mode).
constexpr uint32_t kDeviceGoneMs = 2000;
// A unit whose download failed is not flashed again by itself: it stays
// failed until it is taken away (its port goes, or it is silent this long)
// or the operator retries it. A device that restarts after a failed
// download is silent for a few seconds before it beacons again (the
// simulator: its 3 s silence time-out, then its rest), longer than the
// gone-time; taking a unit off its fixture and putting another on takes
// longer than that restart.
constexpr uint32_t kDeviceAwayMs = 10000;
// How often a station reads the system's port list for ports that appeared.
constexpr uint32_t kPortListPollMs = 500;

// Retry limits: attempts at the header word and at the block count; refusals
// of one block in a row.
constexpr unsigned kWordAttempts = 5;
constexpr unsigned kBlockRefusals = 5;

// The image: header word N (little-endian) at 0, the magic at 2, data blocks
// from kImageDataOffset; accepted when its length is at least
// kImageDataOffset + kLengthPerWord * N. Whole blocks only are sent, at most
// kImageMaxBlocks of them (the count travels as 16 bits).
constexpr uint8_t kImageMagic[4] = {0x53, 0x44, 0x44, 0x42}; // "SDDB"
constexpr size_t kImageMagicOffset = 2;
constexpr uint32_t kImageDataOffset = 0x10000;
constexpr uint32_t kBlockSize = 128;
constexpr uint32_t kLengthPerWord = 16;
constexpr uint32_t kImageMaxBlocks = 0xFFFF;

// The progress bar's milestones. The range is X + E + kBarData (E = X / 512,
// one step for every 64 KiB); the CLR phase's m progress bytes push every
// mark from kBarClrSent on by m; block k acknowledged stands at
// m + kBarData + k.
namespace bar {
constexpr uint32_t kSearching = 5;   // the image accepted, discovery begins
constexpr uint32_t kFound = 10;      // the device answered its beacon
constexpr uint32_t kSynSent = 17;
constexpr uint32_t kSynEchoed = 20;
constexpr uint32_t kDbwSent = 23;
constexpr uint32_t kReady = 25;      // RDY after DBW
constexpr uint32_t kHeader = 27;     // each attempt at the header word
constexpr uint32_t kCount = 30;      // each attempt at the block count
constexpr uint32_t kBeforeClr = 32;
constexpr uint32_t kClrSent = 33;    // + m
constexpr uint32_t kClrAcked = 35;   // + m
constexpr uint32_t kEndSent = 37;    // + m
constexpr uint32_t kData = 40;       // + m: RDY after the CLR phase
constexpr uint32_t ProgressAllowance(uint32_t blocks) { return blocks >> 9; }
constexpr uint32_t Range(uint32_t blocks) { return blocks + ProgressAllowance(blocks) + kData; }
} // namespace bar

// The data phase's best payload rate: each block of kBlockSize bytes takes
// its checksum byte and the device's ACK on the line too.
constexpr double kPayloadCeilingBytesPerS =
    double(kDownloadBaud) / kBitsPerByte * kBlockSize / (kBlockSize + 2);

// An adapter that holds received bytes longer than this (an FTDI chip's
// latency timer, 16 ms unless lowered) is named before its download: each
// block's ACK waits out the timer before the next block can go.
constexpr int kLatencyHintAboveMs = 2;

inline std::vector<uint8_t> TokenBytes(const Token& token) { return {token.b, token.b + sizeof token.b}; }

// Writes the header word and the magic at the start of an image, as much of
// them as fits (a test may want an image too short to hold them).
inline void StampImageHeader(std::vector<uint8_t>& image, uint16_t word)
{
    const uint8_t head[6] = {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8),
                             kImageMagic[0], kImageMagic[1], kImageMagic[2], kImageMagic[3]};
    for (size_t i = 0; i < sizeof head && i < image.size(); ++i)
        image[i] = head[i];
}

// An image of `blocks` data blocks and `tail` bytes after them, header word
// `word`; the header area and the data are left zero for the caller to fill.
inline std::vector<uint8_t> BlankImage(uint16_t word, size_t blocks, size_t tail = 0)
{
    std::vector<uint8_t> image(kImageDataOffset + kBlockSize * blocks + tail, 0);
    StampImageHeader(image, word);
    return image;
}

} // namespace zq
