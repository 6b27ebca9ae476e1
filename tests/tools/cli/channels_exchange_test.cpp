// vm6142 channels: the exchange layout both ways, bank B, row operations, and bad files.
#include <gtest/gtest.h>

#include <fstream>

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
