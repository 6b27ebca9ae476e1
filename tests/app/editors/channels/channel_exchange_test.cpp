// Channel lists in and out: the CSV reader, the exchange layout mapped onto channel records, and
// the round trips through the table.
#include <gtest/gtest.h>

#include <sstream>

#include "app/editors/channels/channel_sheet.h"
#include "app/editors/channels/chirp_csv.h"
#include "app/editors/channels/csv_document.h"
#include "tests/app/editors/channels/channel_fixture.h"

namespace vm {
namespace {

using testing::ChannelTable;
using V = CProgramView;

TEST(CsvDocument, ReadsWhatSpreadsheetsAndOtherProgramsWrite) {
    const CsvDocument doc = ReadCsvDocument(
        "\xEF\xBB\xBF# written by hand\r\n"
        "\r\n"
        "Location;Name;Frequency\r\n"
        "# a comment between rows\r\n"
        "1;\"A;B\";146,52\r\n"
        "2;\"two\r\nlines\";145\n");
    ASSERT_TRUE(doc.ok()) << doc.error;
    EXPECT_EQ(doc.separator, ';');
    EXPECT_EQ(doc.header_line, 3);
    EXPECT_EQ(doc.header, (std::vector<std::string>{"Location", "Name", "Frequency"}));
    ASSERT_EQ(doc.rows.size(), 2u);
    EXPECT_EQ(doc.rows[0].line, 5);
    EXPECT_EQ(doc.rows[0].fields, (std::vector<std::string>{"1", "A;B", "146,52"}));
    EXPECT_EQ(doc.rows[1].line, 6);
    EXPECT_EQ(doc.rows[1].fields[1], "two\r\nlines");
}

TEST(CsvDocument, RefusesWhatIsNotATextTableWithItsLine) {
    const std::pair<std::string, std::string> cases[] = {
        {std::string("CH,Name\n1,A\n2,\0B\n", 17), "line 3: not text"},
        {"CH,Name\n1,\xFF\xFE\n", "line 2: not text"},
        {"CH,Name\n1,\xC3\n", "line 2: not text"},      // a cut UTF-8 sequence
        {"CH,Name\n1,\xC0\xAF\n", "line 2: not text"},  // an overlong encoding
        {"CH,Name\n1,\"A\n", "line 2: a quoted field is not closed"},
        {"# only a comment\n\n", "line 2: no header row"},
    };
    for (const auto& [text, error] : cases) {
        const CsvDocument doc = ReadCsvDocument(text);
        EXPECT_EQ(doc.error.substr(0, error.size()), error) << text;
    }
    EXPECT_TRUE(ReadCsvDocument("Name\n1,\xC3\xA9t\xC3\xA9\n").ok());  // UTF-8 is text
}

TEST(CsvDocument, FieldsAreQuotedOnlyWhenTheyMustBe) {
    std::ostringstream out;
    WriteCsvRow(out, {"#1", "a,b", "say \"hi\"", " x", "plain"});
    EXPECT_EQ(out.str(), "\"#1\",\"a,b\",\"say \"\"hi\"\"\",\" x\",plain\n");
    const CsvDocument back = ReadCsvDocument("H1,H2,H3,H4,H5\n" + out.str());
    ASSERT_TRUE(back.ok()) << back.error;
    EXPECT_EQ(back.rows[0].fields,
              (std::vector<std::string>{"#1", "a,b", "say \"hi\"", " x", "plain"}));
}

TEST(ChannelCsv, AChannelGivenTwiceIsRefused) {
    const CsvImport import = ParseChannelCsv("CH,Name\n5,A\n6,B\n5,C\n");
    EXPECT_EQ(import.error, "line 4: channel 5 appears again (first on line 2)");
    EXPECT_TRUE(import.edits.empty());
}

// ---------------------------------------------------------------------------------------------
// The exchange layout

chirp::ImportPlan Plan(const std::string& text, const BandTables& bands, bool bank_b = false) {
    return chirp::PlanImport(ReadCsvDocument(text), bands, bank_b);
}

struct ChirpTable : ChannelTable {
    std::string Export() {
        std::ostringstream out;
        notes = chirp::WriteCsv(*view, image, out);
        return out.str();
    }
    std::vector<chirp::ExportNote> notes;
};

TEST_F(ChirpTable, RowsMapOntoTheRecordsFields) {
    const std::string text =
        "Location,Name,Frequency,Duplex,Offset,Tone,rToneFreq,cToneFreq,DtcsCode,DtcsPolarity,"
        "Mode,TStep,Skip,Power,Comment\n"
        "2,rpt-1x,145.600000,-,0.600000,Tone,88.5,100.0,023,NN,NFM,12.50,S,5.0W,hello\n"
        "3,Air,118.100000,,0.000000,,88.5,88.5,023,NN,AM,8.33,,50W,\n"
        "4,Dcs,446.006250,+,5.000000,DTCS,88.5,88.5,754,RN,FM,6.25,P,25W,\n"
        "5,Split,145.500000,split,435.000000,TSQL,67.0,77.0,023,RR,NAM,5.00,,12W,\n";
    const chirp::ImportPlan plan = Plan(text, bands);
    ASSERT_TRUE(plan.ok()) << plan.error;
    ASSERT_TRUE(plan.problems.empty()) << plan.problems[0].text;
    ASSERT_EQ(plan.rows.size(), 4u);

    const chirp::RowPlan& a = plan.rows[0];
    EXPECT_EQ(a.line, 2);
    EXPECT_EQ(a.channel, 2);
    EXPECT_EQ(a.rx, 14'560'000u);
    EXPECT_EQ(a.tx, 14'500'000u);
    EXPECT_EQ(a.direction, OffsetDirection::Minus);
    EXPECT_EQ(a.offset, 60'000u);
    EXPECT_EQ(a.decode, 1);  // "Ctcss Encode" sends rToneFreq
    EXPECT_EQ(a.ctcss, 885);
    EXPECT_EQ(a.bandwidth, 2);
    EXPECT_FALSE(a.am);
    EXPECT_EQ(a.step, 6);
    EXPECT_EQ(a.scan, 1);
    EXPECT_EQ(a.power, 0);
    EXPECT_EQ(a.name, "RPT-1X");

    const chirp::RowPlan& b = plan.rows[1];
    EXPECT_TRUE(b.am);
    EXPECT_EQ(b.bandwidth, 0);
    EXPECT_EQ(b.step, 4);  // 8.33 kHz
    EXPECT_EQ(b.direction, OffsetDirection::Simplex);
    EXPECT_FALSE(b.offset);  // a zero offset keeps the default record's

    const chirp::RowPlan& c = plan.rows[2];
    EXPECT_EQ(c.decode, 3);
    EXPECT_EQ(c.dcs, 754);
    EXPECT_EQ(c.polarity, 2);  // RN: transmit reversed = "Encode Invert"
    EXPECT_EQ(c.tx, 44'600'625u + 500'000u);
    EXPECT_EQ(c.scan, 2);
    EXPECT_EQ(c.power, 2);

    const chirp::RowPlan& d = plan.rows[3];
    EXPECT_EQ(d.direction, OffsetDirection::Split);
    EXPECT_EQ(d.tx, 43'500'000u);
    EXPECT_EQ(d.decode, 2);
    EXPECT_EQ(d.ctcss, 770);  // TSQL decodes cToneFreq
    EXPECT_EQ(d.polarity, 3);
    EXPECT_TRUE(d.am);
    EXPECT_EQ(d.bandwidth, 2);
    EXPECT_EQ(d.power, 1);  // 12 W: nearest "Middle 2" (10 W)

    // What the table adjusts is told, not refused.
    ASSERT_EQ(plan.notes.size(), 5u);
    EXPECT_EQ(plan.notes[0].text, "Name 'rpt-1x' is held as 'RPT-1X'");
    EXPECT_NE(plan.notes[3].text.find("12W is held as Middle 2 (10W)"), std::string::npos)
        << plan.notes[3].text;
}

TEST_F(ChirpTable, RowsTheRadioCannotHoldAreNamedWithTheirLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"600.000000,,,,,,,,FM,,", "lies in no band"},
        {"145.001000,,,,,,,,FM,,", "off the band's channel raster"},
        {"145.500000,off,,,,,,,FM,,", "Duplex off"},
        {"145.500000,+,60.000000,,,,,,FM,,", "offsets up to 50 MHz"},
        {"145.500000,-,0.600000,Cross,88.5,100.0,,,FM,,", "one tone per channel"},
        {"145.500000,,,Cross,88.5,88.5,023,Tone->DTCS,FM,,", "cross mode 'Tone->DTCS'"},
        {"145.500000,,,DTCS-R,,,023,,FM,,", "reverse squelch"},
        {"145.500000,,,Weird,,,,,FM,,", "tone mode 'Weird' is unknown"},
        {"145.500000,,,Tone,300.0,,,,FM,,", "60.0 to 260.0 Hz"},
        {"145.500000,,,,,,,,WFM,,", "Mode 'WFM'"},
        {"145.500000,,,,,,,,DV,,", "Mode 'DV'"},
        {"145.500000,,,,,,,,FM,3.00,", "TStep '3.00'"},
        {"851.012500,,,,,,,,FM,2.50,", "not offered in the 850M band"},
        {"145.500000,,,,,,,,FM,,X", "Skip 'X'"},
        {"146.52.1,,,,,,,,FM,,", "not a frequency"},
    };
    for (auto [row, problem] : cases) {
        const std::string text =
            "Location,Frequency,Duplex,Offset,Tone,rToneFreq,cToneFreq,DtcsCode,CrossMode,Mode,"
            "TStep,Skip\n"
            "9," +
            std::string(row) + "\n";
        const chirp::ImportPlan plan = Plan(text, bands);
        ASSERT_TRUE(plan.ok()) << plan.error;
        EXPECT_TRUE(plan.rows.empty()) << row;
        ASSERT_FALSE(plan.problems.empty()) << row;
        EXPECT_EQ(plan.problems[0].line, 2);
        EXPECT_EQ(plan.problems[0].location, 9);
        EXPECT_NE(plan.problems[0].text.find(problem), std::string::npos)
            << row << ": " << plan.problems[0].text;
    }
}

TEST_F(ChirpTable, LocationsBankBAndTheFileAsAWhole) {
    // Channel 1 stays in a home band; bank B only when asked; a short row is a row problem.
    chirp::ImportPlan plan =
        Plan("Location,Frequency\n1,30.000000\n801,446.000000\n802,30.000000\n5\n0,145.5\n", bands);
    ASSERT_TRUE(plan.ok()) << plan.error;
    ASSERT_EQ(plan.problems.size(), 5u);
    EXPECT_NE(plan.problems[0].text.find("channel 1 stays"), std::string::npos);
    EXPECT_NE(plan.problems[1].text.find("bank B"), std::string::npos);
    EXPECT_NE(plan.problems[3].text.find("1 fields where the header has 2"), std::string::npos);
    EXPECT_EQ(plan.problems[4].line, 6);

    // Bank B's bands: 134-180 MHz and, with the 220M band programmed, 220-260 MHz.
    plan = Plan("Location,Frequency\n801,222.000000\n802,446.000000\n", bands, true);
    ASSERT_EQ(plan.rows.size(), 1u);
    EXPECT_EQ(plan.rows[0].channel, 801);
    ASSERT_EQ(plan.problems.size(), 1u);  // 446 MHz: in no band of bank B
    EXPECT_NE(plan.problems[0].text.find("no band of bank B"), std::string::npos);

    const std::pair<const char*, const char*> refused[] = {
        {"Location,Frequency\n3,145.5\n4,146\n3,147\n",
         "line 4: location 3 appears again (first on line 2)"},
        {"Location,Name\n3,A\n", "line 1: no 'Frequency' column"},
        {"Location,Frequency,frequency\n", "line 1: column 'frequency' appears twice"},
    };
    for (auto [text, error] : refused) EXPECT_EQ(Plan(text, bands).error, error) << text;
    EXPECT_FALSE(chirp::IsChirpHeader({"CH", "Rx Freq"}));
    EXPECT_TRUE(chirp::IsChirpHeader({"Frequency", " location "}));
}

// A table of assorted channels, exported and imported into an empty image, gives the same
// channels (and the same export).
TEST_F(ChirpTable, ExportThenImportIntoANewImageGivesTheSameChannels) {
    struct Edit {
        int row, col;
        const char* text;
    };
    const Edit edits[] = {
        {2, V::kColRx, "146.52"},
        {2, V::kColName, "S20"},
        {3, V::kColRx, "145.6"},
        {3, V::kColTx, "145.0"},
        {3, V::kColDecode, "Ctcss Codec"},
        {3, V::kColCtcss, "88.5"},
        {4, V::kColRx, "446.00625"},
        {4, V::kColDecode, "Dcs Codec"},
        {4, V::kColDcs, "754"},
        {4, V::kColPolarity, "Decode Invert"},
        {4, V::kColPower, "Middle 1"},
        {4, V::kColScan, "Priority"},
        {5, V::kColRx, "118.1"},
        {5, V::kColBandwidth, "Narrow"},
        {700, V::kColRx, "851.0125"},
        {700, V::kColDecode, "Ctcss Encode"},
        {700, V::kColCtcss, "254.1"},
        {700, V::kColScan, "Skip"},
    };
    for (const Edit& e : edits) view->TypeIntoCell(e.row, e.col, e.text);
    Rec(4).SetOffset(500'000);  // +5 MHz, as the channel edit dialog stores it
    Rec(4).SetDirection(OffsetDirection::Plus);
    view->TypeIntoCell(4, V::kColTx, "451.00625");
    Rec(700).SetStep(11);
    view->StoreToImage();
    const std::string exported = Export();
    EXPECT_TRUE(notes.empty());
    EXPECT_NE(exported.find("\n4,,446.006250,+,5.000000,DTCS,"), std::string::npos) << exported;
    EXPECT_NE(exported.find(",754,NR,754,Tone->Tone,FM,12.50,P,25W,"), std::string::npos);
    EXPECT_NE(exported.find("\n5,,118.100000,,0.600000,,100.0,100.0,023,NN,023,Tone->Tone,NAM,"),
              std::string::npos);
    EXPECT_NE(exported.find("\n3,,145.600000,split,145.000000,TSQL,88.5,88.5,"), std::string::npos);

    RadioImage fresh_image{};
    fresh_image.fill(0xFF);
    testing::ProgramBands(fresh_image, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    BandTables fresh_bands = BandTables::Initial();
    RecomputeBandTables(fresh_bands, fresh_image);
    RecomputeBandEnabledFromImage(fresh_bands, fresh_image);
    CProgramView fresh(fresh_image, fresh_bands);
    fresh.OnInitialUpdate();
    const chirp::ImportPlan plan = chirp::PlanImport(ReadCsvDocument(exported), fresh_bands, false);
    ASSERT_TRUE(plan.ok()) << plan.error;
    ASSERT_TRUE(plan.problems.empty()) << plan.problems[0].text;
    EXPECT_TRUE(chirp::ApplyImport(plan, fresh, nullptr).empty());
    fresh.StoreToImage();

    for (int n = 1; n <= kChannelsPerBank; ++n)
        ASSERT_TRUE(std::equal(Bytes(n), Bytes(n) + 32, fresh_image.data() + ChannelOffset(n)))
            << "channel " << n;
    std::ostringstream again;
    chirp::WriteCsv(fresh, fresh_image, again);
    EXPECT_EQ(again.str(), exported);
}

TEST_F(ChirpTable, WhatTheLayoutCannotCarryIsNamed) {
    view->TypeIntoCell(2, V::kColRx, "146.52");
    view->TypeIntoCell(2, V::kColBandwidth, "Middle");
    view->TypeIntoCell(2, V::kColSignal, "DTMF");
    view->StoreToImage();
    const std::string exported = Export();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].channel, 2);
    EXPECT_EQ(notes[0].text, "Bandwidth Middle is written as FM");
    EXPECT_NE(notes[1].text.find("Signaling DTMF"), std::string::npos);
}

// A row replaces its channel through the table: a channel in use is cleared first, so its
// reserved bytes and hidden fields are the default record's, and channel 1 is typed over.
TEST_F(ChirpTable, ImportedRowsReplaceTheirChannelsThroughTheTable) {
    view->TypeIntoCell(6, V::kColRx, "446.1");
    Rec(6).SetScrambler(1);
    view->StoreToImage();
    const chirp::ImportPlan plan =
        Plan("Location,Frequency,Name\n6,145.125,new\n1,438.5,one\n", bands);
    ASSERT_TRUE(plan.problems.empty());
    EXPECT_TRUE(chirp::ApplyImport(plan, *view, nullptr).empty());
    view->StoreToImage();
    EXPECT_EQ(Cell(6, V::kColRx), "145.12500");
    EXPECT_EQ(Rec(6).Scrambler(), 0);
    EXPECT_EQ(Cell(6, V::kColName), "NEW");
    EXPECT_EQ(Cell(1, V::kColRx), "438.50000");
    EXPECT_EQ(Cell(1, V::kColName), "ONE");
}

}  // namespace
}  // namespace vm
