#include "app/editors/channels/channel_edit_dlg.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/app/editors/channels/channel_editor_fixture.h"

namespace vm {
namespace {

using vm::testing::Choose;
using vm::testing::TypeInto;

using testing::P;
using D = CChannelEditDlg;

struct ChannelEdit : testing::ChannelEditorTest {
    std::unique_ptr<CChannelEditDlg> dlg;
    int closes = 0;

    void Open(int n) {
        const ConstChannelRecord r = ChannelAt(std::as_const(image), n);
        dlg = std::make_unique<CChannelEditDlg>(image, bands, n,
                                                r.IsEmpty() ? std::string() : FormatMHz(r.Rx()));
        dlg->close_window = [this] { ++closes; };
        dlg->OnInitialUpdate();
    }
    void Close() {  // destruction stores
        dlg->Destroy();
        dlg.reset();
    }
    Form& form() { return dlg->form(); }
    std::string Text(int id) { return form().Text(id); }
    std::string Selected(int id) { return form().SelectedText(id); }
    void Type(int id, std::string_view text) { TypeInto(form(), id, text); }
    void Pick(int id, std::string_view text) { Choose(form(), id, text); }
    void Create(int n, std::uint32_t f) { InitChannelRecord(image, n, f, bands); }
    std::vector<std::uint8_t> Record(int n) { return Bytes(ChannelOffset(n)); }
};

TEST_F(ChannelEdit, TypingIntoAnEmptyChannelCreatesItAtOnce) {
    Open(20);
    EXPECT_EQ(Text(P::kIdRx), "");
    EXPECT_FALSE(form().At(P::kIdTx).enabled);
    EXPECT_FALSE(form().At(P::kIdTxPower).enabled);
    EXPECT_EQ(form().Selection(P::kIdTxPower), -1);
    EXPECT_TRUE(form().At(D::kIdChannel).enabled);

    Type(P::kIdRx, "145.5");
    // Written before anything is stored.
    const RadioImage created = image;
    InitChannelRecord(image, 20, 14'550'000, bands);
    EXPECT_EQ(created, image);
    EXPECT_EQ(Text(P::kIdRx), "145.50000");
    EXPECT_EQ(Text(P::kIdTx), "145.50000");
    EXPECT_EQ(Text(P::kIdCtcss), "100.0");
    EXPECT_EQ(Text(P::kIdDcs), "023");
    EXPECT_EQ(Selected(P::kIdTxPower), "High");
    EXPECT_EQ(Selected(P::kIdStep), "12.5");
    EXPECT_EQ(Text(P::kIdOffset), "0.60000");
    EXPECT_TRUE(form().Checked(P::kIdEmphasis));
    EXPECT_TRUE(form().At(P::kIdTxPower).enabled);
    EXPECT_EQ(dlg->remembered_rx(), "145.50000");
    Close();
    EXPECT_EQ(created, image);  // storing the untouched new channel changes nothing
}

struct RxCase {
    const char* typed;
    const char* shown;
};

TEST_F(ChannelEdit, RxOfAnExistingChannelFollowsBandAndRaster) {
    Create(20, 14'500'000);
    Open(20);
    const RxCase cases[] = {
        {"145.0125", "145.01250"},                         // on the 2.5 kHz raster
        {"118.008", "118.00833"},                          // the 8.33 kHz channel
        {"118.0123", "118.01000"},                         // 5 kHz
        {"851.0123", "851.01000"},                         // band 8: down to 5 kHz
        {"851.0125", "851.01250"},  {"600", "851.01250"},  // no band: the last accepted value
        {"1500", "851.01250"},                             // 1000 MHz or more lies in no band
        {"999999999", "851.01250"},                        // nine digits, far beyond any record
    };
    for (const auto& c : cases) {
        Type(P::kIdRx, c.typed);
        EXPECT_EQ(Text(P::kIdRx), c.shown) << c.typed;
        EXPECT_EQ(dlg->remembered_rx(), c.shown) << c.typed;
    }
    Close();
    EXPECT_EQ(ChannelAt(image, 20).Rx(), 85'101'250u);
}

TEST_F(ChannelEdit, OutOfBandValueOnANewChannelTakesTheFirstDefinedBand) {
    for (const char* typed : {"600", "1500"}) {
        Open(30);
        Type(P::kIdRx, typed);
        EXPECT_EQ(Text(P::kIdRx), "26.00000") << typed;
        Close();
        EXPECT_EQ(ChannelAt(image, 30).Rx(), 2'600'000u) << typed;
        InitChannelRecord(image, 30, 0, bands);
    }
}

TEST_F(ChannelEdit, WithoutAnyBandAValueTooLargeForTheRecordIsNeverStored) {
    UseBands({});
    ASSERT_EQ(FirstDefinedBand(bands), -1);
    Open(30);
    Type(P::kIdRx, "1500");  // would be stored as 500 MHz
    EXPECT_EQ(Text(P::kIdRx), "");
    EXPECT_FALSE(form().At(P::kIdTx).enabled);
    Type(P::kIdRx, "600");  // out of every band but storable: kept as typed
    EXPECT_EQ(Text(P::kIdRx), "600.00000");
    Type(P::kIdRx, "1500");
    EXPECT_EQ(Text(P::kIdRx), "600.00000");
    Close();
    EXPECT_EQ(ChannelAt(image, 30).Rx(), 60'000'000u);
}

TEST_F(ChannelEdit, ChannelOneStaysInAHomeBand) {
    Create(1, 14'550'000);
    Open(1);
    Type(P::kIdRx, "600");
    EXPECT_EQ(Text(P::kIdRx), "145.50000");
    Type(P::kIdRx, "");  // never emptied
    EXPECT_EQ(Text(P::kIdRx), "145.50000");
    Type(P::kIdRx, "446.0037");  // a home band: only the 2.5/6.25 kHz snap applies
    EXPECT_EQ(Text(P::kIdRx), "446.00000");
    Type(P::kIdRx, "118.008");  // band 3 is no home band: the remembered value
    EXPECT_EQ(Text(P::kIdRx), "446.00000");
    Close();

    // A remembered value outside the home bands gives the default home band's lower limit.
    ChannelAt(image, 1).SetRx(2'600'000);
    Open(1);
    Type(P::kIdRx, "30");
    EXPECT_EQ(Text(P::kIdRx), "134.00000");
    EXPECT_EQ(dlg->remembered_rx(), "134.00000");
}

TEST_F(ChannelEdit, ChannelOneWithoutAHomeBandKeepsItsLastValue) {
    UseBands({6});  // only "250M": neither home band is enabled
    Create(1, 22'500'000);
    Open(1);
    for (const char* typed : {"", "600", "145"}) {
        Type(P::kIdRx, typed);
        EXPECT_EQ(Text(P::kIdRx), "225.00000") << typed;
    }
    Close();
    EXPECT_FALSE(ChannelAt(image, 1).IsEmpty());
    EXPECT_EQ(ChannelAt(image, 1).Rx(), 22'500'000u);
}

TEST_F(ChannelEdit, TxFollowsItsBandAndCannotBeEmptied) {
    Create(20, 14'500'000);
    Open(20);
    const RxCase cases[] = {
        {"860.0037", "860.00000"},  // band 8
        {"146.0037", "146.00000"},  // 370 is not below 370: 5 kHz
        {"", "146.00000"},          // emptied: the last accepted Tx
        {"600", "146.00000"},       // no band: the last accepted Tx
        {"1500", "146.00000"},
    };
    for (const auto& c : cases) {
        Type(P::kIdTx, c.typed);
        EXPECT_EQ(Text(P::kIdTx), c.shown) << c.typed;
    }
    // A remembered Tx in no band gives way to the first defined band.
    Create(21, 14'500'000);
    ChannelAt(image, 21).ClearTx();
    Type(D::kIdChannel, "21");
    EXPECT_EQ(Text(P::kIdTx), "");
    Type(P::kIdTx, "");  // a Tx that was empty stays empty
    EXPECT_EQ(Text(P::kIdTx), "");
    Type(P::kIdTx, "600");
    EXPECT_EQ(Text(P::kIdTx), "26.00000");
}

TEST_F(ChannelEdit, ChannelOneTxStaysInAHomeBand) {
    Create(1, 14'550'000);
    Open(1);
    Type(P::kIdTx, "446.0037");
    EXPECT_EQ(Text(P::kIdTx), "446.00000");
    Type(P::kIdTx, "600");
    EXPECT_EQ(Text(P::kIdTx), "446.00000");
    Type(P::kIdTx, "");
    EXPECT_EQ(Text(P::kIdTx), "446.00000");
    Close();
    ChannelAt(image, 1).SetTx(2'600'000);
    Open(1);
    Type(P::kIdTx, "30");
    EXPECT_EQ(Text(P::kIdTx), "134.00000");
}

TEST_F(ChannelEdit, OffsetToneAndCodeAreNormalised) {
    Create(20, 14'500'000);
    Open(20);
    const RxCase offsets[] = {
        {"60", "7.60000"}, {"50", "50.00000"}, {"0.6037", "0.60000"}, {"", "0.00000"}};
    for (const auto& c : offsets) {
        form().SetText(P::kIdOffset, c.typed);  // hidden: set as the dialog would hold it
        dlg->panel().NormaliseOffset();
        EXPECT_EQ(Text(P::kIdOffset), c.shown) << c.typed;
    }
    const RxCase ctcss[] = {
        {"88.5", "88.5"}, {"59.9", "100.0"}, {"260.1", "100.0"}, {"260", "260.0"}, {"", "100.0"}};
    for (const auto& c : ctcss) {
        Type(P::kIdCtcss, c.typed);
        EXPECT_EQ(Text(P::kIdCtcss), c.shown) << c.typed;
    }
    const RxCase dcs[] = {{"778", "023"}, {"7", "007"}, {"", "023"}, {"754", "754"}};
    for (const auto& c : dcs) {
        Type(P::kIdDcs, c.typed);
        EXPECT_EQ(Text(P::kIdDcs), c.shown) << c.typed;
    }
    Type(P::kIdCtcss, "88.5");
    Close();
    EXPECT_EQ(Bytes(ChannelOffset(20) + 8, 4), (std::vector<std::uint8_t>{0x85, 0x08, 0x54, 0x07}));
}

TEST_F(ChannelEdit, LoadReadsTheStoredBytesAndStoreWritesThemBack) {
    Create(20, 14'500'000);
    std::uint8_t* p = image.data() + ChannelOffset(20);
    const std::uint8_t fields[] = {0x41, 0x25, 0x54, 0x07,   // CTCSS 254.1, DCS 754
                                   0x7A, 0x9C, 0x9A, 0xB3,   // 0x0C .. 0x0F
                                   0x00, 0x00, 0x06, 0x00,   // offset 0.6 MHz
                                   0x50, 0x03, 0x12, 0x34};  // 0x14 .. 0x17
    std::copy(std::begin(fields), std::end(fields), p + 8);
    p[0x18] = 'A';
    p[0x19] = 'B';
    p[0x1E] = 0x56;
    p[0x1F] = 0x78;
    ChannelAt(image, 20).SetTx(14'560'000);
    Open(20);
    EXPECT_EQ(Text(P::kIdCtcss), "254.1");
    EXPECT_EQ(Text(P::kIdDcs), "754");
    EXPECT_EQ(Text(P::kIdTx), "145.60000");
    EXPECT_EQ(Text(P::kIdName), "AB");
    EXPECT_EQ(Selected(P::kIdTxPower), "Middle 2");  // 0x7A: 01 1 1 10 10
    EXPECT_TRUE(form().Checked(P::kIdBeatShift));
    EXPECT_TRUE(form().Checked(P::kIdReverseBackup));
    EXPECT_EQ(Selected(P::kIdDisplayType), "Frequency");  // 2 is no entry: the default
    EXPECT_EQ(Selected(P::kIdScan), "Priority");
    EXPECT_EQ(Selected(P::kIdBandwidth), "Narrow");  // 0x9C: 10 0 1 1 100
    EXPECT_TRUE(form().Checked(P::kIdCompander));
    EXPECT_TRUE(form().Checked(P::kIdEmphasis));
    EXPECT_FALSE(form().Checked(P::kIdScrambler));
    EXPECT_TRUE(form().Checked(P::kIdTalkAround));  // 0x9A: 10 0 1 1010
    EXPECT_FALSE(form().Checked(P::kIdReverse));
    EXPECT_EQ(Selected(P::kIdStep), "30");
    EXPECT_EQ(Selected(P::kIdPolarity), "Encode Invert");  // 0xB3: 10 11 0 011
    EXPECT_EQ(Selected(P::kIdBusyLock), "Off");            // 3 is no entry
    EXPECT_EQ(Selected(P::kIdDecode), "Dcs Codec");
    EXPECT_EQ(Selected(P::kIdOptSignal), "2 Tone");  // 0x50: 01 0 1 0000
    EXPECT_TRUE(form().Checked(P::kIdAm));
    EXPECT_EQ(Selected(P::kIdSignalDecode), "1");
    EXPECT_TRUE(form().At(P::kIdSignalDecode).enabled);
    EXPECT_EQ(Selected(P::kIdPttId), "PTTID 3");
    Close();
    const std::vector<std::uint8_t> r = Record(20);
    // What had an entry comes back as it was; display type and busy lock, which had none,
    // take their defaults.
    EXPECT_EQ(r[0x0C], 0x72);
    EXPECT_EQ(r[0x0D], 0x9C);
    EXPECT_EQ(r[0x0E], 0x9A);
    EXPECT_EQ(r[0x0F], 0x83);
    EXPECT_EQ(r[0x14], 0x50);
    EXPECT_EQ(r[0x15], 0x03);
    // Bytes 0x16-0x17 and 0x1E-0x1F are the radio's own.
    EXPECT_EQ(r[0x16], 0x12);
    EXPECT_EQ(r[0x17], 0x34);
    EXPECT_EQ(r[0x1E], 0x56);
    EXPECT_EQ(r[0x1F], 0x78);
    EXPECT_EQ(std::vector<std::uint8_t>(r.begin() + 0x18, r.begin() + 0x1E),
              (std::vector<std::uint8_t>{'A', 'B', 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(ChannelEdit, EditedFieldsReachTheirBits) {
    Create(20, 14'500'000);
    Open(20);
    Pick(P::kIdTxPower, "Low");
    Pick(P::kIdBandwidth, "Middle");
    Pick(P::kIdScan, "Skip");
    Pick(P::kIdDisplayType, "Name");
    Pick(P::kIdBusyLock, "2 Tone");
    Pick(P::kIdPolarity, "Invert");
    Pick(P::kIdDecode, "Ctcss Codec");
    Pick(P::kIdOptSignal, "2 Tone");
    Pick(P::kIdSignalDecode, "16");
    Pick(P::kIdPttId, "5 Tone");
    Pick(P::kIdSqlMode, "Signalling | Tone");
    form().Click(P::kIdScrambler);
    form().Click(P::kIdBeatShift);
    form().Click(P::kIdEmphasis);  // off
    form().Click(P::kIdReverse);
    Type(P::kIdName, "ab+1x?yz");
    EXPECT_EQ(Text(P::kIdName), "AB+1XY");
    Close();
    const std::vector<std::uint8_t> r = Record(20);
    EXPECT_EQ(r[0x0C], 0x25);  // 00 1 0 01 01
    EXPECT_EQ(r[0x0D], 0x64);  // 01 1 0 0 100
    EXPECT_EQ(r[0x0E], 0x26);  // simplex, reverse, 12.5
    EXPECT_EQ(r[0x0F], 0xE2);  // 11 10 0 010
    EXPECT_EQ(r[0x14], 0x4F);  // 01 0 0 1111
    EXPECT_EQ(r[0x15], 0x05);
    EXPECT_EQ(ChannelAt(image, 20).Name(), "AB+1XY");
}

TEST_F(ChannelEdit, DecodeTypeIsThreeBitsHereAndTwoInTheTable) {
    Create(20, 14'500'000);
    Create(21, 14'500'000);
    ChannelAt(image, 20).SetDecodeType(3);
    ChannelAt(image, 21).SetDecodeType(7);
    CProgramView table(image, bands);
    table.OnInitialUpdate();
    EXPECT_EQ(table.grid().Text(20, CProgramView::kColDecode), "Dcs Codec");
    EXPECT_EQ(table.grid().Text(21, CProgramView::kColDecode), "Dcs Codec");
    Open(20);
    EXPECT_EQ(Selected(P::kIdDecode), "Dcs Codec");
    Type(D::kIdChannel, "21");
    EXPECT_EQ(Selected(P::kIdDecode), "Off");  // 7 is no entry of the four
    Close();
    EXPECT_EQ(ChannelAt(image, 21).DecodeType(), 0);
}

struct SqlCase {
    const char* decode;
    const char* signal;
    std::vector<std::string> modes;
};

TEST_F(ChannelEdit, SqlModesFollowDecodeTypeAndSignalling) {
    Create(20, 14'500'000);
    Open(20);
    const std::vector<std::string> all(g_SqlModeList.begin(), g_SqlModeList.end());
    const SqlCase cases[] = {
        {"Off", "Off", {"Carrier"}},
        {"Ctcss Encode", "DTMF", {"Carrier", "Signaling"}},
        {"Ctcss Codec", "Off", {"Carrier", "Tone"}},
        {"Dcs Codec", "5 Tone", all},
    };
    for (const auto& c : cases) {
        Pick(P::kIdDecode, c.decode);
        Pick(P::kIdOptSignal, c.signal);
        EXPECT_EQ(form().At(P::kIdSqlMode).entries, c.modes) << c.decode << " " << c.signal;
    }
    Pick(P::kIdSqlMode, "Signaling & Tone");
    Pick(P::kIdOptSignal, "Off");  // not allowed any more: back to "Carrier"
    EXPECT_EQ(Selected(P::kIdSqlMode), "Carrier");
    Close();
    EXPECT_EQ(ChannelAt(image, 20).SqlMode(), 0);

    // A stored "Tone" on a channel without a decoder is shown and stored as "Carrier".
    ChannelAt(image, 20).SetSqlMode(1);
    ChannelAt(image, 20).SetDecodeType(0);
    Open(20);
    EXPECT_EQ(form().At(P::kIdSqlMode).entries, std::vector<std::string>{"Carrier"});
    EXPECT_EQ(Selected(P::kIdSqlMode), "Carrier");
    Close();
    EXPECT_EQ(ChannelAt(image, 20).SqlMode(), 0);
}

struct StepCase {
    std::uint32_t rx;
    int stored;
    const char* shown;
    int stored_back;
};

TEST_F(ChannelEdit, StepListsAndStepDefaults) {
    const StepCase cases[] = {
        {14'500'000, 0, "2.5", 0},
        {14'500'000, 12, "100", 12},
        {14'500'000, 13, "12.5", 6},  // past the list
        {14'500'000, 15, "12.5", 6},
        {85'100'000, 0, "12.5", 6},  // band 8 has no 2.5 kHz step: "12.5" by its text
        {85'100'000, 4, "12.5", 6},
        {85'100'000, 10, "30", 10},
    };
    for (const auto& c : cases) {
        Create(20, c.rx);
        ChannelAt(image, 20).SetStep(c.stored);
        Open(20);
        EXPECT_EQ(form().At(P::kIdStep).entries.size(), c.rx > 75'000'000 ? 9u : 13u);
        EXPECT_EQ(Selected(P::kIdStep), c.shown) << c.rx << " " << c.stored;
        Close();
        EXPECT_EQ(ChannelAt(image, 20).Step(), c.stored_back) << c.rx << " " << c.stored;
    }
    // Moving into band 8 keeps a step both lists have.
    Create(20, 14'500'000);
    ChannelAt(image, 20).SetStep(9);  // "25"
    Open(20);
    Type(P::kIdRx, "851");
    EXPECT_EQ(form().At(P::kIdStep).entries.size(), 9u);
    EXPECT_EQ(Selected(P::kIdStep), "25");
}

TEST_F(ChannelEdit, DependentControls) {
    Create(20, 14'500'000);
    std::uint8_t* p = image.data() + ChannelOffset(20);
    p[0x0E] |= 0x30;  // reverse and talk around: reverse wins
    Open(20);
    EXPECT_TRUE(form().Checked(P::kIdReverse));
    EXPECT_FALSE(form().Checked(P::kIdTalkAround));
    form().Click(P::kIdTalkAround);
    EXPECT_FALSE(form().Checked(P::kIdReverse));
    form().Click(P::kIdReverse);
    EXPECT_FALSE(form().Checked(P::kIdTalkAround));
    form().Click(P::kIdReverse);  // unchecking clears nothing else
    EXPECT_FALSE(form().Checked(P::kIdTalkAround));

    EXPECT_FALSE(form().At(P::kIdSignalDecode).enabled);
    Pick(P::kIdOptSignal, "2 Tone");
    EXPECT_TRUE(form().At(P::kIdSignalDecode).enabled);
    Pick(P::kIdOptSignal, "DTMF");
    EXPECT_FALSE(form().At(P::kIdSignalDecode).enabled);
    EXPECT_FALSE(form().At(P::kIdOffset).enabled);  // direction "Off"
    form().Choose(P::kIdOffsetDir, 2);
    EXPECT_TRUE(form().At(P::kIdOffset).enabled);
}

TEST_F(ChannelEdit, ChangingTheChannelStoresTheOneLeft) {
    Create(20, 14'500'000);
    Open(20);
    Type(P::kIdRx, "");  // disabled and cleared, stored when left
    EXPECT_FALSE(form().At(P::kIdCtcss).enabled);
    EXPECT_EQ(Text(P::kIdCtcss), "");
    EXPECT_FALSE(ChannelAt(image, 20).IsEmpty());
    Type(D::kIdChannel, "21");
    EXPECT_EQ(dlg->channel(), 21);
    RadioImage expected = image;
    InitChannelRecord(expected, 20, 0, bands);  // the empty default record, 600 kHz
    EXPECT_EQ(image, expected);
    EXPECT_EQ(ChannelAt(image, 20).Offset(), 60000u);

    struct Number {
        const char* typed;
        int channel;
        const char* shown;
    };
    const Number numbers[] = {
        {"0", 1, "1"}, {"900", 800, "800"}, {"", 1, "1"}, {"5", 5, "5"}, {"005", 5, "005"}};
    for (const auto& c : numbers) {
        Type(D::kIdChannel, c.typed);
        EXPECT_EQ(dlg->channel(), c.channel) << c.typed;
        EXPECT_EQ(Text(D::kIdChannel), c.shown) << c.typed;
    }
    // The command line's stepping goes the same way.
    form().Focus(P::kIdRx);
    form().SelectAll(P::kIdRx);
    form().TypeText(P::kIdRx, "145.5");  // channel 5 is new: created when Rx is left
    EXPECT_TRUE(dlg->GoToRecord(20));
    EXPECT_EQ(ChannelAt(image, 5).Rx(), 14'550'000u);
    EXPECT_EQ(Text(D::kIdChannel), "20");
    EXPECT_FALSE(dlg->GoToRecord(801));
    EXPECT_EQ(dlg->Record(), 20);
}

TEST_F(ChannelEdit, SpinStepsWrapAndStore) {
    Create(1, 14'500'000);
    Create(800, 44'600'000);
    Open(1);
    form().Focus(P::kIdRx);
    form().SelectAll(P::kIdRx);
    form().TypeText(P::kIdRx, "145.0037");  // still focused when the spin is pressed
    form().Spin(D::kIdChannelSpin, -1);
    EXPECT_EQ(dlg->channel(), 800);
    EXPECT_EQ(Text(D::kIdChannel), "800");
    EXPECT_EQ(Text(P::kIdRx), "446.00000");
    EXPECT_EQ(ChannelAt(image, 1).Rx(), 14'500'000u);  // checked before it was stored
    form().Spin(D::kIdChannelSpin, 1);
    EXPECT_EQ(dlg->channel(), 1);
    form().Spin(D::kIdChannelSpin, 1);
    EXPECT_EQ(dlg->channel(), 2);
    EXPECT_EQ(Text(P::kIdRx), "");
}

TEST_F(ChannelEdit, KeysAndFilters) {
    Create(20, 14'500'000);
    Open(20);
    form().Focus(P::kIdRx);
    form().SelectAll(P::kIdRx);
    form().TypeText(P::kIdRx, "14a6.0037");
    EXPECT_EQ(Text(P::kIdRx), "146.0037");
    EXPECT_TRUE(form().Press(P::kIdRx, Key::Enter));  // checks at once
    EXPECT_EQ(Text(P::kIdRx), "146.00000");
    EXPECT_EQ(closes, 0);
    for (int id : {int{P::kIdCtcss}, int{P::kIdTxPower}, D::kIdChannel, int{P::kIdName}}) {
        EXPECT_TRUE(form().Press(id, Key::Escape)) << id;  // ignored
        EXPECT_TRUE(form().Press(id, Key::Enter)) << id;
    }
    EXPECT_EQ(closes, 0);
    EXPECT_TRUE(form().Press(P::kIdRx, Key::Escape));
    EXPECT_EQ(closes, 1);

    form().Focus(P::kIdDcs);
    form().SelectAll(P::kIdDcs);
    form().TypeText(P::kIdDcs, "1.2a34");
    EXPECT_EQ(Text(P::kIdDcs), "123");
    form().Focus(P::kIdCtcss);
    form().SelectAll(P::kIdCtcss);
    form().TypeText(P::kIdCtcss, "8x8.5");
    EXPECT_EQ(Text(P::kIdCtcss), "88.5");
    form().Focus(D::kIdChannel);
    form().SelectAll(D::kIdChannel);
    form().TypeText(D::kIdChannel, "1x2345");
    EXPECT_EQ(Text(D::kIdChannel), "123");
}

TEST_F(ChannelEdit, ClosingWithAControlFocusedRunsItsCheckFirst) {
    struct Case {
        int id;
        const char* typed;
        std::uint32_t at;
        std::vector<std::uint8_t> stored;
    };
    const Case cases[] = {
        {P::kIdRx, "145.0037", 0x00, {0x00, 0x00, 0x50, 0x14}},  // snapped
        {P::kIdTx, "600", 0x04, {0x00, 0x00, 0x50, 0x14}},       // the last accepted Tx
        {P::kIdCtcss, "300", 0x08, {0x00, 0x10}},
        {P::kIdDcs, "999", 0x0A, {0x23, 0x00}},
    };
    for (const auto& c : cases) {
        Create(20, 14'500'000);
        Open(20);
        form().Focus(c.id);
        form().SelectAll(c.id);
        form().TypeText(c.id, c.typed);
        Close();
        EXPECT_EQ(Bytes(ChannelOffset(20) + c.at, c.stored.size()), c.stored) << c.typed;
    }
    // A new channel typed and closed at once gets its default record.
    Open(30);
    form().Focus(P::kIdRx);
    form().TypeText(P::kIdRx, "145.5");
    EXPECT_TRUE(form().Press(P::kIdRx, Key::Escape));
    Close();
    RadioImage expected = image;
    InitChannelRecord(expected, 30, 14'550'000, bands);
    EXPECT_EQ(image, expected);
}

TEST_F(ChannelEdit, AnAbsentOffsetBecomesZeroOnceVisited) {
    Create(20, 14'500'000);
    ChannelAt(image, 20).ClearOffset();
    Open(20);
    EXPECT_EQ(Text(P::kIdOffset), "0.00000");
    Close();
    EXPECT_EQ(Bytes(ChannelOffset(20) + 0x10, 4), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

}  // namespace
}  // namespace vm
