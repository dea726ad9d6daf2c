// The image reader on Windows files: exclusive and shared opening, the error kinds,
// and the acceptance rules read through the Win32 backend.
#include <gtest/gtest.h>

#include "image/DbImage.h"
#include "image/ImageFile.h"
#include "tests/win32/WinTestKit.h"

namespace zq {

namespace {

constexpr size_t kData = zq::kImageDataOffset;

TEST(WinImageFile, MissingFileOrFolderIsNotFound)
{
    TempFolder dir;
    CImageFile file;
    EXPECT_FALSE(file.Open(dir.file("DB.bin")));
    EXPECT_EQ(file.LastError(), FileError::NotFound);
    EXPECT_FALSE(file.Open(dir.file("missing\\DB.bin")));
    EXPECT_EQ(file.LastError(), FileError::NotFound);
    EXPECT_FALSE(file.IsOpen());
}

TEST(WinImageFile, OpenImageIsNotSharedWithOtherPrograms)
{
    TempFolder dir;
    const std::string path = dir.file("DB.bin");
    ASSERT_TRUE(WriteBytes(path, MakeImage(kData, 0)));

    CImageFile file;
    ASSERT_TRUE(file.Open(path));
    // Another program, even one that would share everything, is refused.
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD err = GetLastError();
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(err, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (other != INVALID_HANDLE_VALUE)
        CloseHandle(other);

    // A second reader in this program is refused the same way, as Busy.
    CImageFile second;
    EXPECT_FALSE(second.Open(path));
    EXPECT_EQ(second.LastError(), FileError::Busy);

    file.Close();
    EXPECT_TRUE(second.Open(path));
}

TEST(WinImageFile, FileHeldByAnotherProgramIsBusy)
{
    TempFolder dir;
    const std::string path = dir.file("DB.bin");
    ASSERT_TRUE(WriteBytes(path, MakeImage(kData, 0)));
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    CImageFile file;
    EXPECT_FALSE(file.Open(path));
    EXPECT_EQ(file.LastError(), FileError::Busy);
    CloseHandle(holder);
    EXPECT_TRUE(file.Open(path));
}

// Two command lines on two adapters read one image; the dialogs still keep
// it to themselves; a program writing it keeps it from every reader, and no
// writer gets in while a shared reader holds it.
TEST(WinImageFile, SharedReadersShareAndExclusiveOpensRefuseThem)
{
    TempFolder dir;
    const std::string path = dir.file("DB.bin");
    ASSERT_TRUE(WriteBytes(path, MakeImage(kData + 128, 8)));
    CImageFile a, b, exclusive, shared;
    a.SetShare(ImageShare::SharedRead);
    b.SetShare(ImageShare::SharedRead);
    shared.SetShare(ImageShare::SharedRead);
    ASSERT_TRUE(a.Open(path));
    ASSERT_TRUE(b.Open(path)) << "a second shared reader was refused";
    EXPECT_FALSE(exclusive.Open(path));
    EXPECT_EQ(exclusive.LastError(), FileError::Busy);
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "a writer got in beside the shared readers";
    if (writer != INVALID_HANDLE_VALUE)
        CloseHandle(writer);
    a.Close();
    b.Close();

    ASSERT_TRUE(exclusive.Open(path));
    EXPECT_FALSE(shared.Open(path));
    EXPECT_EQ(shared.LastError(), FileError::Busy);
    exclusive.Close();

    writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(shared.Open(path));
    EXPECT_EQ(shared.LastError(), FileError::Busy);
    CloseHandle(writer);
    EXPECT_TRUE(shared.Open(path));
}

TEST(WinImageFile, FolderIsNotAnImage)
{
    TempFolder dir;
    CImageFile file;
    EXPECT_FALSE(file.Open(dir.path()));
    EXPECT_NE(file.LastError(), FileError::None);
    EXPECT_FALSE(file.IsOpen());
}

TEST(WinImageFile, SeekReadAndLengthFollowTheFile)
{
    TempFolder dir;
    const std::string path = dir.file("DB.bin");
    const std::vector<uint8_t> img = MakeImage(kData + 200, 0);
    ASSERT_TRUE(WriteBytes(path, img));

    CImageFile file;
    ASSERT_TRUE(file.Open(path));
    uint64_t length = 0;
    ASSERT_TRUE(file.Length(&length));
    EXPECT_EQ(length, img.size());

    uint8_t block[128];
    ASSERT_TRUE(file.SeekFromStart(kData));
    ASSERT_EQ(file.Read(block, sizeof block), 128);
    EXPECT_EQ(0, memcmp(block, img.data() + kData, 128));
    // The short tail: fewer bytes, no error.
    ASSERT_EQ(file.Read(block, sizeof block), 72);
    EXPECT_EQ(0, memcmp(block, img.data() + kData + 128, 72));
    EXPECT_EQ(file.Read(block, sizeof block), 0);
    // Back over the tail and one whole block.
    ASSERT_TRUE(file.SeekRelative(-200));
    ASSERT_EQ(file.Read(block, sizeof block), 128);
    EXPECT_EQ(0, memcmp(block, img.data() + kData, 128));
    EXPECT_FALSE(file.SeekRelative(-static_cast<int64_t>(kData) - 1000));
}

TEST(WinDbImage, AcceptanceOnWindowsFiles)
{
    TempFolder dir;
    struct Case {
        size_t length;
        uint16_t n;
        bool accepted;
    };
    const Case cases[] = {
        {kData, 0, true},               // exactly 65536 with N = 0
        {kData + 16 * 5, 5, true},      // exactly 65536 + 16 N
        {kData + 16 * 5 - 1, 5, false}, // one byte short
        {kData - 1, 0, false},
        {1, 0, false},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file("DB.bin");
        ASSERT_TRUE(WriteBytes(path, MakeImage(c.length, c.n)));
        CImageFile file;
        CDbImage image(file);
        ASSERT_TRUE(image.Open(path));
        EXPECT_EQ(image.Validate(), c.accepted) << "length " << c.length << " N " << c.n;
        image.Close();
    }

    std::vector<uint8_t> lower = MakeImage(kData, 0);
    lower[2] = 0x73;
    lower[3] = 0x64;
    lower[4] = 0x64;
    lower[5] = 0x62;
    ASSERT_TRUE(WriteBytes(dir.file("DB.bin"), lower));
    CImageFile file;
    CDbImage image(file);
    ASSERT_TRUE(image.Open(dir.file("DB.bin")));
    EXPECT_FALSE(image.Validate());
    EXPECT_EQ(image.Refusal(), ImageRefusal::BadMagic);
}

TEST(WinDbImage, BlocksAreReadAndReReadAfterStepBack)
{
    TempFolder dir;
    // The length rule needs 65536 + 16 * 0x0203 bytes; a few more blocks and
    // a short tail follow.
    const std::vector<uint8_t> big = MakeImage(kData + 16 * 0x0203 + 2 * 128 + 50, 0x0203);
    const std::string path = dir.file("DB.bin");
    ASSERT_TRUE(WriteBytes(path, big));

    CImageFile file;
    CDbImage image(file);
    ASSERT_TRUE(image.Open(path));
    ASSERT_TRUE(image.Validate());
    image.Rewind();
    const uint32_t length = image.Length();
    EXPECT_EQ(length, big.size());
    const uint32_t blocks = CDbImage::BlockCount(length);
    EXPECT_EQ(blocks, (big.size() - kData) / 128);
    EXPECT_EQ(image.ReadHeaderWord(), 0x0203);

    uint8_t block[128];
    image.ReadBlock(block);
    EXPECT_EQ(0, memcmp(block, big.data() + kData, 128));
    image.ReadBlock(block);
    EXPECT_EQ(0, memcmp(block, big.data() + kData + 128, 128));
    image.StepBack();
    image.ReadBlock(block);
    EXPECT_EQ(0, memcmp(block, big.data() + kData + 128, 128));
    EXPECT_FALSE(image.IoFailed());

    // Past the last whole block: the tail, then spaces where the file ends.
    for (uint32_t i = 2; i < blocks; ++i)
        image.ReadBlock(block);
    const size_t tail = (big.size() - kData) % 128;
    ASSERT_GT(tail, 0u);
    image.ReadBlock(block);
    EXPECT_EQ(image.LastBlockBytes(), tail);
    EXPECT_EQ(0, memcmp(block, big.data() + big.size() - tail, tail));
    for (size_t i = tail; i < 128; ++i)
        ASSERT_EQ(block[i], 0x20) << "byte " << i;
}

} // namespace

}  // namespace zq
