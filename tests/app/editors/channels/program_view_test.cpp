#include <gtest/gtest.h>

#include <vector>

#include "tests/app/editors/channels/channel_fixture.h"

namespace vm {
namespace {

using testing::ChannelTable;
using V = CProgramView;

std::vector<std::uint8_t> Take(const std::uint8_t* p, std::size_t n) {
    return {p, p + n};
}

TEST_F(ChannelTable, ShowsHeadersAndCreatesChannelOneInTheHomeBand) {
    EXPECT_EQ(Cell(0, V::kColRx), "Rx Freq");
    EXPECT_EQ(Cell(0, V::kColName), "Name");
    EXPECT_EQ(Cell(800, V::kColCh), "800");
    EXPECT_EQ(view->grid().ColWidth(V::kColPolarity), 1400);
    // Channel 1 was empty: showing it created it at the default home band's lower limit.
    EXPECT_EQ(Cell(1, V::kColRx), "134.00000");
    EXPECT_EQ(Rec(1).Rx(), 13'400'000u);
    EXPECT_EQ(Cell(2, V::kColRx), "");
    EXPECT_EQ(Cell(2, V::kColPower), "");
}

struct FrequencyCase {
    const char* typed;
    const char* shown;
};

TEST_F(ChannelTable, TypedFrequenciesFollowBandAndRaster) {
    const FrequencyCase cases[] = {
        {"145.0125", "145.01250"},  // on the 2.5 kHz raster
        {"118.008", "118.00833"},   // the 8.33 kHz channel of its hundreds
        {"118.0123", "118.01000"},  // 605 is not below 230: down to 5 kHz
        {"145.0065", "145.00625"},  // remainders 25 (6.25 kHz) and 150 (5 kHz)
        {"146.0037", "146.00000"}, {"851.0123", "851.01000"},  // band 8: down to 5 kHz
        {"851.0125", "851.01250"},  // band 8: a multiple of 12.5 kHz stays
        {"600", "26.00000"},        // no band: the first defined band's lower limit
        {"99999999", "26.00000"},   // too large for any band, not nothing
    };
    int row = 10;
    for (const auto& c : cases) {
        EXPECT_EQ(view->TypeIntoCell(row, V::kColRx, c.typed), V::kColRx);
        EXPECT_EQ(Cell(row, V::kColRx), c.shown) << c.typed;
        // A new channel is written at once, with Tx = Rx.
        EXPECT_EQ(FormatMHz(Rec(row).Rx()), c.shown) << c.typed;
        EXPECT_EQ(Cell(row, V::kColTx), c.shown) << c.typed;
        ++row;
    }
}

TEST_F(ChannelTable, NewChannelIsTheDefaultRecord) {
    view->TypeIntoCell(7, V::kColRx, "145.0125");
    const std::uint8_t* p = Bytes(7);
    EXPECT_EQ(Take(p, 24),
              (std::vector<std::uint8_t>{0x50, 0x12, 0x50, 0x14, 0x50, 0x12, 0x50, 0x14,
                                         0x00, 0x10, 0x23, 0x00, 0xC0, 0x08, 0x06, 0x00,
                                         0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(Cell(7, V::kColCtcss), "100.0");
    EXPECT_EQ(Cell(7, V::kColDcs), "023");
    EXPECT_EQ(Cell(7, V::kColPower), "High");
}

TEST_F(ChannelTable, EmptyingRxClearsOtherChannelsButNeverChannelOne) {
    view->TypeIntoCell(1, V::kColRx, "");
    EXPECT_EQ(Cell(1, V::kColRx), "134.00000");
    view->TypeIntoCell(5, V::kColRx, "446");
    view->TypeIntoCell(5, V::kColName, "x");
    view->TypeIntoCell(5, V::kColRx, "");
    for (int c = V::kColRx; c < V::kColumnCount; ++c) EXPECT_EQ(Cell(5, c), "") << c;
    // Cleared at once with the default record (600 kHz) ...
    EXPECT_TRUE(Rec(5).IsEmpty());
    EXPECT_EQ(Rec(5).Offset(), 60000u);
    // ... and stored as the table's cleared record (7.6 MHz).
    view->StoreToImage();
    EXPECT_TRUE(Rec(5).IsEmpty());
    EXPECT_EQ(Rec(5).Offset(), 760000u);
}

TEST_F(ChannelTable, RxThatIsNotDigitsIsAnEmptyChannelAndStaysOneAfterStores) {
    // Damaged memory: every byte 0xA0 but one, so Rx decodes with a "digit" of 10. It has no
    // frequency the table could store back: shown and stored empty, a second store is the
    // first (channel 1 is made again instead).
    for (int n : {1, 379}) {
        image.fill(0xFF);
        testing::ProgramBands(image, {1, 2, 3, 4, 5, 6, 7, 8, 9});
        std::uint8_t* p = image.data() + ChannelOffset(n);
        std::fill(p, p + kChannelRecordSize, std::uint8_t{0xA0});
        p[2] = 0x24;
        Refresh();
        if (n == 1)
            EXPECT_EQ(Cell(1, V::kColRx), "134.00000");
        else
            EXPECT_EQ(Cell(n, V::kColRx), "") << n;
        view->StoreToImage();
        const std::vector<std::uint8_t> once = Take(Bytes(n), kChannelRecordSize);
        Refresh();
        view->StoreToImage();
        EXPECT_EQ(Take(Bytes(n), kChannelRecordSize), once) << n;
    }
}

TEST_F(ChannelTable, ChannelOneStaysInAHomeBand) {
    view->TypeIntoCell(1, V::kColRx, "145.5");
    EXPECT_EQ(Cell(1, V::kColRx), "145.50000");
    view->TypeIntoCell(1, V::kColRx, "600");  // 26 MHz after the band rule: no home band
    EXPECT_EQ(Cell(1, V::kColRx), "145.50000");
    view->TypeIntoCell(1, V::kColTx, "50");
    EXPECT_EQ(Cell(1, V::kColTx), "134.00000");  // old Tx 134 lies in a home band
    // An old value outside the home bands gives the default home band's lower limit.
    view->StoreToImage();
    Rec(1).SetRx(2'600'000);
    view->LoadFromImage();
    view->TypeIntoCell(1, V::kColRx, "30");
    EXPECT_EQ(Cell(1, V::kColRx), "134.00000");
}

TEST_F(ChannelTable, ChannelOneIsRecreatedByOneRule) {
    // Showing row 1 and NormalizeImage give channel 1 the same bytes, also when the enable
    // flags the table is handed are those of another image (the command line's tables before
    // the first load): band 4 programmed gives 134 MHz with the default 600 kHz offset.
    struct Case {
        const char* what;
        std::initializer_list<int> programmed;
        std::uint32_t rx;
    };
    const Case cases[] = {{"band 4", {1, 5, 8}, 13'400'000},
                          {"band 7 only", {1, 8}, 40'000'000},
                          {"no home band", {1, 2}, 40'000'000}};
    for (const Case& c : cases) {
        image.fill(0xFF);
        testing::ProgramBands(image, c.programmed);
        RecomputeBandTables(bands, image);
        RadioImage normalized = image;
        BandTables fresh = bands;
        RecomputeBandEnabledFromImage(fresh, normalized);
        NormalizeImage(normalized, fresh);

        bands.BandEnabled = BandTables::Initial().BandEnabled;  // stale: band 4 not enabled
        view = std::make_unique<CProgramView>(image, bands);
        view->OnInitialUpdate();
        EXPECT_EQ(Rec(1).Rx(), c.rx) << c.what;
        EXPECT_EQ(Take(Bytes(1), kChannelRecordSize),
                  Take(normalized.data() + ChannelOffset(1), kChannelRecordSize))
            << c.what;
        EXPECT_EQ(Take(normalized.data() + ChannelOffset(kChannelsPerBank + 1), 4),
                  Take(Bytes(1), 4))
            << c.what;
    }
}

TEST_F(ChannelTable, TxCellRules) {
    view->TypeIntoCell(3, V::kColRx, "145");
    view->TypeIntoCell(3, V::kColTx, "145.6");
    EXPECT_EQ(Cell(3, V::kColTx), "145.60000");
    view->TypeIntoCell(3, V::kColTx, "");  // an empty text leaves Tx as it was
    EXPECT_EQ(Cell(3, V::kColTx), "145.60000");
    // On an empty channel every cell opens the Rx editor.
    EXPECT_EQ(view->TypeIntoCell(4, V::kColTx, "146"), V::kColRx);
    EXPECT_EQ(Cell(4, V::kColRx), "146.00000");
}

TEST_F(ChannelTable, ToneAndCodeEditorsNormalise) {
    view->TypeIntoCell(2, V::kColRx, "145");
    const std::pair<const char*, const char*> ctcss[] = {
        {"88.5", "88.5"}, {"59.9", "100.0"}, {"260.1", "100.0"}, {"260", "260.0"}, {"", "100.0"}};
    for (auto [typed, shown] : ctcss) {
        view->TypeIntoCell(2, V::kColCtcss, typed);
        EXPECT_EQ(Cell(2, V::kColCtcss), shown) << typed;
    }
    const std::pair<const char*, const char*> dcs[] = {
        {"778", "023"}, {"7", "007"}, {"754", "754"}};
    for (auto [typed, shown] : dcs) {
        view->TypeIntoCell(2, V::kColDcs, typed);
        EXPECT_EQ(Cell(2, V::kColDcs), shown) << typed;
    }
    view->TypeIntoCell(2, V::kColCtcss, "88.5");
    view->StoreToImage();
    EXPECT_EQ(Take(Bytes(2) + 8, 4), (std::vector<std::uint8_t>{0x85, 0x08, 0x54, 0x07}));
}

// Tone and code bytes as loaded: BCD values show as stored and store back unchanged; bytes that
// are not BCD (erased FF FF, stray nibbles) show and store as the defaults, never as other values.
TEST_F(ChannelTable, ToneAndCodeBytesThatAreNotBcdShowAndStoreAsTheDefaults) {
    struct Case {
        std::uint8_t tone[2], code[2];
        const char* ctcss;
        const char* dcs;
        std::uint8_t stored[4];  // bytes 0x08-0x0B after a store
    };
    const Case cases[] = {
        {{0x85, 0x08}, {0x54, 0x07}, "88.5", "754", {0x85, 0x08, 0x54, 0x07}},
        {{0x00, 0x00}, {0x00, 0x00}, "0.0", "000", {0x00, 0x00, 0x00, 0x00}},
        {{0x99, 0x99}, {0x99, 0x99}, "999.9", "9999", {0x99, 0x99, 0x99, 0x99}},
        {{0xFF, 0xFF}, {0xFF, 0xFF}, "100.0", "023", {0x00, 0x10, 0x23, 0x00}},
        {{0x0A, 0x10}, {0x23, 0xF0}, "100.0", "023", {0x00, 0x10, 0x23, 0x00}},
    };
    for (const Case& c : cases) {
        InitChannelRecord(image, 9, 14'500'000, bands);
        std::uint8_t* p = image.data() + ChannelOffset(9);
        std::copy_n(c.tone, 2, p + ChannelRecord::kCtcss);
        std::copy_n(c.code, 2, p + ChannelRecord::kDcs);
        view->LoadFromImage();
        EXPECT_EQ(Cell(9, V::kColCtcss), c.ctcss) << c.ctcss;
        EXPECT_EQ(Cell(9, V::kColDcs), c.dcs) << c.dcs;
        view->StoreToImage();
        EXPECT_EQ(Take(Bytes(9) + 8, 4), Take(c.stored, 4)) << c.ctcss << " " << c.dcs;
        view->LoadFromImage();  // and the next load shows the same
        EXPECT_EQ(Cell(9, V::kColCtcss), c.ctcss);
        EXPECT_EQ(Cell(9, V::kColDcs), c.dcs);
    }
}

// Tx bytes as loaded: digits show and store back unchanged; bytes that are not BCD digits
// (damaged memory) are no Tx, as an erased one is, and a second load and store keep the result.
// A top nibble of 10 once showed as "1006.06060" and stored the low eight digits, a Tx that the
// next load took as absent.
TEST_F(ChannelTable, TxBytesThatAreNotBcdAreNoTx) {
    struct Case {
        std::uint8_t tx[4];
        const char* shown;
        std::uint8_t stored[4];
    };
    const Case cases[] = {
        {{0x00, 0x00, 0x60, 0x14}, "146.00000", {0x00, 0x00, 0x60, 0x14}},
        {{0xFF, 0xFF, 0xFF, 0xFF}, "", {0xFF, 0xFF, 0xFF, 0xFF}},
        {{0x60, 0x60, 0x60, 0x00}, "", {0xFF, 0xFF, 0xFF, 0xFF}},
        {{0x60, 0x60, 0x60, 0xA0}, "", {0xFF, 0xFF, 0xFF, 0xFF}},
        {{0x0A, 0x00, 0x60, 0x14}, "", {0xFF, 0xFF, 0xFF, 0xFF}},
        {{0x00, 0x00, 0xF0, 0x14}, "", {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        InitChannelRecord(image, 9, 14'500'000, bands);
        std::copy_n(c.tx, 4, image.data() + ChannelOffset(9) + ChannelRecord::kTx);
        view->LoadFromImage();
        EXPECT_EQ(Cell(9, V::kColTx), c.shown) << c.shown;
        view->StoreToImage();
        const auto once = Take(Bytes(9), 32);
        EXPECT_EQ(Take(Bytes(9) + ChannelRecord::kTx, 4), Take(c.stored, 4)) << c.shown;
        view->LoadFromImage();
        view->StoreToImage();
        EXPECT_EQ(Take(Bytes(9), 32), once) << c.shown;
    }
}

TEST_F(ChannelTable, ListAndNameCellsAreStoredIntoTheirFields) {
    view->TypeIntoCell(300, V::kColRx, "145");
    view->TypeIntoCell(300, V::kColScan, "Priority");
    view->TypeIntoCell(300, V::kColPower, "Low");
    view->TypeIntoCell(300, V::kColPolarity, "Invert");
    view->TypeIntoCell(300, V::kColBandwidth, "n");  // keyboard search: "Narrow"
    view->TypeIntoCell(300, V::kColDecode, "Dcs");
    view->TypeIntoCell(300, V::kColSignal, "zzz");  // no entry: the selection stays "Off"
    view->TypeIntoCell(300, V::kColName, "ab+1x?yz");
    EXPECT_EQ(Cell(300, V::kColBandwidth), "Narrow");
    EXPECT_EQ(Cell(300, V::kColSignal), "Off");
    EXPECT_EQ(Cell(300, V::kColName), "AB+1XY");
    view->StoreToImage();
    ConstChannelRecord r = ChannelAt(std::as_const(image), 300);
    EXPECT_EQ(r.Scan(), 2);
    EXPECT_EQ(r.TxPower(), 0);
    EXPECT_EQ(r.DcsPolarity(), 3);
    EXPECT_EQ(r.Bandwidth(), 2);
    EXPECT_EQ(r.DecodeType(), 3);
    EXPECT_EQ(r.Name(), "AB+1XY");
    // Channel 300 with scan "Priority" is bit 3 of byte 37 in the three bank A bitmaps.
    for (std::uint32_t base : {0xCC80u, 0xCD00u, 0xCD80u})
        EXPECT_EQ(image[base + 37], 0x08) << base;

    view->TypeIntoCell(300, V::kColName, "XY");
    view->StoreToImage();
    EXPECT_EQ(Take(Bytes(300) + 0x18, 6),
              (std::vector<std::uint8_t>{'X', 'Y', 0xFF, 0xFF, 0xFF, 0xFF}));
}

struct DirectionCase {
    std::uint32_t tx;
    OffsetDirection stored;
    OffsetDirection expected;
};

TEST_F(ChannelTable, StoreDerivesTheOffsetDirection) {
    const DirectionCase cases[] = {
        {14'560'000, OffsetDirection::Plus, OffsetDirection::Plus},
        {14'440'000, OffsetDirection::Minus, OffsetDirection::Minus},
        {14'440'000, OffsetDirection::Plus, OffsetDirection::Split},
        {14'600'000, OffsetDirection::Plus, OffsetDirection::Split},
        {14'500'000, OffsetDirection::Plus, OffsetDirection::Simplex},
        {14'500'000, OffsetDirection::Split, OffsetDirection::Simplex},
    };
    int n = 20;
    for (const auto& c : cases) {
        InitChannelRecord(image, n, 14'500'000, bands);
        Rec(n).SetTx(c.tx);
        Rec(n).SetDirection(c.stored);
        ++n;
    }
    view->LoadFromImage();
    view->StoreToImage();
    n = 20;
    for (const auto& c : cases) EXPECT_EQ(Rec(n++).Direction(), c.expected) << n - 1;
}

struct SquelchCase {
    int sql;
    int decode;  // bits 2-0 of 0x0F
    int signal;
    int expected;
};

TEST_F(ChannelTable, StoreKeepsTheSquelchModeConsistentAndBandEightSteps) {
    const SquelchCase cases[] = {
        {1, 1, 0, 0}, {1, 2, 0, 1}, {2, 3, 0, 0}, {2, 0, 1, 2}, {3, 1, 3, 0},
        {3, 2, 0, 0}, {4, 3, 2, 4}, {5, 0, 0, 5}, {0, 0, 0, 0},
    };
    int n = 40;
    for (const auto& c : cases) {
        InitChannelRecord(image, n, 14'500'000, bands);
        Rec(n).SetSqlMode(c.sql);
        Rec(n).SetDecodeType(c.decode);
        Rec(n).SetOptSignal(c.signal);
        Rec(n).SetTxStop(1);
        ++n;
    }
    const std::pair<int, int> steps[] = {{0, 6}, {2, 6}, {3, 7}, {1, 1}, {6, 6}};
    int m = 60;
    for (auto [step, expected] : steps) {
        InitChannelRecord(image, m, 85'000'000, bands);
        Rec(m++).SetStep(step);
    }
    InitChannelRecord(image, m, 14'500'000, bands);  // outside band 8 the step stays
    Rec(m).SetStep(2);

    view->LoadFromImage();
    view->StoreToImage();
    n = 40;
    for (const auto& c : cases) {
        EXPECT_EQ(Rec(n).SqlMode(), c.expected) << n;
        EXPECT_EQ(Rec(n).TxStop(), 0) << n;
        ++n;
    }
    m = 60;
    for (auto [step, expected] : steps) EXPECT_EQ(Rec(m++).Step(), expected) << step;
    EXPECT_EQ(Rec(m).Step(), 2);
}

TEST_F(ChannelTable, ACellEditorTakesOnePointAndADoubleClickSelectsItsWholeText) {
    Form& f = view->form();
    view->TypeIntoCell(2, V::kColRx, "146");
    view->grid().ClickCell(2, V::kColRx);
    ASSERT_EQ(view->OpenEditor(), V::kIdFreqEdit);
    EXPECT_TRUE(f.At(V::kIdFreqEdit).all_selected);  // opened with its whole text selected
    f.TypeText(V::kIdFreqEdit, "2");
    // The second click of a double-click selects it all again: typing replaces every digit.
    EXPECT_TRUE(f.DoubleClick(V::kIdFreqEdit));
    f.TypeText(V::kIdFreqEdit, "145.5.");
    EXPECT_EQ(f.Text(V::kIdFreqEdit), "145.5");
    f.Focus(V::kIdGrid);
    EXPECT_EQ(Cell(2, V::kColRx), "145.50000");
    // The CTCSS combo is a decimal number too.
    view->TypeIntoCell(2, V::kColCtcss, "88.5.");
    EXPECT_EQ(Cell(2, V::kColCtcss), "88.5");
}

TEST_F(ChannelTable, KeysMoveThroughTheTable) {
    Grid& g = view->grid();
    Form& f = view->form();
    view->TypeIntoCell(2, V::kColRx, "145");
    // Enter opens the editor; Enter in a frequency edit with text moves right.
    g.SetRow(2);
    g.SetCol(V::kColRx);
    f.Focus(V::kIdGrid);
    g.KeyDown(Key::Enter);
    ASSERT_EQ(view->OpenEditor(), V::kIdFreqEdit);
    f.Press(V::kIdFreqEdit, Key::Enter);
    EXPECT_EQ(view->OpenEditor(), 0);
    EXPECT_EQ(g.Col(), V::kColTx);
    // An emptied frequency edit moves down instead.
    g.KeyDown(Key::Enter);
    f.Type(V::kIdFreqEdit, '\b');
    f.Press(V::kIdFreqEdit, Key::Enter);
    EXPECT_EQ(g.Row(), 3);
    EXPECT_EQ(Cell(2, V::kColTx), "145.00000");
    // Right in the last column wraps to the next row; Left in column 1 to the previous one.
    g.SetCol(V::kColName);
    g.KeyDown(Key::Right);
    EXPECT_EQ(std::make_pair(g.Row(), g.Col()), std::make_pair(4, 1));
    g.KeyDown(Key::Left);
    EXPECT_EQ(std::make_pair(g.Row(), g.Col()), std::make_pair(3, int{V::kColName}));
    // The channel-number column switches the highlight on, a data cell off.
    g.ClickCell(3, V::kColCh);
    EXPECT_TRUE(g.HighLight());
    EXPECT_EQ(view->OpenEditor(), 0);
    g.ClickCell(2, V::kColPower);
    EXPECT_FALSE(g.HighLight());
    EXPECT_EQ(view->OpenEditor(), V::kIdListCombo);
    EXPECT_EQ(f.At(V::kIdListCombo).entries.size(), 4u);
    EXPECT_EQ(f.SelectedText(V::kIdListCombo), "High");
    EXPECT_EQ(f.At(V::kIdListCombo).anchor, V::kIdGrid);
    // Scrolling commits and hides the editor.
    f.Choose(V::kIdListCombo, 1);
    g.Scroll(100);
    EXPECT_EQ(view->OpenEditor(), 0);
    EXPECT_EQ(Cell(2, V::kColPower), "Middle 2");
}

TEST_F(ChannelTable, LoadAndStoreOfAStoredTableChangeNothing) {
    for (int n = 1; n <= 800; n += 7) {
        view->TypeIntoCell(n, V::kColRx, n % 2 ? "145.0125" : "446.00625");
        view->TypeIntoCell(n, V::kColTx, "146.5");
        view->TypeIntoCell(n, V::kColName, "CH" + std::to_string(n));
        view->TypeIntoCell(n, V::kColScan, n % 3 ? "Skip" : "Priority");
    }
    view->StoreToImage();
    const RadioImage first = image;
    Refresh();
    view->StoreToImage();
    EXPECT_TRUE(first == image);
}

TEST(ChannelTableBeforeItIsBuilt, StoresNothing) {
    RadioImage image;
    image.fill(0xFF);
    BandTables bands = BandTables::Initial();
    InitChannelRecord(image, 5, 14'500'000, bands);
    const RadioImage before = image;
    CProgramView view(image, bands);
    view.StoreToImage();
    EXPECT_TRUE(before == image);
}

TEST(Raster, SnapFrequencyAndTheBandRaster) {
    const std::pair<std::uint32_t, std::uint32_t> snap[] = {
        {14'501'250, 14'501'250}, {14'500'625, 14'500'625}, {11'801'230, 11'801'000},
        {14'600'370, 14'600'000}, {14'500'640, 14'500'625}, {14'500'001, 14'500'000}};
    for (auto [in, out] : snap) {
        std::uint32_t f = in;
        SnapFrequency(f);
        EXPECT_EQ(f, out) << in;
    }
    EXPECT_EQ(ApplyBandRaster(11'809'100, 3), 11'809'166u);
    EXPECT_EQ(ApplyBandRaster(86'000'370, 8), 86'000'000u);
    EXPECT_EQ(ApplyBandRaster(86'001'250, 8), 86'001'250u);
}

}  // namespace
}  // namespace vm
