// The station's image snapshot on Windows: SHA-256 from CNG, and the image
// read once from a file that may change afterwards; the record file's lock.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "download/ImageCheck.h"
#include "platform/Sha256.h"
#include "record/Record.h"
#include "record/YieldReport.h"
#include "tests/KnownDigests.h"
#include "tests/win32/WinTestKit.h"

namespace zq {

namespace {

TEST(WinSha256, KnownDigestsFromCng)
{
    ExpectKnownDigests();
}

TEST(WinImageSnapshot, ReadsFromMemoryWhateverTheFileBecomes)
{
    TempFolder dir;
    const std::string path = dir.file("DB.bin");
    const std::vector<uint8_t> original = MakeImage(65536 + 128 * 3, 2, 5);
    ASSERT_TRUE(WriteBytes(path, original));
    ImageSnapshot snap;
    DownloadFailure failure;
    ASSERT_TRUE(TakeImageSnapshot(path, snap, failure));
    EXPECT_EQ(snap.sha256, Sha256Hex(original.data(), original.size()));
    ASSERT_TRUE(DeleteFileA(path.c_str()));

    CImageFile file;
    snap.Bind(file);
    CDbImage image(file);
    ASSERT_TRUE(image.Open(path));
    ASSERT_TRUE(image.Validate());
    image.Rewind();
    image.ReadHeaderWord();
    uint8_t block[128];
    image.ReadBlock(block);
    EXPECT_EQ(std::vector<uint8_t>(block, block + 128),
              std::vector<uint8_t>(original.begin() + 65536, original.begin() + 65536 + 128));
}

// Windows locks are mandatory: the record's lock must stop a second writer
// and no reader. A line a power cut left unended is ended by the next
// start, and the file is free again as soon as its writer lets go, in the
// same process too (a station window started again).
TEST(WinRecordLog, OneWriterAndEveryReaderBesideIt)
{
    TempFolder dir;
    const std::string path = dir.file("records.jsonl");
    const auto record = [](const char* id) {
        return std::string("{\"id\":\"") + id + "\",\"result\":\"success\",\"job\":\"lot7\",\"image\":{\"sha256\":\"ab\"}}";
    };
    const std::string before = record("a") + "\n{\"id\":\"b\",\"res";
    ASSERT_TRUE(WriteBytes(path, std::vector<uint8_t>(before.begin(), before.end())));
    auto first = std::make_unique<CRecordLog>();
    std::string why;
    ASSERT_TRUE(first->Open(path, why)) << why;
    ASSERT_TRUE(first->Append(record("c")));
    CRecordLog second;
    EXPECT_FALSE(second.Open(path, why));
    EXPECT_EQ(why, path + " is in use by another station");

    EXPECT_EQ(CountLotWritten(path, "lot7", "ab"), 2u);
    std::ifstream in(path, std::ios::binary);
    const YieldReport report = ReadYieldReport(in);
    EXPECT_EQ(report.records, 2u);
    EXPECT_EQ(report.unreadable, 1u);

    first.reset();
    EXPECT_TRUE(second.Open(path, why)) << why;
}

} // namespace

}  // namespace zq
