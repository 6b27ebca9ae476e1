// vm6142 channels: listing, CSV export and import, cell edits, and what reaches the file.
#include <gtest/gtest.h>

#include "app/image/channel_record.h"
#include "app/image/radio_image.h"
#include "tests/app/shell/test_support.h"
#include "tests/tools/cli/tool_runner.h"

namespace vm::cli {
namespace {

namespace fs = std::filesystem;
using vm::testing::BuildAppFolder;
using vm::testing::ReadBytes;
using vm::testing::TempDir;
using vm::testing::ToolRun;
using vm::testing::WriteText;

ToolRun Tool(const std::vector<std::string>& args) {
    return vm::testing::RunTool(args, BuildAppFolder());
}

class Channels : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Tool({"new", file.string()}).code, 0);
        factory = ReadBytes(file);
    }
    const std::uint8_t* Record(const std::vector<std::uint8_t>& bytes, int n) {
        return bytes.data() + kHeaderSize + ChannelOffset(n);
    }
    TempDir dir;
    fs::path file = dir / "radio.dat";
    std::vector<std::uint8_t> factory;
};

TEST_F(Channels, ListsTheChannelsInUse) {
    const ToolRun r = Tool({"channels", file.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "CH  Rx Freq    Tx Freq    Decode Type  CTCSS  DCS  DCS Polarity  Power  Scan   "
              "Bandwidth  Signaling  Name\n"
              "1   145.50000  145.50000  Off          100.0  023  Positive      High   Allow  "
              "Wide       Off\n");
    EXPECT_EQ(ReadBytes(file), factory);  // listing saves nothing
}

TEST_F(Channels, SetAndClearCommitAsTheTableAndSave) {
    ToolRun r = Tool({"channels", file.string(), "--set", "20:rx freq=118.008", "20:Name=ab",
                      "20:scan=prio", "21:Rx Freq=851.0123"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "20:Rx Freq=118.008 became 118.00833\n"
              "20:Name=ab became AB\n"
              "20:Scan=prio became Priority\n"
              "21:Rx Freq=851.0123 became 851.01000\n");
    const auto bytes = ReadBytes(file);
    const std::uint8_t* ch20 = Record(bytes, 20);
    EXPECT_EQ(GetFrequency(ch20), 11'800'833u);
    EXPECT_EQ(ch20[0x18], 'A');
    EXPECT_EQ(ch20[0x0C] & 0x03, 2);
    EXPECT_EQ(ch20[0x14] & 0x10, 0x10);  // air band: AM
    // Channel 20 (scan "Priority") in the three bank A bitmaps: byte 2, bit 3.
    for (std::uint32_t base : {0xCC80u, 0xCD00u, 0xCD80u})
        EXPECT_EQ(bytes[kHeaderSize + base + 2] & 0x08, 0x08) << base;
    EXPECT_EQ(GetFrequency(Record(bytes, 21)), 85'101'000u);
    EXPECT_EQ(GetFrequency(Record(bytes, 1)), 14'550'000u);

    r = Tool({"channels", file.string(), "--clear", "20"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const auto cleared = ReadBytes(file);
    EXPECT_EQ(Record(cleared, 20)[3], 0xFF);
    EXPECT_EQ(GetFrequency(Record(cleared, 20) + 0x10), 760'000u);  // the table's cleared record
    EXPECT_EQ(cleared[kHeaderSize + 0xCC80 + 2] & 0x08, 0);
}

TEST_F(Channels, RefusedEditsSaveNothing) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* message;
    };
    const Case refused[] = {
        {{"--set", "5:Name=X"}, 1, "channel 5 is empty"},
        {{"--set", "5:Colour=X"}, 2, "unknown column 'Colour'"},
        {{"--set", "801:Rx Freq=145"}, 2, "'801' is not a channel number 1-800"},
        {{"5:Rx Freq=145"}, 2, "(edits need --set)"},
        {{"--clear", "2:Name=X"}, 2, "(edits need --set)"},
        {{"--set"}, 2, "--set needs edits"},
        {{"--clear", "801"}, 2, "'801' is not a channel number 1-800"},
        {{"--clear", "0"}, 2, "'0' is not a channel number 1-800"},
        {{"801"}, 2, "'801' is not a channel number 1-800"},
        {{"12"}, 2, "'12': a channel to clear needs --clear"},
        // Channel 1 stays in use: refused, even after edits that would have been saved.
        {{"--set", "--clear", "3:Rx Freq=146.00000", "1"},
         1,
         "1: channel 1 cannot be cleared; nothing was cleared and nothing saved"},
    };
    for (const Case& c : refused) {
        std::vector<std::string> args = {"channels", file.string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun r = Tool(args);
        EXPECT_EQ(r.code, c.code) << c.args.back() << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args.back() << r.err;
        EXPECT_EQ(r.out, "") << c.args.back();
        EXPECT_EQ(ReadBytes(file), factory) << c.args.back();
    }
}

// Texts from the command line or a CSV reach the terminal escaped and cut, never raw.
TEST_F(Channels, BecameLinesEscapeControlCharactersAndCutLongTexts) {
    const std::string esc_name = "3:Name=\x1b]0;pwn\x07";
    ToolRun r = Tool({"channels", file.string(), "--set", "3:Rx Freq=146", esc_name});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3:Name=\\e]0;pwn\\x07 became "), std::string::npos) << r.out;

    const fs::path sheet = dir / "evil.csv";
    WriteText(sheet, "CH,Rx Freq,Name\n3,146,\"\x1b[2J" + std::string(200, 'z') + "\"\n");
    r = Tool({"channels", file.string(), "--import", sheet.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3:Name=\\e[2J" + std::string(36, 'z') + "... became "), std::string::npos)
        << r.out;
    EXPECT_LT(r.out.size(), 300u) << r.out;

    WriteText(sheet, "CH,\x1b[31mRx\n");
    r = Tool({"channels", file.string(), "--import", sheet.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("unknown column '\\e[31mRx'"), std::string::npos) << r.err;
}

TEST_F(Channels, ImportOfAnUnchangedExportLeavesANewFileAlone) {
    const ToolRun csv = Tool({"channels", file.string(), "--csv"});
    ASSERT_EQ(csv.code, 0) << csv.err;
    const fs::path sheet = dir / "channels.csv";
    WriteText(sheet, csv.out);
    const ToolRun r = Tool({"channels", file.string(), "--import", sheet.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadBytes(file), factory);
}

TEST_F(Channels, CsvRoundTripIsByteIdenticalAndImportEdits) {
    ASSERT_EQ(Tool({"channels", file.string(), "--set", "3:Rx Freq=446.00625", "3:Name=X+1",
                    "3:Tx Freq=441"})
                  .code,
              0);
    const auto before = ReadBytes(file);
    const ToolRun csv = Tool({"channels", file.string(), "--csv"});
    ASSERT_EQ(csv.code, 0) << csv.err;
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 801);
    const fs::path sheet = dir / "channels.csv";
    WriteText(sheet, csv.out);
    ToolRun r = Tool({"channels", file.string(), "--import", sheet.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadBytes(file), before);

    std::string edited = csv.out;
    const std::string row4 = "\n4,,,,,,,,,,,\n";
    edited.replace(edited.find(row4), row4.size(), "\n4,600,,,88.5,,,,Skip,,,four\n");
    WriteText(sheet, edited);
    r = Tool({"channels", file.string(), "--import", sheet.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("line 5: 4:Rx Freq=600 became 26.00000"), std::string::npos) << r.out;
    const auto after = ReadBytes(file);
    EXPECT_EQ(GetFrequency(Record(after, 4)), 2'600'000u);
    EXPECT_EQ(Record(after, 4)[0x08], 0x85);
    EXPECT_EQ(Record(after, 4)[0x0C] & 0x03, 1);
    EXPECT_EQ(Record(after, 4)[0x18], 'F');
}

TEST_F(Channels, MalformedCsvIsRefusedWithItsLine) {
    const fs::path sheet = dir / "bad.csv";
    WriteText(sheet, "CH,Rx Freq,Name\n2,145,A\n3,146\n");
    const ToolRun r = Tool({"channels", file.string(), "--import", sheet.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("line 3: 2 fields where the header has 3"), std::string::npos) << r.err;
    EXPECT_EQ(ReadBytes(file), factory);
}

}  // namespace
}  // namespace vm::cli
