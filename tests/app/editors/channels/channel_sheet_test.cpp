#include "app/editors/channels/channel_sheet.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/app/editors/channels/channel_fixture.h"

namespace vm {
namespace {

using testing::ChannelTable;
using V = CProgramView;

TEST(CellEdit, ParsesChannelHeaderAndText) {
    std::string error;
    auto e = ParseCellEdit("12:rx freq=145.5", error);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->channel, 12);
    EXPECT_EQ(e->column, V::kColRx);
    EXPECT_EQ(e->text, "145.5");
    e = ParseCellEdit("800:DCS POLARITY=", error);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->column, V::kColPolarity);
    EXPECT_EQ(e->text, "");
    e = ParseCellEdit("3:Name=A=B", error);  // the first '=' ends the column
    ASSERT_TRUE(e);
    EXPECT_EQ(e->text, "A=B");
    for (const char* bad :
         {"801:Name=X", "0:Name=X", "x:Name=X", "5:CH=3", "5:Frequency=1", "5=Name:X", "5:Name"}) {
        EXPECT_FALSE(ParseCellEdit(bad, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST_F(ChannelTable, EditsAreTypedIntoTheirCellsAndEmptyChannelsOnlyTakeRx) {
    std::string error;
    EXPECT_FALSE(ApplyCellEdit(*view, {9, V::kColName, "AB"}, error));
    EXPECT_NE(error.find("channel 9 is empty"), std::string::npos);
    EXPECT_EQ(Cell(9, V::kColRx), "");
    EXPECT_TRUE(ApplyCellEdit(*view, {9, V::kColRx, "145.0037"}, error));
    EXPECT_EQ(Cell(9, V::kColRx), "145.00000");
    EXPECT_TRUE(ApplyCellEdit(*view, {9, V::kColName, "ab"}, error));
    EXPECT_EQ(Cell(9, V::kColName), "AB");
}

TEST_F(ChannelTable, ListingShowsChannelsInUseUnderTheHeaders) {
    std::string error;
    ApplyCellEdit(*view, {12, V::kColRx, "446.1"}, error);
    std::ostringstream out;
    WriteChannelListing(*view, out);
    const std::string s = out.str();
    EXPECT_EQ(s.substr(0, s.find('\n')),
              "CH  Rx Freq    Tx Freq    Decode Type  CTCSS  DCS  DCS Polarity  Power  Scan   "
              "Bandwidth  Signaling  Name");
    EXPECT_NE(s.find("\n1   134.00000  134.00000  Off          100.0  023  Positive      High   "
                     "Allow  Wide       Off\n"),
              std::string::npos);
    EXPECT_NE(s.find("\n12  446.10000"), std::string::npos);
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 3);
}

TEST_F(ChannelTable, CsvExportImportRoundTripChangesNoByte) {
    std::string error;
    ApplyCellEdit(*view, {2, V::kColRx, "145.5"}, error);
    ApplyCellEdit(*view, {2, V::kColName, " A,\"B"}, error);  // '"' and ',' are not name characters
    ApplyCellEdit(*view, {3, V::kColRx, "146"}, error);
    ApplyCellEdit(*view, {3, V::kColName, "+ -"}, error);
    view->StoreToImage();
    const RadioImage stored = image;
    std::ostringstream csv;
    WriteChannelCsv(*view, csv);
    const std::string text = csv.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 801);
    EXPECT_NE(text.find("\n3,146.00000,146.00000,Off,100.0,023,Positive,High,Allow,Wide,Off,+ -\n"),
              std::string::npos);
    EXPECT_NE(text.find("\n4,,,,,,,,,,,\n"), std::string::npos);

    Refresh();
    const CsvImport import = ParseChannelCsv(text);
    ASSERT_TRUE(import.ok()) << import.error;
    EXPECT_TRUE(ApplyImport(*view, import).empty());
    view->StoreToImage();
    EXPECT_TRUE(stored == image);
}

TEST_F(ChannelTable, ImportAppliesRowsWithTheTablesCommits) {
    const CsvImport import = ParseChannelCsv(
        "\xEF\xBB\xBF"
        "name,ch,RX FREQ,Scan\r\n"
        "XY,20,118.008,priority\r\n"
        "\r\n"
        "ZZ,21,,Skip\n"
        "\"Q\"\"\",1,,\n");
    ASSERT_TRUE(import.ok()) << import.error;
    const auto reports = ApplyImport(*view, import);
    EXPECT_EQ(Cell(20, V::kColRx), "118.00833");
    EXPECT_EQ(Cell(20, V::kColScan), "Priority");
    EXPECT_EQ(Cell(20, V::kColName), "XY");
    EXPECT_EQ(Cell(21, V::kColRx), "");
    EXPECT_EQ(Cell(1, V::kColRx), "134.00000");  // channel 1 cannot be emptied
    // Reported: the raster, the list's spelling, the skipped cells of the empty channel 21,
    // channel 1's Rx, and the name's quote, which the name editor does not take. Channel 1's
    // empty Scan left the cell as it was: not reported.
    ASSERT_EQ(reports.size(), 6u);
    EXPECT_EQ(reports[0].result, "118.00833");
    EXPECT_EQ(reports[1].result, "Priority");
    EXPECT_FALSE(reports[2].error.empty());
    EXPECT_FALSE(reports[3].error.empty());
    EXPECT_EQ(reports[4].result, "134.00000");
    EXPECT_EQ(reports[5].result, "Q");
    EXPECT_EQ(Cell(1, V::kColScan), "Allow");
}

TEST(ChannelCsv, MalformedFilesAreRefusedWithTheirLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"CH,Rx Freq\n1,145\n2\n", "line 3: 1 fields where the header has 2"},
        {"CH,Rx Freq,Colour\n", "line 1: unknown column 'Colour'"},
        {"Rx Freq,Name\n", "line 1: no 'CH' column"},
        {"CH,Name,name\n", "line 1: column 'name' appears twice"},
        {"CH,Name\n1,\"AB\n2,C\n", "line 2: a quoted field is not closed"},
        {"CH,Name\n1,A\"B\n", "line 2: a quote inside an unquoted field"},
        {"CH,Name\n1,\"A\"B\n", "line 2: text after a closing quote"},
        {"CH,Name\n1,A\n801,B\n", "line 3: '801' is not a channel number 1-800"},
        {"CH,Name\n\n0,B\n", "line 3: '0' is not a channel number 1-800"},
        {"", "line 1: no header row"},
    };
    for (auto [text, error] : cases) {
        const CsvImport import = ParseChannelCsv(text);
        EXPECT_EQ(import.error, error) << text;
        EXPECT_TRUE(import.edits.empty());
    }
}

}  // namespace
}  // namespace vm
