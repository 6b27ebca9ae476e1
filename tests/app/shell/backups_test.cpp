// Backups of what the radio sent: names, the newest kept, listing, and failures.
#include "app/shell/backups.h"

#include <gtest/gtest.h>

#include <memory>

#include "app/shell/data_file.h"
#include "tests/support/files.h"

namespace vm::shell {
namespace {

namespace fs = std::filesystem;
using vm::testing::ReadBytes;
using vm::testing::TempDir;
using vm::testing::WriteText;
using Clock = std::chrono::system_clock;

// A local time as the clock's time point.
Clock::time_point At(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return Clock::from_time_t(std::mktime(&t));
}

struct Image {
    FileHeader header{};
    RadioImage image{};
    explicit Image(const std::string& serial) {
        image.fill(0xFF);
        std::copy(kFileSignature.begin(), kFileSignature.end(), header.begin());
        for (std::size_t i = 0; i < serial.size(); ++i)
            image[kModelInfo + i] = static_cast<std::uint8_t>(serial[i]);
    }
};

TEST(Backups, NamesCarryTheTimeAndASafeSerialNumber) {
    const auto when = At(2026, 12, 9, 4, 15, 7);
    EXPECT_EQ(BackupFileName(when, "SN1234"), "2026-12-09_041507_SN1234.dat");
    EXPECT_EQ(BackupFileName(when, "../x y"), "2026-12-09_041507_xy.dat");
    EXPECT_EQ(BackupFileName(when, ""), "2026-12-09_041507_unknown.dat");
}

TEST(Backups, TheNewestAreKeptAndOtherFilesAreLeftAlone) {
    TempDir dir;
    const fs::path folder = dir / "backups";
    auto img = std::make_unique<Image>("AB12");
    fs::create_directories(folder);
    WriteText(folder / "notes.dat", "mine");
    WriteText(folder / "2026-01-01_000000_x.txt", "mine too");
    std::vector<fs::path> written;
    for (int i = 0; i < 5; ++i) {
        const BackupResult r =
            SaveBackup(folder, img->header, img->image, 3, At(2026, 12, 9, 4, 10 + i, 0));
        ASSERT_TRUE(r.ok()) << r.io.message;
        written.push_back(r.file);
        EXPECT_EQ(ReadBytes(r.file).size(), kDataFileSize);
    }
    EXPECT_FALSE(fs::exists(written[0]));
    EXPECT_FALSE(fs::exists(written[1]));
    for (int i = 2; i < 5; ++i) EXPECT_TRUE(fs::exists(written[i])) << i;
    EXPECT_TRUE(fs::exists(folder / "notes.dat"));
    EXPECT_TRUE(fs::exists(folder / "2026-01-01_000000_x.txt"));

    const auto list = ListBackups(folder);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].date, "2026-12-09 04:14:00");
    EXPECT_EQ(list[0].serial_number, "AB12");
    EXPECT_EQ(list[0].file, written[4]);
    EXPECT_EQ(list[2].file, written[2]);
}

TEST(Backups, TwoInOneSecondKeepBoth) {
    TempDir dir;
    auto img = std::make_unique<Image>("S1");
    const auto when = At(2026, 12, 9, 4, 0, 0);
    const BackupResult first = SaveBackup(dir.path(), img->header, img->image, 100, when);
    img->image[0x200] = 0x42;
    const BackupResult second = SaveBackup(dir.path(), img->header, img->image, 100, when);
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_NE(first.file, second.file);
    EXPECT_EQ(second.file.filename(), "2026-12-09_040000_S1-2.dat");
    EXPECT_EQ(ReadBytes(second.file)[kHeaderSize + 0x200], 0x42);
    EXPECT_EQ(ReadBytes(first.file)[kHeaderSize + 0x200], 0xFF);
    const auto list = ListBackups(dir.path());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].file, second.file);
}

TEST(Backups, AFolderThatCannotBeMadeIsAFailureNotACrash) {
    TempDir dir;
    WriteText(dir / "Backups", "a file where the folder should be");
    auto img = std::make_unique<Image>("S1");
    const BackupResult r = SaveBackup(dir / "Backups", img->header, img->image, 100, Clock::now());
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.io.message.empty());
    EXPECT_TRUE(ListBackups(dir / "Backups").empty());
    EXPECT_TRUE(ListBackups(dir / "missing").empty());
}

TEST(Backups, FolderBesideTheDataFolderAndTheKeptCountSetting) {
    TempDir dir;
    AppState app;
    LoadStartUpValues(app, dir.path());
    EXPECT_EQ(BackupFolder(app), dir.path() / "Backups");
    EXPECT_EQ(BackupFolder(app).parent_path(), app.data_folder.parent_path());
    struct Case {
        const char* value;
        int kept;
    } cases[] = {{nullptr, 100}, {"5", 5}, {"0", 100}, {"-3", 100}, {"ten", 100}, {"250", 250}};
    for (const Case& c : cases) {
        if (c.value) {
            ASSERT_TRUE(app.settings.Write(kSectionBackups, kKeyKeep, c.value));
        }
        EXPECT_EQ(BackupsKept(app), c.kept) << (c.value ? c.value : "absent");
    }
}

}  // namespace
}  // namespace vm::shell
