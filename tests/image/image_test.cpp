#include <gtest/gtest.h>

#include <functional>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "image/DbImage.h"
#include "image/ImageSnapshot.h"
#include "tests/TempDir.h"

namespace zq {

namespace {

struct Opened {
    CImageFile file;
    CDbImage image{file};
};

class ImageTest : public ::testing::Test {
protected:
    std::string Put(const std::vector<uint8_t>& bytes, const std::string& name = "DB.bin")
    {
        const std::string path = dir.file(name);
        WriteFile(path, bytes);
        return path;
    }
    bool Accepts(const std::vector<uint8_t>& bytes)
    {
        Opened o;
        EXPECT_TRUE(o.image.Open(Put(bytes)));
        return o.image.Validate();
    }
    TempDir dir;
};

TEST_F(ImageTest, LengthRuleAndMagic)
{
    // Exactly 65536 + 16 * N is enough; one byte less is not.
    EXPECT_TRUE(Accepts(MakeImage(65536 + 16 * 300, 300)));
    EXPECT_FALSE(Accepts(MakeImage(65536 + 16 * 300 - 1, 300)));
    EXPECT_TRUE(Accepts(MakeImage(65536, 0)));
    EXPECT_FALSE(Accepts(MakeImage(65535, 0)));
    // N = 0xFFFF needs 65536 + 16 * 65535 bytes: the rule must not wrap.
    EXPECT_FALSE(Accepts(MakeImage(65536 + 16 * 65534, 0xFFFF)));
    EXPECT_TRUE(Accepts(MakeImage(65536 + 16 * 65535, 0xFFFF)));

    auto lower = MakeImage(65536, 0);
    lower[2] = 0x73, lower[3] = 0x64, lower[4] = 0x64, lower[5] = 0x62;
    EXPECT_FALSE(Accepts(lower));
    auto swapped = MakeImage(65536, 0);
    std::swap(swapped[2], swapped[5]);
    EXPECT_FALSE(Accepts(swapped));
    EXPECT_FALSE(Accepts({}));
    EXPECT_FALSE(Accepts({0x00}));
}

TEST_F(ImageTest, RefusalsSayWhy)
{
    Opened o;
    auto img = MakeImage(65536, 0);
    img[3] = 0;
    ASSERT_TRUE(o.image.Open(Put(img)));
    EXPECT_FALSE(o.image.Validate());
    EXPECT_EQ(o.image.Refusal(), ImageRefusal::BadMagic);

    Opened s;
    ASSERT_TRUE(s.image.Open(Put(MakeImage(1000, 0), "short.bin")));
    EXPECT_FALSE(s.image.Validate());
    EXPECT_EQ(s.image.Refusal(), ImageRefusal::TooShort);
}

TEST_F(ImageTest, MoreBlocksThanTheCountCanCarryAreRefused)
{
    // 65535 blocks is the most a 16-bit count can describe.
    const size_t most = 65536 + 128ull * 65535 + 127;
    auto img = MakeImage(most, 0);
    EXPECT_TRUE(Accepts(img));
    img.push_back(0);
    Opened o;
    ASSERT_TRUE(o.image.Open(Put(img)));
    EXPECT_FALSE(o.image.Validate());
    EXPECT_EQ(o.image.Refusal(), ImageRefusal::TooManyBlocks);
}

TEST_F(ImageTest, ImagesOf4GiBAreRefused)
{
    // A sparse file: no disk is spent on the hole.
    const std::string path = dir.file("huge.bin");
    WriteFile(path, MakeImage(65536, 0));
    ASSERT_EQ(truncate(path.c_str(), 0x100000000ll + 65536), 0);
    Opened o;
    ASSERT_TRUE(o.image.Open(path));
    EXPECT_FALSE(o.image.Validate());
    EXPECT_NE(o.image.Refusal(), ImageRefusal::None);
}

TEST_F(ImageTest, BlockCountFollowsLengthNotHeaderWord)
{
    EXPECT_EQ(CDbImage::BlockCount(65536), 0u);
    EXPECT_EQ(CDbImage::BlockCount(65536 + 200), 1u);
    EXPECT_EQ(CDbImage::BlockCount(65536 + 128 * 1024 + 5), 1024u);
    EXPECT_EQ(CDbImage::ProgressAllowance(1023), 1u);
    EXPECT_EQ(CDbImage::ProgressAllowance(511), 0u);

    Opened o;
    ASSERT_TRUE(o.image.Open(Put(MakeImage(65536 + 128 * 40, 1))));
    ASSERT_TRUE(o.image.Validate());
    o.image.Rewind();
    EXPECT_EQ(CDbImage::BlockCount(o.image.Length()), 40u);
}

TEST_F(ImageTest, ReadingForTheDownload)
{
    auto img = MakeImage(65536 + 200, 0x000C);
    Opened o;
    ASSERT_TRUE(o.image.Open(Put(img)));
    ASSERT_TRUE(o.image.Validate());
    o.image.Rewind();
    EXPECT_EQ(o.image.Length(), 65536u + 200);
    EXPECT_EQ(o.image.ReadHeaderWord(), 0x000C);

    uint8_t block[128];
    o.image.ReadBlock(block);
    EXPECT_EQ(o.image.LastBlockBytes(), 128u);
    EXPECT_EQ(0, memcmp(block, img.data() + 65536, 128));

    // Refused: step back and the same block comes again.
    o.image.StepBack();
    uint8_t again[128];
    o.image.ReadBlock(again);
    EXPECT_EQ(0, memcmp(block, again, 128));

    // The 72-byte tail: delivered short, padded with spaces.
    o.image.ReadBlock(block);
    EXPECT_EQ(o.image.LastBlockBytes(), 72u);
    EXPECT_EQ(0, memcmp(block, img.data() + 65536 + 128, 72));
    for (int i = 72; i < 128; ++i)
        ASSERT_EQ(block[i], 0x20) << i;
    EXPECT_FALSE(o.image.IoFailed());
    o.image.Close();
    EXPECT_FALSE(o.file.IsOpen());
}

// Between the check and the read the file may change: what is held is the
// checked length, judged again, or nothing.
TEST_F(ImageTest, HoldingReadsTheCheckedLengthAndJudgesWhatItRead)
{
    const auto img = MakeImage(65536 + 128 * 3 + 10, 2);
    auto badMagic = img;
    badMagic[2] = 's';
    struct Case {
        const char* what;
        std::function<void(const std::string&)> change;
        ImageRefusal refusal; // None: held
    };
    const Case cases[] = {
        {"unchanged", [](const std::string&) {}, ImageRefusal::None},
        {"grown", [](const std::string& p) { WriteFile(p, MakeImage(65536 + 128 * 9, 2)); }, ImageRefusal::None},
        {"cut below 64 KiB", [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 1000), 0); },
         ImageRefusal::ReadError},
        {"magic changed", [&](const std::string& p) { WriteFile(p, badMagic); }, ImageRefusal::BadMagic},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Opened o;
        const std::string path = Put(img);
        ASSERT_TRUE(o.image.Open(path));
        ASSERT_TRUE(o.image.Validate());
        c.change(path);
        ImageSnapshot held;
        ImageRefusal refusal = ImageRefusal::None;
        EXPECT_EQ(HoldImage(o.file, path, o.image.CheckedLength(), held, refusal), c.refusal == ImageRefusal::None);
        EXPECT_EQ(refusal, c.refusal);
        if (c.refusal != ImageRefusal::None) {
            EXPECT_FALSE(held.bytes);
            continue;
        }
        ASSERT_TRUE(held.bytes);
        EXPECT_EQ(held.bytes->size(), img.size());
        EXPECT_EQ(held.blocks, 3u);
        EXPECT_EQ(held.tail, 10u);
        EXPECT_EQ(held.header, 2);
        // A file serving held bytes lends them: one copy for every download.
        CImageFile lent;
        held.Bind(lent);
        ASSERT_TRUE(lent.Open(path));
        ImageSnapshot again;
        EXPECT_TRUE(HoldImage(lent, path, held.bytes->size(), again, refusal));
        EXPECT_EQ(again.bytes.get(), held.bytes.get());
    }
}

TEST_F(ImageTest, HeaderAreaIsNeverRead)
{
    auto a = MakeImage(65536 + 128, 8, 1);
    auto b = a;
    for (size_t i = 6; i < 65536; ++i)
        b[i] = static_cast<uint8_t>(~b[i]);
    for (auto* img : {&a, &b}) {
        Opened o;
        ASSERT_TRUE(o.image.Open(Put(*img)));
        ASSERT_TRUE(o.image.Validate());
        o.image.Rewind();
        EXPECT_EQ(o.image.ReadHeaderWord(), 8);
        uint8_t block[128];
        o.image.ReadBlock(block);
        EXPECT_EQ(0, memcmp(block, a.data() + 65536, 128));
    }
}

TEST_F(ImageTest, OpenIsExclusiveAndReportsWhy)
{
    const std::string path = Put(MakeImage(65536, 0));
    Opened first, second;
    ASSERT_TRUE(first.image.Open(path));
    EXPECT_FALSE(second.image.Open(path));
    EXPECT_EQ(second.image.OpenError(), FileError::Busy);
    first.image.Close();
    EXPECT_TRUE(second.image.Open(path));

    Opened missing;
    EXPECT_FALSE(missing.image.Open(dir.file("nothing.bin")));
    EXPECT_EQ(missing.image.OpenError(), FileError::NotFound);
    Opened folder;
    EXPECT_FALSE(folder.image.Open(dir.path()));
    Opened devnull;
    EXPECT_FALSE(devnull.image.Open("/dev/null"));
}

// Two command lines on two adapters read one image; the dialogs still keep
// it to themselves, and a writer that locks keeps it from both.
TEST_F(ImageTest, SharedReadersShareAndExclusiveOpensRefuseThem)
{
    const std::string path = Put(MakeImage(65536 + 128, 8));
    Opened a, b, exclusive;
    a.file.SetShare(ImageShare::SharedRead);
    b.file.SetShare(ImageShare::SharedRead);
    ASSERT_TRUE(a.image.Open(path));
    ASSERT_TRUE(b.image.Open(path)) << "a second shared reader was refused";
    // Both read the whole image, each at its own position.
    ASSERT_TRUE(a.image.Validate());
    ASSERT_TRUE(b.image.Validate());
    EXPECT_FALSE(exclusive.image.Open(path));
    EXPECT_EQ(exclusive.image.OpenError(), FileError::Busy);
    a.image.Close();
    EXPECT_FALSE(exclusive.image.Open(path)) << "one shared reader left must still keep it";
    b.image.Close();

    ASSERT_TRUE(exclusive.image.Open(path));
    Opened shared;
    shared.file.SetShare(ImageShare::SharedRead);
    EXPECT_FALSE(shared.image.Open(path));
    EXPECT_EQ(shared.image.OpenError(), FileError::Busy);
    exclusive.image.Close();

    // Another program writing under its own exclusive lock.
    const int writer = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::flock(writer, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(shared.image.Open(path));
    EXPECT_EQ(shared.image.OpenError(), FileError::Busy);
    ::close(writer);
    EXPECT_TRUE(shared.image.Open(path));
}

} // namespace

}  // namespace zq
