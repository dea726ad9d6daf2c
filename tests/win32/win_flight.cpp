// Bytes in flight: writes through the link to a port whose other end reads
// nothing until this program has ended, with a purge after each write and
// a close and reopen between rounds, as the download does. The peer must
// then find every byte: a purge or a reopen that throws away what the
// device has not read yet loses some.
//   win_flight PORT ROUNDS     prints the number of bytes written
#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/SerialLink.h"

using namespace zq;

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: win_flight PORT ROUNDS\n");
        return 64;
    }
    const std::string port = argv[1];
    const int rounds = std::atoi(argv[2]);
    CSerialLink link;
    unsigned written = 0;
    for (int r = 0; r < rounds; ++r) {
        if (link.Open(port, r % 2 ? 115200 : 4800) != LINK_OK) {
            std::fprintf(stderr, "cannot open %s\n", port.c_str());
            return 1;
        }
        const uint8_t bytes[3] = {0x06, static_cast<uint8_t>(r), 0x15};
        for (uint8_t b : bytes)
            written += link.WriteByte(b) == LINK_OK;
        link.Purge();
        written += link.WriteBlock(bytes, 3) == LINK_OK ? 3 : 0;
        link.Close();
    }
    std::printf("%u\n", written);
    return 0;
}
