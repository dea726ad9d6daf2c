// The station's image snapshot on Windows: SHA-256 from CNG, and the image
// read once from a file that may change afterwards.
#include <gtest/gtest.h>

#include "download/ImageCheck.h"
#include "platform/Sha256.h"
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

} // namespace

}  // namespace zq
