// vm6142 show and set over the editors' headless forms.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/files.h"
#include "tests/support/text.h"
#include "tests/support/tool_runner.h"

namespace vm::cli {
namespace {

using vm::testing::Contains;
using vm::testing::ReadBytes;
using vm::testing::TempDir;
using vm::testing::Tool;
using vm::testing::ToolRun;

class Editors : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Tool({"new", file.string()}).code, 0); }
    TempDir dir;
    std::filesystem::path file = dir / "radio.dat";
};

TEST_F(Editors, ShowPrintsEveryFieldAsTheEditorShowsIt) {
    const ToolRun r = Tool({"show", file.string(), "basic SETTING"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* line : {"Option/Volume = 8\n", "Option/STE = Frequency (hidden)\n",
                             "TOT/TOT (min) = 3\n", "TOT/TOT pre-alert (s) = Off\n",
                             "Key/P1 = BAND\n", "Option/Left Priority Ch = Off (hidden)\n"})
        EXPECT_TRUE(Contains(r.out, line)) << line;
    const ToolRun j = Tool({"show", file.string(), "Basic setting", "--json"});
    ASSERT_EQ(j.code, 0);
    EXPECT_TRUE(Contains(j.out, "\"Key/P4\": \"LOW\"")) << j.out;
    EXPECT_EQ(j.out.front(), '{');
}

TEST_F(Editors, SetTypesLeavesPrintsCorrectionsAndSaves) {
    const ToolRun r =
        Tool({"set", file.string(), "Basic setting", "Option/Volume=45", "tot/tot (min)=0",
              "Key/P1=scan", "Option/Auto power off(h)=1.5", "TOT/TOT rekey (s)=12"});
    ASSERT_EQ(r.code, 0) << r.err;
    // Corrections only: "scan" is the entry "SCAN"; 12 is taken as typed.
    EXPECT_EQ(r.out, "Option/Volume = 15\nTOT/TOT (min) = Off\n");
    const auto bytes = ReadBytes(file);
    ASSERT_EQ(bytes.size(), 69632u);
    const auto at = [&](std::size_t a) { return bytes[4096 + a]; };
    EXPECT_EQ(at(0xCC2F), 15);
    EXPECT_EQ(at(0xCC30), 0);
    EXPECT_EQ(at(0xCC32), 12);
    EXPECT_EQ(at(0xCC38), 1);
    EXPECT_EQ(at(0xCC21), 15);
    const ToolRun shown = Tool({"show", file.string(), "Basic setting"});
    EXPECT_TRUE(Contains(shown.out, "Option/Auto power off(h) = 1.5\n"));
    EXPECT_TRUE(Contains(shown.out, "Key/P1 = SCAN\n"));
}

TEST_F(Editors, UsageErrorsSaveNothing) {
    const auto before = ReadBytes(file);
    struct Case {
        std::vector<std::string> args;
        const char* err_part;
    };
    const Case cases[] = {
        {{"set", file.string(), "Basic setting", "Option/Beep=Loud"}, "no entry \"Loud\""},
        {{"set", file.string(), "Basic setting", "Option/Volume=3", "Option/Nope=1"},
         "no field \"Option/Nope\""},
        {{"set", file.string(), "Basic setting", "Option/STE=120"}, "hidden"},
        {{"set", file.string(), "Basic setting", "Volume"}, "expected FIELD=VALUE"},
        {{"set", file.string(), "DTMF!", "A=1"}, "no editor"},
        {{"show", file.string(), "Nothing"}, "no editor"},
        {{"set", file.string(), "Basic setting"}, ""},
        {{"set", file.string(), "Basic setting", "--record", "2", "Option/Volume=3"},
         "does not step through records"},
        {{"set", file.string(), "Channel setting", "5/Name=ABC"}, "the editor opens Rx Freq"},
        {{"set", file.string(), "Channel setting", "1/Power=Max"}, "no entry \"Max\""},
        {{"set", file.string(), "Channel setting", "1/Nothing=1"}, "no field"},
    };
    for (const Case& c : cases) {
        const ToolRun r = Tool(c.args);
        EXPECT_EQ(r.code, 2) << c.args.back();
        EXPECT_TRUE(Contains(r.err, c.err_part)) << r.err;
        EXPECT_EQ(ReadBytes(file), before) << c.args.back();
    }
    const ToolRun missing = Tool({"show", (dir / "absent.dat").string(), "Basic setting"});
    EXPECT_EQ(missing.code, 1);
}

// The save runs the frame's commit: the channel table is stored after the settings, so the
// bytes it derives follow the edit (the scrambler's coefficient at 0xCC2A), as File > Save.
TEST_F(Editors, SetSavesWhatTheFramesCommitWrites) {
    const ToolRun r =
        Tool({"set", file.string(), "Basic setting", "Option/Scarmbler(2600 - 4000Hz)=3000"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto bytes = ReadBytes(file);
    EXPECT_EQ(bytes[4096 + 0xCC2A] | bytes[4096 + 0xCC2B] << 8, 8192);
    EXPECT_EQ(bytes[4096 + 0xCC25] & 0x03, 0);
}

TEST_F(Editors, TheChannelTableIsAnEditorOfCellsNamedRowAndColumn) {
    const ToolRun r =
        Tool({"set", file.string(), "channel setting", "3/Rx Freq=146.5", "3/name=ab1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "3/Rx Freq = 146.50000\n3/Name = AB1\n");
    const ToolRun shown = Tool({"show", file.string(), "Channel setting", "--json"});
    ASSERT_EQ(shown.code, 0);
    EXPECT_TRUE(Contains(shown.out, "\"3/Tx Freq\": \"146.50000\"")) << shown.out.substr(0, 400);
    EXPECT_TRUE(Contains(shown.out, "\"800/Name\": \"\""));
    const ToolRun listed = Tool({"channels", file.string()});
    EXPECT_TRUE(Contains(listed.out, "AB1")) << listed.out;
}

// The channel edit dialog driven from the command line: --record is the channel typed into the
// dialog's number edit; the checks of the Rx/Tx edits run as the fields are left.
TEST_F(Editors, ChannelEditSetsOneChannelAsTheDialogDoes) {
    const auto channel = [](const std::vector<std::uint8_t>& bytes, int n) {
        const auto* p = bytes.data() + 4096 + 0x100 + 32 * (n - 1);
        return std::vector<std::uint8_t>(p, p + 32);
    };
    const auto before = ReadBytes(file);
    struct Case {
        int record;
        std::vector<std::string> fields;
        std::string out;                                  // the corrections printed
        std::vector<std::pair<int, std::uint8_t>> bytes;  // record offset, value
    };
    const Case cases[] = {
        // A new channel: the default record, then the typed fields.
        {20,
         {"Rx frequency(MHz)=145.5", "CTCSS tone=300", "Functions/Reverse=On", "Name=ab"},
         "Rx frequency(MHz) = 145.50000\nCTCSS tone = 100.0\nName = AB\n",
         {{0x00, 0x00},
          {0x01, 0x00},
          {0x02, 0x55},
          {0x03, 0x14},
          {0x04, 0x00},
          {0x07, 0x14},
          {0x08, 0x00},
          {0x09, 0x10},
          {0x0A, 0x23},
          {0x0B, 0x00},
          {0x10, 0x00},
          {0x11, 0x00},
          {0x12, 0x06},
          {0x13, 0x00},
          {0x18, 'A'},
          {0x19, 'B'},
          {0x1A, 0xFF}}},
        // Band 8: the 5 kHz raster; the Tx of another band is its own.
        {30,
         {"Rx frequency(MHz)=860.0037", "Tx frequency(MHz)=146.0037"},
         "Rx frequency(MHz) = 860.00000\nTx frequency(MHz) = 146.00000\n",
         {{0x00, 0x00}, {0x01, 0x00}, {0x02, 0x00}, {0x03, 0x86}, {0x06, 0x60}, {0x07, 0x14}}},
        // Channel 1 never leaves its home band: the last accepted Rx comes back.
        {1,
         {"Rx frequency(MHz)=600"},
         "Rx frequency(MHz) = 145.50000\n",
         {{0x02, 0x55}, {0x03, 0x14}}},
        // "Talk around" (0x0E bit 4) clears "Reverse" (bit 5); the step 12.5 is index 6.
        {1, {"Functions/Reverse=On", "Talk around=On"}, "", {{0x0E, 0x16}}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"set", file.string(), "Channel edit", "--record",
                                         std::to_string(c.record)};
        args.insert(args.end(), c.fields.begin(), c.fields.end());
        const ToolRun r = Tool(args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, c.out) << c.record;
        const auto rec = channel(ReadBytes(file), c.record);
        for (auto [at, value] : c.bytes)
            EXPECT_EQ(rec[static_cast<std::size_t>(at)], value) << c.record << " @" << at;
    }
    // Only the channels set changed.
    const auto after = ReadBytes(file);
    for (int n : {2, 21, 29, 31, 800}) EXPECT_EQ(channel(after, n), channel(before, n)) << n;

    const ToolRun shown = Tool({"show", file.string(), "Channel edit", "--record", "20"});
    ASSERT_EQ(shown.code, 0) << shown.err;
    for (const char* line : {"Channel number = 20\n", "Functions/Reverse = On\n",
                             "Backup/Reverse = Off (hidden)\n", "Tx frequency(MHz) = 145.50000\n"})
        EXPECT_TRUE(Contains(shown.out, line)) << line;

    struct Refused {
        std::vector<std::string> args;
        const char* err_part;
    };
    const Refused refused[] = {
        {{"--record", "801", "Name=A"}, "not a record of \"Channel edit\" (1-800)"},
        {{"--record", "0", "Name=A"}, "(1-800)"},
        {{"--record", "5", "Reverse=On"}, "\"Backup/Reverse\", \"Functions/Reverse\""},
        {{"--record", "20", "Backup/Reverse=On"}, "hidden"},
    };
    for (const Refused& c : refused) {
        std::vector<std::string> args = {"set", file.string(), "Channel edit"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun r = Tool(args);
        EXPECT_NE(r.code, 0);
        EXPECT_TRUE(Contains(r.err, c.err_part)) << r.err;
        EXPECT_EQ(ReadBytes(file), after);
    }
}

// The VFO dialog's tabs are pages of their own; the save repairs the VFOs and refreshes their
// copy at 0xD8E0, keeping the 150M VFO's air-band frequency.
TEST_F(Editors, VfoSetsTheRecordOfEachTab) {
    const ToolRun r = Tool({"set", file.string(), "VFO", "150M/Rx frequency (MHz)=121.5",
                            "450M/Rx frequency (MHz)=440", "450M/Offset direction=+",
                            "450M/Offset freq(MHz)=5", "850M/Rx frequency (MHz)=900",
                            "850M/Offset direction=-", "850M/Offset freq(MHz)=60"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto bytes = ReadBytes(file);
    const auto record = [&](std::uint32_t at) {
        return std::vector<std::uint8_t>(bytes.begin() + 4096 + at, bytes.begin() + 4096 + at + 32);
    };
    struct Case {
        int q;                   // the VFO record
        std::uint32_t rx, tx;    // BCD bytes 0-3 and 4-7, as numbers
        std::uint8_t direction;  // byte 0x0E bits 7-6
    };
    const Case cases[] = {
        {4, 0x12150000, 0x12150000, 0},  // the air band, simplex
        {7, 0x44000000, 0x44500000, 2},  // 440 + 5
        {8, 0x90000000, 0x89240000, 1},  // 60 MHz is no offset: 7.6 MHz below
    };
    for (const Case& c : cases) {
        const auto rec = record(0xCA40 + 32 * static_cast<std::uint32_t>(c.q));
        const auto le32 = [&](int at) {
            return static_cast<std::uint32_t>(rec[at] | rec[at + 1] << 8 | rec[at + 2] << 16 |
                                              rec[at + 3] << 24);
        };
        EXPECT_EQ(le32(0), c.rx) << c.q;
        EXPECT_EQ(le32(4), c.tx) << c.q;
        EXPECT_EQ(rec[0x0E] >> 6, c.direction) << c.q;
        EXPECT_EQ(record(0xD8E0 + 32 * static_cast<std::uint32_t>(c.q)), rec) << c.q;
    }
    const ToolRun shown = Tool({"show", file.string(), "VFO"});
    EXPECT_TRUE(Contains(shown.out, "150M/Rx frequency (MHz) = 121.50000\n")) << shown.out;
    EXPECT_TRUE(Contains(shown.out, "850M/Offset freq(MHz) = 7.60000\n"));
    EXPECT_FALSE(Contains(shown.out, "108M/"));
    // A tab no band gives, and a hidden field.
    const auto saved = ReadBytes(file);
    for (const char* field : {"108M/Rx frequency (MHz)=120", "150M/Tx frequency (MHz)=145"})
        EXPECT_NE(Tool({"set", file.string(), "VFO", field}).code, 0) << field;
    EXPECT_EQ(ReadBytes(file), saved);
}

// A radio with no band enabled has no VFO tab: show says so, and a set changes nothing.
TEST_F(Editors, VfoOfARadioWithoutBandsShowsNothingAndSaysSo) {
    auto bytes = ReadBytes(file);
    std::fill(bytes.begin() + 4096, bytes.end(), 0xFF);
    vm::testing::WriteBytes(file, bytes);
    const ToolRun shown = Tool({"show", file.string(), "VFO"});
    EXPECT_EQ(shown.code, 0) << shown.err;
    EXPECT_EQ(shown.out, "");
    EXPECT_TRUE(Contains(shown.err, "\"VFO\" has no field to show in ")) << shown.err;
    EXPECT_NE(Tool({"set", file.string(), "VFO", "150M/Rx frequency (MHz)=145"}).code, 0);
    EXPECT_EQ(ReadBytes(file), bytes);
}

TEST_F(Editors, ScanChannelEdgesAreTheirTabs) {
    const ToolRun r = Tool({"set", file.string(), "Scan channel", "L3/Rx frequency(MHz)=430.0",
                            "U5/Rx frequency(MHz)=1500", "U3/Rx frequency(MHz)=600"});
    ASSERT_EQ(r.code, 0) << r.err;
    // A value no record can hold leaves the new edge empty; one out of every band is taken.
    EXPECT_EQ(r.out,
              "L3/Rx frequency(MHz) = 430.00000\nU5/Rx frequency(MHz) = \n"
              "U3/Rx frequency(MHz) = 600.00000\n");
    const auto bytes = ReadBytes(file);
    const auto* l3 = bytes.data() + 4096 + 0xC980;
    EXPECT_EQ(std::vector<std::uint8_t>(l3, l3 + 8),
              (std::vector<std::uint8_t>{0, 0, 0, 0x43, 0, 0, 0, 0x43}));
    EXPECT_EQ(l3[0x13], 0x00);  // 7.6 MHz: 00 00 76 00
    EXPECT_EQ(l3[0x12], 0x76);
    EXPECT_EQ(bytes[4096 + 0xCA20 + 3], 0xFF);  // U5 still empty
}

}  // namespace
}  // namespace vm::cli
