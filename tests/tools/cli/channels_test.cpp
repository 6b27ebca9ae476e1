// vm6142 channels: listing, CSV export and import (both layouts), cell edits, bank B, row
// operations, and what reaches the file.
#include <gtest/gtest.h>

#include <fstream>

#include "app/image/channel_record.h"
#include "app/image/radio_image.h"
#include "tests/support/files.h"
#include "tests/support/tool_runner.h"

namespace vm::cli {
namespace {

namespace fs = std::filesystem;
using vm::testing::ReadBytes;
using vm::testing::TempDir;
using vm::testing::Tool;
using vm::testing::ToolRun;
using vm::testing::WriteText;

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

// ---------------------------------------------------------------------------------------------
// The exchange layout both ways, bank B, row operations, and bad files.

class ChannelExchange : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Tool({"new", file.string()}).code, 0);
        ASSERT_EQ(Tool({"channels", file.string(), "--set", "2:Rx Freq=146.52", "2:Name=s20",
                        "3:Rx Freq=145.6", "3:Tx Freq=145", "3:Decode Type=Ctcss Codec",
                        "3:CTCSS=88.5", "4:Rx Freq=446.00625", "4:Decode Type=Dcs Codec",
                        "4:DCS=754", "4:DCS Polarity=Invert", "4:Power=Low", "5:Rx Freq=118.1",
                        "5:Scan=Skip", "6:Rx Freq=851.0125", "6:Bandwidth=Narrow"})
                      .code,
                  0);
        before = ReadBytes(file);
    }
    const std::uint8_t* Record(const std::vector<std::uint8_t>& bytes, int n) {
        return bytes.data() + kHeaderSize + ChannelOffset(n);
    }
    fs::path Sheet(const std::string& text) {
        WriteText(sheet, text);
        return sheet;
    }
    TempDir dir;
    fs::path file = dir / "radio.dat";
    fs::path sheet = dir / "list.csv";
    std::vector<std::uint8_t> before;
};

TEST_F(ChannelExchange, ExportWritesTheChannelsInUseInTheLayoutsColumns) {
    const ToolRun r = Tool({"channels", file.string(), "--csv", "--format", "chirp"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Location,Name,Frequency,Duplex,Offset,Tone,rToneFreq,cToneFreq,DtcsCode,"
              "DtcsPolarity,RxDtcsCode,CrossMode,Mode,TStep,Skip,Power,Comment,URCALL,RPT1CALL,"
              "RPT2CALL,DVCODE\n"
              "1,,145.500000,,0.600000,,100.0,100.0,023,NN,023,Tone->Tone,FM,12.50,,50W,,,,,\n"
              "2,S20,146.520000,,0.600000,,100.0,100.0,023,NN,023,Tone->Tone,FM,12.50,,50W,,,,,\n"
              "3,,145.600000,split,145.000000,TSQL,88.5,88.5,023,NN,023,Tone->Tone,FM,12.50,,50W,"
              ",,,,\n"
              "4,,446.006250,,7.600000,DTCS,100.0,100.0,754,RR,754,Tone->Tone,FM,12.50,,5.0W,,,,,\n"
              "5,,118.100000,,0.600000,,100.0,100.0,023,NN,023,Tone->Tone,AM,12.50,S,50W,,,,,\n"
              "6,,851.012500,,7.600000,,100.0,100.0,023,NN,023,Tone->Tone,NFM,12.50,,50W,,,,,\n");
    EXPECT_EQ(ReadBytes(file), before);
}

TEST_F(ChannelExchange, ExportImportedIntoANewFileGivesTheSameChannels) {
    const ToolRun out = Tool({"channels", file.string(), "--csv", "--format", "chirp"});
    ASSERT_EQ(out.code, 0);
    const fs::path fresh = dir / "fresh.dat";
    ASSERT_EQ(Tool({"new", fresh.string()}).code, 0);
    const ToolRun in = Tool({"channels", fresh.string(), "--import", Sheet(out.out).string()});
    ASSERT_EQ(in.code, 0) << in.err;
    const auto a = ReadBytes(file), b = ReadBytes(fresh);
    for (int n = 1; n <= kChannelsPerBank; ++n)
        EXPECT_TRUE(std::equal(Record(a, n), Record(a, n) + 32, Record(b, n))) << n;
    EXPECT_EQ(Tool({"channels", fresh.string(), "--csv", "--format", "chirp"}).out, out.out);
}

TEST_F(ChannelExchange, ImportRecognisesTheLayoutAndReportsRowsItCannotHold) {
    // A spreadsheet's copy: byte-order mark, CRLF, comments, ';' and decimal commas, a subset
    // of the columns in another order, a column of its own.
    const std::string text =
        "\xEF\xBB\xBF# exported from a repeater list\r\n"
        "Name;Location;Frequency;Duplex;Offset;Tone;rToneFreq;Mode;Power;Remarks\r\n"
        "Rpt A;10;145,6125;-;0,6;Tone;88,5;NFM;5W;x\r\n"
        "Far;11;600,0;;;;;FM;;\r\n"
        "Rev;12;145,5;;;DTCS-R;;FM;;\r\n"
        "Bee;900;145,5;;;;;FM;;\r\n";
    ToolRun r = Tool({"channels", file.string(), "--import", Sheet(text).string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("list.csv: line 4: location 11: Frequency 600.00000 MHz lies in no band"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("line 5: location 12: tone mode DTCS-R (reverse squelch)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("line 6: location 900: location 900 is a bank B channel"),
              std::string::npos);
    EXPECT_NE(r.err.find("nothing saved (--partial applies the other rows)"), std::string::npos);
    EXPECT_EQ(ReadBytes(file), before);

    r = Tool({"channels", file.string(), "--import", sheet.string(), "--partial"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("line 3: location 10: Name 'Rpt A' is held as 'RPT A'"), std::string::npos)
        << r.out;
    const auto after = ReadBytes(file);
    const std::uint8_t* ch10 = Record(after, 10);
    EXPECT_EQ(GetFrequency(ch10), 14'561'250u);
    EXPECT_EQ(GetFrequency(ch10 + 4), 14'501'250u);
    EXPECT_EQ(ch10[0x0E] >> 6, 1);          // minus
    EXPECT_EQ(ch10[0x0F] & 0x03, 1);        // Ctcss Encode
    EXPECT_EQ(ch10[0x08], 0x85);            // 88.5 Hz
    EXPECT_EQ(ch10[0x0D] >> 6, 2);          // narrow
    EXPECT_EQ(ch10[0x0C] >> 6, 0);          // 5 W: Low
    EXPECT_EQ(Record(after, 11)[3], 0xFF);  // the rows reported stay as they were
    EXPECT_EQ(Record(after, 12)[3], 0xFF);
}

TEST_F(ChannelExchange, BankBLocationsWithBankB) {
    const std::string text = "Location,Frequency,Name\n801,446.5,b1\n803,150,b3\n7,147,a7\n";
    ASSERT_EQ(
        Tool({"channels", file.string(), "--import", Sheet(text).string(), "--bank", "B"}).code, 0);
    const auto after = ReadBytes(file);
    EXPECT_EQ(GetFrequency(Record(after, 801)), 44'650'000u);
    EXPECT_EQ(GetFrequency(Record(after, 803)), 15'000'000u);
    EXPECT_EQ(GetFrequency(Record(after, 7)), 14'700'000u);
    const ToolRun r =
        Tool({"channels", file.string(), "--bank", "B", "--csv", "--format", "chirp"});
    EXPECT_NE(r.out.find("\n801,B1,446.500000,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n803,B3,150.000000,"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\n7,"), std::string::npos);
}

TEST_F(ChannelExchange, BankBFromTheCommandLineUsesBankBsBands) {
    // Bank B's bands with the factory ranges: 134-180 and 400-512 MHz. 100 MHz lies in neither
    // and falls back to the lower limit of the first (134 MHz); 60 MHz for channel 1 as well.
    ToolRun r = Tool({"channels", file.string(), "--bank", "B", "--set", "2:Rx Freq=446.1",
                      "3:Rx Freq=100", "1:Rx Freq=60", "2:Name=bb"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "2:Rx Freq=446.1 became 446.10000\n"
              "3:Rx Freq=100 became 134.00000\n"
              "1:Rx Freq=60 became 134.00000\n"
              "2:Name=bb became BB\n");
    auto after = ReadBytes(file);
    EXPECT_EQ(GetFrequency(Record(after, 802)), 44'610'000u);
    EXPECT_EQ(GetFrequency(Record(after, 803)), 13'400'000u);
    EXPECT_EQ(Record(after, 802)[0x18], 'B');
    EXPECT_EQ(GetFrequency(Record(after, 2)), 14'652'000u);  // bank A untouched
    // Bank B's used bitmap (0xCE00): channels 1-3 of the bank.
    EXPECT_EQ(after[kHeaderSize + 0xCE00] & 0x07, 0x07);

    r = Tool({"channels", file.string(), "--bank", "B"});
    EXPECT_NE(r.out.find("\n2   446.10000  446.10000"), std::string::npos) << r.out;
    r = Tool({"channels", file.string(), "--bank", "b", "--clear", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    after = ReadBytes(file);
    EXPECT_EQ(Record(after, 803)[3], 0xFF);
    EXPECT_EQ(after[kHeaderSize + 0xCE00] & 0x04, 0);

    // Our CSV of bank B, both ways.
    const ToolRun csv = Tool({"channels", file.string(), "--bank", "B", "--csv"});
    ASSERT_EQ(csv.code, 0);
    EXPECT_NE(csv.out.find("\n2,446.10000,446.10000,"), std::string::npos);
    std::string edited = csv.out;
    edited.replace(edited.find("\n5,,,,,,,,,,,\n"), 14, "\n5,170,,,,,,,,,,\n");
    r = Tool({"channels", file.string(), "--bank", "B", "--import", Sheet(edited).string()});
    ASSERT_EQ(r.code, 0) << r.err;
    after = ReadBytes(file);
    EXPECT_EQ(GetFrequency(Record(after, 805)), 17'000'000u);
    EXPECT_EQ(GetFrequency(Record(after, 5)), 11'810'000u);  // bank A's channel 5 as it was

    EXPECT_EQ(Tool({"channels", file.string(), "--bank", "C"}).code, 2);
}

TEST_F(ChannelExchange, RowOperationsApplyThroughTheTableAndSave) {
    ToolRun r = Tool({"channels", file.string(), "--insert", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    auto after = ReadBytes(file);
    EXPECT_EQ(Record(after, 3)[3], 0xFF);
    EXPECT_EQ(GetFrequency(Record(after, 4)), 14'560'000u);
    EXPECT_TRUE(std::equal(Record(before, 3), Record(before, 3) + 32, Record(after, 4)));

    r = Tool({"channels", file.string(), "--delete", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadBytes(file), before);

    r = Tool({"channels", file.string(), "--move", "5-6:2"});
    ASSERT_EQ(r.code, 0) << r.err;
    after = ReadBytes(file);
    EXPECT_EQ(GetFrequency(Record(after, 2)), 11'810'000u);
    EXPECT_EQ(GetFrequency(Record(after, 3)), 85'101'250u);
    EXPECT_EQ(GetFrequency(Record(after, 4)), 14'652'000u);

    r = Tool({"channels", file.string(), "--sort", "rx", "--range", "2-10"});
    ASSERT_EQ(r.code, 0) << r.err;
    after = ReadBytes(file);
    const std::uint32_t sorted[] = {11'810'000, 14'560'000, 14'652'000, 44'600'625, 85'101'250};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(GetFrequency(Record(after, 2 + i)), sorted[i]) << i;

    r = Tool({"channels", file.string(), "--sort", "name"});  // S20 (146.52 MHz) first
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(GetFrequency(Record(ReadBytes(file), 1)), 14'652'000u);
    const auto unsorted = ReadBytes(file);
    r = Tool({"channels", file.string(), "--sort", "rx"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("channel 1 would hold 118.10000 MHz"), std::string::npos) << r.err;
    EXPECT_EQ(ReadBytes(file), unsorted);

    // Channel 800 in use: an insert would push it off the end.
    ASSERT_EQ(Tool({"channels", file.string(), "--set", "800:Rx Freq=145"}).code, 0);
    const auto full = ReadBytes(file);
    r = Tool({"channels", file.string(), "--insert", "2"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("channel 800 is in use"), std::string::npos);
    EXPECT_EQ(ReadBytes(file), full);

    const std::pair<std::vector<std::string>, const char*> usage[] = {
        {{"--insert", "0"}, "--insert takes a channel number"},
        {{"--delete", "5-3"}, "--delete takes N or N-M"},
        {{"--move", "3-4"}, "--move takes A-B:C"},
        {{"--sort", "power"}, "--sort takes rx or name"},
        {{"--range", "1-3"}, "--range goes with --sort"},
        {{"--insert", "2", "--delete", "3"}, "one of --insert"},
        {{"--format", "chirp"}, "--format goes with --csv"},
        {{"--partial"}, "--partial goes with --import"},
    };
    for (const auto& [args, message] : usage) {
        std::vector<std::string> all = {"channels", file.string()};
        all.insert(all.end(), args.begin(), args.end());
        r = Tool(all);
        EXPECT_EQ(r.code, 2) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
    EXPECT_EQ(ReadBytes(file), full);
}

TEST_F(ChannelExchange, BadFilesAreRefusedWithTheirLineAndNothingSaved) {
    const std::pair<std::string, const char*> cases[] = {
        {std::string("Location,Frequency\n2,145\n\0\0\0", 27), "line 3: not text"},
        {"Location,Frequency\n2,\"145\n", "line 2: a quoted field is not closed"},
        {"Location,Frequency\n2,145\n3,146\n2,147\n",
         "line 4: location 2 appears again (first on line 2)"},
        {"CH,Rx Freq\n2,145\n2,146\n", "line 3: channel 2 appears again (first on line 2)"},
        {"Colour,Size\nred,4\n", "line 1: no known column"},
        {"# nothing but a comment\n", "no header row"},
    };
    for (const auto& [text, message] : cases) {
        const ToolRun r = Tool({"channels", file.string(), "--import", Sheet(text).string()});
        EXPECT_EQ(r.code, 1) << text;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing saved"), std::string::npos) << r.err;
        EXPECT_EQ(ReadBytes(file), before);
    }
    {  // beyond 16 MiB
        std::ofstream big(sheet, std::ios::binary | std::ios::trunc);
        big << "Location,Frequency\n";
        const std::string line = "2,145.000000\n";
        for (std::size_t n = 0; n < 16u * 1024 * 1024 / line.size() + 2; ++n) big << line;
    }
    const ToolRun r = Tool({"channels", file.string(), "--import", sheet.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("longer than 16777216 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(ReadBytes(file), before);
}

}  // namespace
}  // namespace vm::cli
