// The station's image snapshot on Windows: SHA-256 from CNG, and the image
// read once from a file that may change afterwards.
#include <gtest/gtest.h>

#include "station/ImageSnapshot.h"
#include "station/Sha256.h"
#include "tests/win32/WinTestKit.h"

namespace zq {

namespace {

TEST(WinSha256, KnownDigestsFromCng)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(Sha256Hex(abc, 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(abc, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
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
