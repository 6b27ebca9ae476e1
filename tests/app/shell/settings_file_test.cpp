#include "app/shell/settings_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <strings.h>
#include <cerrno>
#include <map>
#include <random>

#include "tests/support/files.h"

namespace vm::shell {
namespace {

namespace fs = std::filesystem;
using vm::testing::ReadText;
using vm::testing::RunUnprivileged;
using vm::testing::TempDir;
using vm::testing::WriteText;

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

TEST(SettingsFile, PathBeforeStartUpIsProgramIniInTheCurrentFolder) {
    EXPECT_EQ(SettingsFile().Path(), std::filesystem::path("./Program.ini"));
}

TEST(SettingsFile, ReadsAsWindowsDoes) {
    TempDir dir;
    const auto ini = dir / "Program.ini";
    WriteText(ini,
              "\xEF\xBB\xBF; a comment\r\n"
              "[Setup]\r\n"
              "COM=COM3\r\n"
              "  Model = VM6142  \r\n"
              "Company=\"Radio Works\"\r\n"
              "Empty=\r\n"
              ";Port=COM9\r\n"
              "[ About ]\r\n"
              "Version='1.2'\r\n"
              "[setup]\r\n"
              "Later=ignored, the first section with the name is the one used\r\n");
    const SettingsFile s(ini);
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"Setup", "COM", "COM3"},      {"SETUP", "com", "COM3"},
        {"Setup", "Model", "VM6142"},  {"Setup", "Company", "Radio Works"},
        {"Setup", "Empty", ""},        {"Setup", "Port", "default"},
        {"About", "version", "1.2"},   {"About", "COM", "default"},
        {"Missing", "COM", "default"}, {"Setup", "Later", "default"},
        {"Setup", "", "default"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(s.Read(c.section, c.key, "default"), c.expected) << c.section << "/" << c.key;
}

TEST(SettingsFile, ReadsLfFilesAndCutsValuesAt255Characters) {
    TempDir dir;
    const auto ini = dir / "a.ini";
    const std::string long_value(300, 'x');
    WriteText(ini, "[Setup]\nModel=VM6142\nLong=" + long_value);  // no final line end
    const SettingsFile s(ini);
    EXPECT_EQ(s.Read("Setup", "Model", ""), "VM6142");
    EXPECT_EQ(s.Read("Setup", "Long", ""), std::string(255, 'x'));
}

TEST(SettingsFile, MissingFileGivesDefaultsAndAnEmptyKeyDoesNotTouchTheFile) {
    TempDir dir;
    const SettingsFile s(dir / "none.ini");
    EXPECT_EQ(s.Read("Setup", "COM", "COM1"), "COM1");
    EXPECT_EQ(s.Read("Setup", "", "x"), "x");
    EXPECT_FALSE(std::filesystem::exists(dir / "none.ini"));
}

TEST(SettingsFile, WriteRefusesEmptyKeysAndValuesWithoutCreatingTheFile) {
    TempDir dir;
    const SettingsFile s(dir / "Program.ini");
    EXPECT_FALSE(s.Write("Setup", "", "COM3"));
    EXPECT_FALSE(s.Write("Setup", "COM", ""));
    EXPECT_FALSE(s.Write("Setup", "COM", "a\nb"));
    EXPECT_FALSE(s.Write("Setup", "A=B", "x"));
    // Names the file could not give back (found by fuzzing: "[Se]up]" read as "Se").
    for (const auto& [section, key] :
         {std::pair{"Se]up", "COM"}, {"Setup", "[COM"}, {"Setup", ";COM"}, {"Setup", "#COM"}})
        EXPECT_FALSE(s.Write(section, key, "COM3")) << section << " " << key;
    EXPECT_FALSE(std::filesystem::exists(dir / "Program.ini"));
}

TEST(SettingsFile, WriteCreatesTheFileWithWindowsLineEnds) {
    TempDir dir;
    const SettingsFile s(dir / "Program.ini");
    ASSERT_TRUE(s.Write("Setup", "COM", "COM3"));
    EXPECT_EQ(ReadText(dir / "Program.ini"), "[Setup]\r\nCOM=COM3\r\n");
    EXPECT_EQ(s.Read("Setup", "COM", ""), "COM3");
}

TEST(SettingsFile, WriteChangesOnlyItsLineAndKeepsEverythingElse) {
    struct Case {
        const char* name;
        std::string before;
        const char* section;
        const char* key;
        const char* value;
        std::string after;
    };
    const Case cases[] = {
        {"replace, CRLF kept",
         "; keep me\r\n[Setup]\r\nCom = COM1\r\nModel=VM6142\r\n\r\n[About]\r\nVersion=1\r\n",
         "setup", "COM", "COM3",
         "; keep me\r\n[Setup]\r\nCOM=COM3\r\nModel=VM6142\r\n\r\n[About]\r\nVersion=1\r\n"},
        {"new key goes after the section's last entry, before blank lines",
         "[Setup]\nModel=VM6142\n\n[About]\nVersion=1\n", "Setup", "COM", "COM3",
         "[Setup]\nModel=VM6142\nCOM=COM3\n\n[About]\nVersion=1\n"},
        {"last section without a final line end", "[About]\nVersion=1\n[Setup]\nModel=VM6142",
         "Setup", "COM", "COM3", "[About]\nVersion=1\n[Setup]\nModel=VM6142\nCOM=COM3\n"},
        {"new section appended", "[About]\r\nVersion=1", "Setup", "COM", "COM3",
         "[About]\r\nVersion=1\r\n[Setup]\r\nCOM=COM3\r\n"},
        {"commented-out key is not the key", "[Setup]\n;COM=COM9\n", "Setup", "COM", "COM3",
         "[Setup]\n;COM=COM9\nCOM=COM3\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const auto ini = dir / "Program.ini";
        WriteText(ini, c.before);
        EXPECT_TRUE(SettingsFile(ini).Write(c.section, c.key, c.value)) << c.name;
        EXPECT_EQ(ReadText(ini), c.after) << c.name;
    }
}

TEST(SettingsFile, WriteFailsInAFolderThatCannotBeWrittenAndLeavesTheFile) {
    TempDir dir;
    const auto ini = dir / "Program.ini";
    WriteText(ini, "[Setup]\r\nCOM=COM1\r\n");
    ::chmod(ini.c_str(), 0666);
    ::chmod(dir.path().c_str(), 0555);
    const int r =
        RunUnprivileged([&] { return SettingsFile(ini).Write("Setup", "COM", "COM3") ? 1 : 0; });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(ReadText(ini), "[Setup]\r\nCOM=COM1\r\n");
}

// A settings file that cannot be read counts as none for Read, is never replaced by Write, and
// says why through ReadError; an absent one is no error.
TEST(SettingsFile, UnreadableFileGivesDefaultsAndIsLeftAlone) {
    TempDir dir;
    fs::create_directory(dir / "folder.ini");
    WriteText(dir / "locked.ini", "[Setup]\r\nCOM=COM1\r\n");
    ::chmod((dir / "locked.ini").c_str(), 0000);
    EXPECT_EQ(SettingsFile(dir / "missing.ini").ReadError(), 0);
    EXPECT_EQ(SettingsFile(dir / "missing" / "Program.ini").ReadError(), 0);

    const SettingsFile folder(dir / "folder.ini");
    EXPECT_EQ(folder.ReadError(), EISDIR);
    EXPECT_EQ(folder.Read("Setup", "COM", "dflt"), "dflt");
    EXPECT_FALSE(folder.Write("Setup", "COM", "COM3"));
    EXPECT_TRUE(fs::is_directory(dir / "folder.ini"));

    const int r = RunUnprivileged([&] {
        const SettingsFile locked(dir / "locked.ini");
        return (locked.ReadError() == EACCES ? 1 : 0) |
               (locked.Read("Setup", "COM", "dflt") == "dflt" ? 2 : 0) |
               (!locked.Write("Setup", "COM", "COM3") ? 4 : 0);
    });
    EXPECT_EQ(r, 7);
    ::chmod((dir / "locked.ini").c_str(), 0644);
    EXPECT_EQ(ReadText(dir / "locked.ini"), "[Setup]\r\nCOM=COM1\r\n");
}

}  // namespace
}  // namespace vm::shell

namespace vm::shell {
namespace {

// Bounded random files: after a Write, that key reads back the written value and every other
// key reads as before, whatever sections, comments, blanks and line ends the file held.
TEST(SettingsFile, WriteChangesOneValueInAnyFile) {
    static const char* const kSections[] = {"Setup", "setup", " About ", "X"};
    static const char* const kKeys[] = {"COM", "com ", "Model", "A", " Company"};
    static const char* const kValues[] = {"", "v1", "\"q v\"", " sp ", "a=b", ";not a comment"};
    static const char* const kOther[] = {"", "; comment", "# comment", "garbage", "   "};
    std::mt19937 rng(6142);
    auto pick = [&](auto& list) { return list[rng() % std::size(list)]; };
    TempDir dir;
    const auto ini = dir / "Program.ini";
    for (int round = 0; round < 100; ++round) {
        const std::string eol = rng() % 2 ? "\r\n" : "\n";
        std::string text;
        const int lines = static_cast<int>(rng() % 12);
        for (int i = 0; i < lines; ++i) {
            switch (rng() % 3) {
                case 0:
                    text += std::string("[") + pick(kSections) + "]";
                    break;
                case 1:
                    text += std::string(pick(kKeys)) + "=" + pick(kValues);
                    break;
                default:
                    text += pick(kOther);
                    break;
            }
            if (i + 1 < lines || rng() % 2) text += eol;
        }
        WriteText(ini, text);
        const SettingsFile s(ini);
        std::map<std::pair<std::string, std::string>, std::string> before;
        for (const char* sec : {"Setup", "About", "X"})
            for (const char* key : {"COM", "Model", "A", "Company"})
                before[{sec, key}] = s.Read(sec, key, "<none>");

        const std::string section = rng() % 2 ? "SETUP" : "About";
        const std::string key = rng() % 2 ? "Com" : "Model";
        ASSERT_TRUE(s.Write(section, key, "new value")) << text;
        for (const auto& [where, value] : before) {
            const bool written =
                EqualsNoCase(where.first, section) && EqualsNoCase(where.second, key);
            EXPECT_EQ(s.Read(where.first, where.second, "<none>"), written ? "new value" : value)
                << "round " << round << " " << where.first << "/" << where.second << "\n"
                << text << "\n--- after ---\n"
                << ReadText(ini);
        }
        // Nothing but the one line changed: the old text minus that line is still there.
        const std::string after = ReadText(ini);
        EXPECT_EQ(after.find("new value"), after.rfind("new value"));
    }
}

}  // namespace
}  // namespace vm::shell
