#include <gtest/gtest.h>

#include <memory>

#include "app/editors/channels/scan_ch_view.h"
#include "app/editors/channels/vfo_dlg.h"
#include "app/image/channel_regions.h"
#include "tests/app/editors/channels/channel_editor_fixture.h"

namespace vm {
namespace {

using vm::testing::TypeInto;

using testing::P;

// ---------------------------------------------------------------------------------------------
// VFO

struct Vfo : testing::ChannelEditorTest {
    std::unique_ptr<CVfoDlg> dlg;

    void Open() {
        dlg = std::make_unique<CVfoDlg>(image, bands);
        dlg->OnInitialUpdate();
    }
    void Close() {  // the close box
        EXPECT_TRUE(dlg->RequestClose());
        dlg.reset();
    }
    Form& form() { return dlg->form(); }
    std::string Text(int id) { return form().Text(id); }
    // Shows the tab captioned `caption`.
    void Show(std::string_view caption) {
        const auto& tabs = dlg->tabs();
        for (std::size_t i = 0; i < tabs.size(); ++i)
            if (tabs[i].caption == caption) return dlg->ChooseTab(static_cast<int>(i));
        FAIL() << "no tab " << caption;
    }
    ConstChannelRecord Record(int q) { return {image, VfoMap::RecordAddr(q)}; }
};

struct TabCase {
    std::initializer_list<int> bands;  // 1..9
    std::vector<std::string> captions;
    std::vector<int> records;
};

TEST_F(Vfo, TabsFollowTheEnabledBands) {
    const TabCase cases[] = {
        {{1, 2, 3, 4, 5, 6, 7, 8, 9},
         {"30M", "50M", "60M", "150M", "250M", "350M", "450M", "850M", "150M R", "250M R"},
         {0, 1, 2, 4, 5, 6, 7, 8, 9, 10}},
        {{4, 8}, {"450M", "450M R"}, {7, 10}},  // 108M never has a tab
        {{5}, {"150M", "150M R"}, {4, 9}},
        {{6, 8}, {"250M", "450M", "250M R"}, {5, 7, 10}},
    };
    for (const auto& c : cases) {
        UseBands(c.bands);
        std::vector<std::string> captions;
        std::vector<int> records;
        for (const auto& t : CVfoDlg::Tabs(bands)) {
            captions.push_back(t.caption);
            records.push_back(t.record);
        }
        EXPECT_EQ(captions, c.captions);
        EXPECT_EQ(records, c.records);
    }
}

TEST_F(Vfo, WithoutAnEnabledBandNothingIsLoadedOrStored) {
    UseBands({});
    const RadioImage before = image;
    Open();
    EXPECT_EQ(dlg->record(), -1);
    EXPECT_TRUE(form().At(CVfoDlg::kIdTab).entries.empty());
    EXPECT_FALSE(form().At(P::kIdRx).enabled);
    TypeInto(form(), P::kIdCtcss, "88.5");
    Close();
    EXPECT_EQ(image, before);
}

TEST_F(Vfo, RxStaysInTheTabsBandAndThe150MTabTakesTheAirBand) {
    Open();
    Show("150M");
    EXPECT_EQ(Text(P::kIdRx), "134.00000");  // an empty VFO shows its band's lower limit
    const std::pair<const char*, const char*> cases[] = {
        {"121.5", "121.50000"},    {"118.008", "118.00833"}, {"200", "134.00000"},
        {"145.0037", "145.00000"}, {"1500", "134.00000"},    {"", "134.00000"}};
    for (auto [typed, shown] : cases) {
        TypeInto(form(), P::kIdRx, typed);
        EXPECT_EQ(Text(P::kIdRx), shown) << typed;
    }
    TypeInto(form(), P::kIdRx, "121.5");
    Show("450M");
    EXPECT_EQ(Record(4).Rx(), 12'150'000u);
    TypeInto(form(), P::kIdRx, "121.5");  // only the 150M VFO tunes the air band
    EXPECT_EQ(Text(P::kIdRx), "400.00000");
    Close();
    // The air-band VFO survives the next save's normalisation; the mirror follows.
    NormalizeImage(image, bands);
    EXPECT_EQ(Record(4).Rx(), 12'150'000u);
    EXPECT_EQ(Bytes(VfoMap::kMirror + 32 * 4, 4), Bytes(VfoMap::RecordAddr(4), 4));
}

struct TxCase {
    const char* tab;
    const char* rx;
    int dir;  // 0 "Off", 1 "-", 2 "+"
    const char* offset;
    std::uint32_t tx;
    OffsetDirection stored;
};

TEST_F(Vfo, TxIsComputedFromTheDirection) {
    const TxCase cases[] = {
        {"450M", "446", 1, "5", 44'100'000, OffsetDirection::Minus},
        {"450M", "446", 2, "5", 45'100'000, OffsetDirection::Plus},
        {"450M", "510", 2, "5", 51'000'000, OffsetDirection::Simplex},  // 515 leaves band 7
        {"450M", "446", 1, "60", 43'840'000, OffsetDirection::Minus},   // 60 MHz: 7.6 MHz
        {"150M", "145", 0, "0.6", 14'500'000, OffsetDirection::Simplex},
        {"30M", "26", 1, "50", 2'600'000, OffsetDirection::Simplex},  // below 0 Hz
    };
    for (const auto& c : cases) {
        Open();
        Show(c.tab);
        TypeInto(form(), P::kIdRx, c.rx);
        form().Choose(P::kIdOffsetDir, c.dir);
        EXPECT_EQ(form().At(P::kIdOffset).enabled, c.dir != 0) << c.tab << c.rx;
        if (c.dir != 0) TypeInto(form(), P::kIdOffset, c.offset);
        const int q = dlg->record();
        Close();
        EXPECT_EQ(Record(q).Tx(), c.tx) << c.tab << " " << c.rx << " " << c.offset;
        EXPECT_EQ(Record(q).Direction(), c.stored) << c.tab << " " << c.rx << " " << c.offset;
    }
}

TEST_F(Vfo, SplitIsShownAndStoredAsOff) {
    InitChannelRecordAt(image, VfoMap::RecordAddr(7), 44'600'000, bands);
    ChannelRecord(image, VfoMap::RecordAddr(7)).SetDirection(OffsetDirection::Split);
    ChannelRecord(image, VfoMap::RecordAddr(7)).SetTx(44'000'000);
    Open();
    Show("450M");
    EXPECT_EQ(form().SelectedText(P::kIdOffsetDir), "Off");
    EXPECT_EQ(Text(P::kIdOffset), "7.60000");
    EXPECT_FALSE(form().At(P::kIdOffset).enabled);
    Close();
    EXPECT_EQ(Record(7).Direction(), OffsetDirection::Simplex);
    EXPECT_EQ(Record(7).Tx(), 44'600'000u);
}

TEST_F(Vfo, ChangingTabsStoresTheVfoLeftAndLoadsTheNext) {
    Open();
    Show("450M");
    TypeInto(form(), P::kIdRx, "446.0037");
    TypeInto(form(), P::kIdName, "ab");  // hidden, loaded and stored all the same
    form().Focus(P::kIdCtcss);
    form().SelectAll(P::kIdCtcss);
    form().TypeText(P::kIdCtcss, "300");  // still focused when the tab changes
    Show("850M");
    EXPECT_EQ(Record(7).Rx(), 44'600'000u);
    EXPECT_EQ(Record(7).Ctcss(), 1000);
    EXPECT_EQ(Text(P::kIdRx), "750.00000");
    Show("450M");
    EXPECT_EQ(Text(P::kIdRx), "446.00000");
    EXPECT_EQ(Text(P::kIdCtcss), "100.0");
    EXPECT_TRUE(form().Press(P::kIdRx, Key::Escape));  // ignored: no close
    EXPECT_TRUE(form().Press(P::kIdRx, Key::Enter));
}

// ---------------------------------------------------------------------------------------------
// Scan edges

struct ScanEdges : testing::ChannelEditorTest {
    std::unique_ptr<CScanChView> view;

    void SetUp() override {
        ChannelEditorTest::SetUp();
        view = std::make_unique<CScanChView>(image, bands);
        view->OnInitialUpdate();
    }
    Form& form() { return view->form(); }
    std::string Text(int id) { return form().Text(id); }
    ConstChannelRecord Record(int k) { return {image, ScanEdgeMap::RecordAddr(k)}; }
    void Edge(int k, std::uint32_t f) {
        InitChannelRecordAt(image, ScanEdgeMap::RecordAddr(k), f, bands);
    }
};

TEST_F(ScanEdges, TypingIntoAnEmptyEdgeWritesItsDefaultRecordAtOnce) {
    EXPECT_EQ(form().At(CScanChView::kIdTab).entries.size(), 10u);
    view->ChooseTab(4);  // "L3"
    EXPECT_EQ(form().SelectedText(CScanChView::kIdTab), "L3");
    EXPECT_FALSE(form().At(P::kIdTx).enabled);
    TypeInto(form(), P::kIdRx, "430.0");
    RadioImage expected = image;
    InitChannelRecordAt(expected, 0xC980, 43'000'000, bands);
    EXPECT_EQ(image, expected);
    EXPECT_EQ(Record(4).Offset(), 760'000u);
    EXPECT_EQ(Text(P::kIdTx), "430.00000");
    EXPECT_EQ(form().SelectedText(P::kIdTxPower), "High");
    EXPECT_EQ(form().SelectedText(P::kIdStep), "12.5");
    EXPECT_TRUE(form().At(P::kIdTx).enabled);
}

TEST_F(ScanEdges, AnEmptiedEdgeIsStoredAsTheDefaultRecordWithoutFrequency) {
    Edge(9, 44'600'000);
    view->ChooseTab(9);  // "U5"
    EXPECT_EQ(Text(P::kIdRx), "446.00000");
    TypeInto(form(), P::kIdRx, "");
    EXPECT_EQ(Text(P::kIdTx), "");
    EXPECT_FALSE(form().At(P::kIdCtcss).enabled);
    view->ChooseTab(0);
    RadioImage expected = image;
    InitChannelRecordAt(expected, ScanEdgeMap::RecordAddr(9), 0, bands);
    EXPECT_EQ(image, expected);
}

TEST_F(ScanEdges, OutOfBandValues) {
    // A new edge takes a value in no band as typed, but never one the record cannot hold.
    TypeInto(form(), P::kIdRx, "1500");
    EXPECT_EQ(Text(P::kIdRx), "");
    EXPECT_TRUE(Record(0).IsEmpty());
    TypeInto(form(), P::kIdRx, "600.0");
    EXPECT_EQ(Text(P::kIdRx), "600.00000");
    EXPECT_EQ(Record(0).Rx(), 60'000'000u);
    // An existing edge gets the last accepted value back.
    TypeInto(form(), P::kIdRx, "851.0125");
    for (const char* typed : {"600", "1500"}) {
        TypeInto(form(), P::kIdRx, typed);
        EXPECT_EQ(Text(P::kIdRx), "851.01250") << typed;
    }
    // Tx: the last accepted Tx; when that lies in no band either, the Rx frequency.
    TypeInto(form(), P::kIdTx, "146.0037");
    EXPECT_EQ(Text(P::kIdTx), "146.00000");
    TypeInto(form(), P::kIdTx, "600");
    EXPECT_EQ(Text(P::kIdTx), "146.00000");
    TypeInto(form(), P::kIdTx, "");
    EXPECT_EQ(Text(P::kIdTx), "146.00000");
    form().SetText(P::kIdTx, "600.00000");  // as loaded from a record in no band
    TypeInto(form(), P::kIdTx, "700");
    EXPECT_EQ(Text(P::kIdTx), "851.01250");
}

struct DirectionCase {
    std::uint32_t tx;  // 0: no Tx
    OffsetDirection stored;
    OffsetDirection expected;
};

TEST_F(ScanEdges, StoreKeepsTheOffsetAndTestsTheDirection) {
    const DirectionCase cases[] = {
        {14'500'000, OffsetDirection::Split, OffsetDirection::Split},
        {14'500'000, OffsetDirection::Plus, OffsetDirection::Simplex},
        {14'560'010, OffsetDirection::Plus, OffsetDirection::Plus},
        {14'439'990, OffsetDirection::Minus, OffsetDirection::Minus},
        {14'439'990, OffsetDirection::Plus, OffsetDirection::Split},
        {14'560'000, OffsetDirection::Simplex, OffsetDirection::Split},
        {0, OffsetDirection::Simplex, OffsetDirection::Split},
    };
    for (const auto& c : cases) {
        Edge(2, 14'500'000);
        ChannelRecord rec(image, ScanEdgeMap::RecordAddr(2));
        if (c.tx != 0)
            rec.SetTx(c.tx);
        else
            rec.ClearTx();
        rec.SetDirection(c.stored);
        rec.SetOffset(60'010);  // off every raster: the view leaves it alone
        view->ChooseTab(2);
        view->StoreToImage();
        EXPECT_EQ(Record(2).Direction(), c.expected) << c.tx;
        EXPECT_EQ(Bytes(ScanEdgeMap::RecordAddr(2) + 0x10, 4),
                  (std::vector<std::uint8_t>{0x10, 0x00, 0x06, 0x00}));
        view->ChooseTab(0);
    }
}

TEST_F(ScanEdges, TheFramesStoreChecksTheFocusedRxFirst) {
    form().Focus(P::kIdRx);
    form().SelectAll(P::kIdRx);
    form().TypeText(P::kIdRx, "145.0037");
    view->StoreToImage();
    RadioImage expected = image;
    InitChannelRecordAt(expected, ScanEdgeMap::RecordAddr(0), 14'500'000, bands);
    EXPECT_EQ(image, expected);
    EXPECT_EQ(Text(P::kIdRx), "145.00000");
}

TEST_F(ScanEdges, EnterAnywhereChecksTheRxAndBandEightStepsDefaultByText) {
    Edge(1, 85'100'000);
    ChannelRecord(image, ScanEdgeMap::RecordAddr(1)).SetStep(2);  // "6.25": not in band 8
    view->ChooseTab(1);
    EXPECT_EQ(form().SelectedText(P::kIdStep), "12.5");
    form().SetText(P::kIdRx, "851.0037");
    EXPECT_TRUE(form().Press(P::kIdName, Key::Enter));
    EXPECT_EQ(Text(P::kIdRx), "851.00000");
    view->StoreToImage();
    EXPECT_EQ(Record(1).Step(), 6);
    EXPECT_EQ(Record(1).Rx(), 85'100'000u);
}

}  // namespace
}  // namespace vm
