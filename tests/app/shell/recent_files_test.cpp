#include "app/shell/recent_files.h"

#include <gtest/gtest.h>

#include "tests/support/files.h"

namespace vm::shell {
namespace {

namespace fs = std::filesystem;
using vm::testing::ReadText;
using vm::testing::TempDir;
using vm::testing::WriteText;

TEST(RecentFiles, NewestFirstMovedWhenListedAgainAndFourAtMost) {
    TempDir dir;
    RecentFileList list;
    for (const char* name : {"a.dat", "b.dat", "c.dat", "d.dat", "e.dat"}) list.Add(dir / name);
    list.Add(dir / "sub" / ".." / "c.dat");  // the same file by another path
    ASSERT_EQ(list.Files().size(), RecentFileList::kSize);
    const std::vector<fs::path> expected = {dir / "c.dat", dir / "e.dat", dir / "d.dat",
                                            dir / "b.dat"};
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(list.Files()[i], expected[i].lexically_normal()) << i;
    EXPECT_TRUE(list.Remove(dir / "e.dat"));
    EXPECT_FALSE(list.Remove(dir / "e.dat"));
    EXPECT_EQ(list.Files().size(), 3u);
    EXPECT_EQ(RecentFileList::MenuText(1, dir / "R&D.dat"), "&2 R&&D.dat");
}

TEST(RecentFiles, KeptInTheSettingsFileBesideWhatItHolds) {
    TempDir dir;
    const SettingsFile settings(dir / "Program.ini");
    WriteText(settings.Path(), "[Setup]\r\nCOM=COM3\r\n");
    RecentFileList list;
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) list.Add(dir / name);
    // A path the settings file cannot give back whole is left out of it, not cut.
    list.Add(dir / (std::string(300, 'x') + ".dat"));
    ASSERT_TRUE(list.Write(settings));
    RecentFileList read;
    read.Read(settings);
    EXPECT_EQ(read.Files(), (std::vector<fs::path>{dir / "c.dat", dir / "b.dat", dir / "a.dat"}));
    // A file removed leaves no key behind: the next start lists what is left.
    ASSERT_TRUE(read.Remove(dir / "b.dat"));
    ASSERT_TRUE(read.Write(settings));
    RecentFileList again;
    again.Read(settings);
    EXPECT_EQ(again.Files(), (std::vector<fs::path>{dir / "c.dat", dir / "a.dat"}));
    const std::string text = ReadText(settings.Path());
    EXPECT_EQ(text.find("File3"), std::string::npos) << text;
    EXPECT_NE(text.find("COM=COM3"), std::string::npos) << text;
}

}  // namespace
}  // namespace vm::shell
