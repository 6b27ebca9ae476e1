#include "app/shell/data_file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

#include "app/image/codecs.h"
#include "tests/support/files.h"

namespace vm::shell {
namespace {

namespace fs = std::filesystem;
using vm::testing::ReadBytes;
using vm::testing::RunUnprivileged;
using vm::testing::TempDir;
using vm::testing::WriteBytes;

// A data file: signature, bytes 8..15 unlike the stamp, a recognisable header and image, a
// USER DEFINDE tone, band 5 limits 140-150 MHz.
std::vector<std::uint8_t> SampleFile() {
    std::vector<std::uint8_t> f(kDataFileSize);
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(i * 7 + 3);
    std::copy(kFileSignature.begin(), kFileSignature.end(), f.begin());
    for (std::size_t i = 8; i < 16; ++i) f[i] = 0x11;
    PutLe16(f.data() + FiveToneStdRecord(kUserDefinedStd) + 8, 12345);
    PutLe16(f.data() + FiveToneStdRecord(0) + 8, 1);  // replaced by the built-in tone on open
    PutFrequency(f.data() + kHeaderSize + FrequencyRangeRecord(5), 14'000'000);
    PutFrequency(f.data() + kHeaderSize + FrequencyRangeRecord(5) + 4, 15'000'000);
    for (int n : {1, 2, 3, 4, 6, 7, 8, 9})
        for (std::uint32_t k = 0; k < 8; ++k) f[kHeaderSize + FrequencyRangeRecord(n) + k] = 0;
    return f;
}

struct World {
    RadioImage image{};
    FileHeader header{};
    BandTables bands = BandTables::Initial();
    Document doc{image, header, bands};
    World() {
        image.fill(0xAA);
        header.fill(0xBB);
    }
};

TEST(DataFile, OpenLoadsHeaderAndImageAndDerivesTheRest) {
    TempDir dir;
    const auto file = SampleFile();
    WriteBytes(dir / "a.dat", file);
    World w;
    const OpenResult r = w.doc.Open(dir / "a.dat");
    ASSERT_TRUE(r) << r.message;
    EXPECT_FALSE(r.IsShort());
    EXPECT_FALSE(SizeWarning(r));
    EXPECT_TRUE(std::equal(w.image.begin(), w.image.end(), file.begin() + kHeaderSize));
    // Header bytes 8..15 as loaded; tones of 0..14 built in; USER DEFINDE's kept.
    EXPECT_TRUE(std::equal(w.header.begin(), w.header.begin() + 16, file.begin()));
    EXPECT_EQ(GetLe16(w.header.data() + FiveToneStdRecord(0) + 8), kFiveToneTones[0][0]);
    EXPECT_EQ(GetLe16(w.header.data() + FiveToneStdRecord(kUserDefinedStd) + 8), 12345);
    EXPECT_EQ(w.header[FiveToneStdRecord(0)], file[FiveToneStdRecord(0)]);  // bytes 0..7 kept
    // Band tables recomputed.
    EXPECT_EQ(w.bands.RxLower[5], 14'000'000);
    EXPECT_EQ(w.bands.LowRangeLower, 14'000'000);
    EXPECT_EQ(w.bands.RxLower[1], 0);
    // Current file with its full path; the title.
    EXPECT_EQ(w.doc.CurrentFile(), dir / "a.dat");
    EXPECT_EQ(w.doc.Title("VM6142"), "VM6142 [ " + (dir / "a.dat").string() + " ]");
}

TEST(DataFile, FailedOpensChangeNothingAndSayWhy) {
    TempDir dir;
    auto wrong = SampleFile();
    wrong[6] = 0x00;  // "VM6142" then 0x00 0xFF
    WriteBytes(dir / "wrong.dat", wrong);
    WriteBytes(dir / "empty.dat", {});
    WriteBytes(dir / "tiny.dat", {'V', 'M', '6'});
    fs::create_directory(dir / "folder.dat");
    struct Case {
        const char* name;
        OpenResult::Status status;
        const char* message;
    };
    const Case cases[] = {
        {"wrong.dat", OpenResult::Status::DoesNotMatch, "File does not match"},
        {"empty.dat", OpenResult::Status::DoesNotMatch, "File does not match"},
        {"tiny.dat", OpenResult::Status::DoesNotMatch, "File does not match"},
        {"missing.dat", OpenResult::Status::CannotOpen, "No such file or directory"},
        {"folder.dat", OpenResult::Status::CannotOpen, "Is a directory"},
    };
    for (const Case& c : cases) {
        World w;
        ASSERT_TRUE(w.doc.Open(dir / "wrong.dat").status == OpenResult::Status::DoesNotMatch);
        const OpenResult r = w.doc.Open(dir / c.name);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.message, c.message) << c.name;
        EXPECT_TRUE(std::all_of(w.image.begin(), w.image.end(), [](auto b) { return b == 0xAA; }))
            << c.name;
        EXPECT_TRUE(std::all_of(w.header.begin(), w.header.end(), [](auto b) { return b == 0xBB; }))
            << c.name;
        EXPECT_FALSE(w.doc.HasCurrentFile()) << c.name;
    }
}

TEST(DataFile, UnreadableFileReportsTheSystemText) {
    TempDir dir;
    WriteBytes(dir / "locked.dat", SampleFile());
    ::chmod((dir / "locked.dat").c_str(), 0000);
    const int r = RunUnprivileged([&] {
        World w;
        const OpenResult o = w.doc.Open(dir / "locked.dat");
        return o.status == OpenResult::Status::CannotOpen && o.message == "Permission denied" &&
                       !w.doc.HasCurrentFile()
                   ? 1
                   : 0;
    });
    EXPECT_EQ(r, 1);
}

TEST(DataFile, ShortAndLongFiles) {
    TempDir dir;
    const auto file = SampleFile();
    struct Case {
        std::size_t size;
        const char* warning_part;
    };
    const Case cases[] = {
        {kHeaderSize + 100, "image bytes from address 0x0064 on kept their previous content"},
        {kHeaderSize, "image bytes from address 0x0000 on"},
        {200, "header bytes from 200 on and the whole image kept"},
        {8, "header bytes from 8 on"},
    };
    for (const Case& c : cases) {
        WriteBytes(dir / "short.dat", {file.begin(), file.begin() + static_cast<long>(c.size)});
        World w;
        const OpenResult r = w.doc.Open(dir / "short.dat");
        ASSERT_TRUE(r) << c.size;
        EXPECT_TRUE(r.IsShort());
        EXPECT_EQ(r.bytes_read, c.size);
        ASSERT_TRUE(SizeWarning(r));
        EXPECT_NE(SizeWarning(r)->find(c.warning_part), std::string::npos) << *SizeWarning(r);
        // The file's bytes are laid over header and image, the rest keeps what it held
        // (five-tone tones excepted, reloaded on every open).
        const std::size_t in_header = std::min(c.size, kHeaderSize);
        for (std::size_t i = 8; i < 0x100; ++i)
            ASSERT_EQ(w.header[i], i < c.size ? file[i] : 0xBB) << c.size << " at " << i;
        EXPECT_EQ(w.header[kHeaderSize - 1],
                  in_header == kHeaderSize ? file[kHeaderSize - 1] : 0xBB);
        const std::size_t in_image = c.size > kHeaderSize ? c.size - kHeaderSize : 0;
        EXPECT_TRUE(std::equal(w.image.begin(), w.image.begin() + static_cast<long>(in_image),
                               file.begin() + kHeaderSize));
        EXPECT_TRUE(std::all_of(w.image.begin() + static_cast<long>(in_image), w.image.end(),
                                [](auto b) { return b == 0xAA; }));
    }

    auto longer = file;
    longer.push_back(0);
    WriteBytes(dir / "long.dat", longer);
    World w;
    const OpenResult r = w.doc.Open(dir / "long.dat");
    ASSERT_TRUE(r);
    EXPECT_TRUE(r.longer);
    EXPECT_FALSE(r.IsShort());
    ASSERT_TRUE(SizeWarning(r));
    EXPECT_TRUE(std::equal(w.image.begin(), w.image.end(), file.begin() + kHeaderSize));
}

TEST(DataFile, SaveKeepsTheHeaderSaveAsStampsIt) {
    TempDir dir;
    WriteBytes(dir / "a.dat", SampleFile());
    World w;
    ASSERT_TRUE(w.doc.Open(dir / "a.dat"));
    w.image[0x1234] = 0x42;
    ASSERT_TRUE(w.doc.Save());
    auto saved = ReadBytes(dir / "a.dat");
    ASSERT_EQ(saved.size(), kDataFileSize);
    EXPECT_TRUE(
        std::all_of(saved.begin() + 8, saved.begin() + 16, [](auto b) { return b == 0x11; }));
    EXPECT_EQ(saved[kHeaderSize + 0x1234], 0x42);
    EXPECT_TRUE(std::equal(w.header.begin(), w.header.end(), saved.begin()));

    ASSERT_TRUE(w.doc.SaveAs(dir / "b.dat"));
    saved = ReadBytes(dir / "b.dat");
    EXPECT_TRUE(std::equal(kFormatStamp.begin(), kFormatStamp.end(), saved.begin() + 8));
    EXPECT_TRUE(std::equal(kFormatStamp.begin(), kFormatStamp.end(), w.header.begin() + 8));
    EXPECT_EQ(w.doc.CurrentFile(), dir / "b.dat");
    EXPECT_TRUE(std::equal(w.image.begin(), w.image.end(), saved.begin() + kHeaderSize));
}

TEST(DataFile, SaveWritesTheFileThatWasOpenedWhateverTheCurrentFolder) {
    TempDir dir;
    fs::create_directory(dir / "one");
    fs::create_directory(dir / "two");
    WriteBytes(dir / "one" / "a.dat", SampleFile());
    const fs::path before = fs::current_path();
    fs::current_path(dir / "one");
    World w;
    ASSERT_TRUE(w.doc.Open("./a.dat"));  // a name relative to the folder a dialog left
    EXPECT_EQ(w.doc.CurrentFile(), dir / "one" / "a.dat");
    fs::current_path(dir / "two");  // a later dialog visited another folder
    w.image[0] = 0x5A;
    const IoResult r = w.doc.Save();
    fs::current_path(before);
    ASSERT_TRUE(r) << r.message;
    EXPECT_EQ(ReadBytes(dir / "one" / "a.dat")[kHeaderSize], 0x5A);
    EXPECT_FALSE(fs::exists(dir / "two" / "a.dat"));
}

TEST(DataFile, FailedSaveAsChangesNeitherHeaderNorCurrentFileNorTheOldFile) {
    TempDir dir;
    WriteBytes(dir / "a.dat", SampleFile());
    World w;
    ASSERT_TRUE(w.doc.Open(dir / "a.dat"));
    const FileHeader header_before = w.header;
    const IoResult r = w.doc.SaveAs(dir / "missing" / "b.dat");
    EXPECT_FALSE(r);
    EXPECT_EQ(r.message, "No such file or directory");
    EXPECT_EQ(w.header, header_before);
    EXPECT_EQ(w.doc.CurrentFile(), dir / "a.dat");

    fs::create_directory(dir / "ro");
    WriteBytes(dir / "ro" / "c.dat", SampleFile());
    ::chmod((dir / "ro" / "c.dat").c_str(), 0666);
    ::chmod((dir / "ro").c_str(), 0555);
    const int code = RunUnprivileged([&] {
        const IoResult s = w.doc.SaveAs(dir / "ro" / "c.dat");
        return !s && s.message == "Permission denied" && w.header == header_before ? 1 : 0;
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(ReadBytes(dir / "ro" / "c.dat"), SampleFile());
}

TEST(DataFile, NewResetsFromTheFactoryFileAndForgetsTheCurrentFile) {
    TempDir dir;
    WriteBytes(dir / "a.dat", SampleFile());
    World w;
    ASSERT_TRUE(w.doc.Open(dir / "a.dat"));
    EXPECT_TRUE(w.doc.New(dir / "a.dat"));  // any data file serves as the factory file here
    EXPECT_FALSE(w.doc.HasCurrentFile());
    EXPECT_EQ(w.doc.Title("VM6142"), "VM6142");
    EXPECT_FALSE(w.doc.Save());  // no current file: the caller runs Save As instead

    World missing;
    EXPECT_FALSE(missing.doc.New(dir / "none.dat"));
    EXPECT_EQ(missing.image[0x1000], 0xAA);  // untouched
    EXPECT_EQ(GetLe16(missing.header.data() + FiveToneStdRecord(3) + 8), kFiveToneTones[3][0]);
}

// File > New gives the same image whichever file was open before: the band memories and side
// records the reset derives follow the factory file's band limits, not those the open file held.
TEST(DataFile, NewGivesTheSameImageWhicheverFileWasOpen) {
    TempDir dir;
    std::vector<std::uint8_t> factory = SampleFile();
    for (int n = 1; n <= kBandCount; ++n) {
        const BandLimits l = FixedBandLimits(n);
        std::uint8_t* record = factory.data() + kHeaderSize + FrequencyRangeRecord(n);
        PutFrequency(record, static_cast<std::uint32_t>(l.lower));
        PutFrequency(record + 4, static_cast<std::uint32_t>(l.upper));
    }
    WriteBytes(dir / "factory.dat", factory);
    WriteBytes(dir / "one band.dat", SampleFile());  // only 140-150 MHz

    World fresh;
    ASSERT_TRUE(fresh.doc.New(dir / "factory.dat"));
    World after_open;
    ASSERT_TRUE(after_open.doc.Open(dir / "one band.dat"));
    ASSERT_TRUE(after_open.doc.New(dir / "factory.dat"));
    for (std::size_t a = 0; a < kImageSize; ++a)
        ASSERT_EQ(after_open.image[a], fresh.image[a]) << "at 0x" << std::hex << a;
    EXPECT_EQ(after_open.bands.RxLower, fresh.bands.RxLower);
    EXPECT_EQ(after_open.bands.RxUpper, fresh.bands.RxUpper);
}

TEST(Messages, SystemErrorText) {
    EXPECT_EQ(SystemErrorText(0), "Sorry, error not find.");
    EXPECT_EQ(SystemErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(WindowTitle("", ""), "");
    EXPECT_EQ(WindowTitle("VM6142", "/d/x.dat"), "VM6142 [ /d/x.dat ]");
}

}  // namespace
}  // namespace vm::shell
