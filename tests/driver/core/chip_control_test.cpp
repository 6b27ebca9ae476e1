#include "driver/core/chip_control.h"

#include <gtest/gtest.h>

#include "tests/driver/core/rig.h"

namespace vm::drv::testing {
namespace {

using sim::WireRecord;

std::string LineCodingWire(const Rig& rig) {
    std::string text;
    for (const WireRecord& r : rig.chip.Log()) {
        if (r.kind == WireRecord::Kind::Control && r.request == 0x20) {
            char buf[64];
            const LineCoding c =
                LineCoding::Decode(std::span<const std::uint8_t, 7>(r.data.data(), 7));
            std::snprintf(buf, sizeof buf, "%s%08X/%u/%u/%u", text.empty() ? "" : " ", c.rate,
                          c.stopBits, c.parity, c.dataBits);
            text += buf;
        }
    }
    return text;
}

// --- Register initialisation --------------------------------------------------------------------

TEST(ChipInit, WritesTheThreeRegistersPerVariant) {
    struct Case {
        const DriverPolicy* policy;
        int variant;
        const char* reg2;
        bool shadow;
    };
    const Case cases[] = {
        {&kUsbser2kPolicy, 0, "0024", true},  {&kUsbser2kPolicy, 1, "0024", true},
        {&kUsbser2kPolicy, 2, "0044", true},  {&kUsbser2kPolicy, 4, "0044", true},
        {&kUsbser9xPolicy, 1, "0024", false}, {&kUsbser9xPolicy, 3, "0044", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.policy->name) + " variant " + std::to_string(c.variant));
        Rig rig(c.variant, *c.policy);
        rig.Configure();
        EXPECT_EQ(USB2SER_InitHW(*rig.dev), STATUS_SUCCESS);
        EXPECT_EQ(rig.Wire(),
                  (std::vector<std::string>{"40 01 0000 0001 0000", "40 01 0001 0000 0000",
                                            std::string("40 01 0002 ") + c.reg2 + " 0000"}));
        const std::uint8_t reg2 = c.variant >= 2 ? 0x44 : 0x24;
        EXPECT_EQ(rig.chip.Register(2), reg2);
        EXPECT_EQ(rig.dev->chip.shadow[2], c.shadow ? reg2 : 0);
    }
}

TEST(ChipInit, AFailedFirstWriteIsReportedEvenWhenTheLastSucceeds) {
    Rig rig(2);
    rig.Configure();
    rig.chip.StallWhen(
        [](const WireRecord& r) { return r.value == 0x0000 && r.requestType == 0x40; });
    EXPECT_EQ(USB2SER_InitHW(*rig.dev), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.Wire().size(), 3u);  // all three were still sent
}

TEST(ChipInit, ChipWithItsConfigurationInEepromIsNotInitialised) {
    for (bool marker : {false, true}) {
        SCOPED_TRACE(marker);
        Rig rig(3);
        rig.Configure();
        if (marker) rig.chip.SetEepromMarker(64);
        bool initialised = !marker;
        EXPECT_EQ(InitializeChip(*rig.dev, &initialised), STATUS_SUCCESS);
        EXPECT_EQ(initialised, !marker);
        int registerWrites = 0;
        for (const std::string& line : rig.Wire()) {
            if (line.rfind("40 01 000", 0) == 0) ++registerWrites;
        }
        EXPECT_EQ(registerWrites, marker ? 0 : 3);
        EXPECT_EQ(rig.chip.Register(2), marker ? 0x00 : 0x44);
    }
}

// --- Snapping -----------------------------------------------------------------------------------

std::uint32_t Snap(std::uint32_t rate) {
    int index = -1;
    USB2SER_FindAvailBaudRate(rate, index);
    EXPECT_EQ(kRateTable[static_cast<std::size_t>(index)].rate, rate);
    return rate;
}

TEST(RateSnapping, KnownCases) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {9600, 9600},       {100000, 115200},      {300000, 268800}, {87, 75}, {4000000, 3000000},
        {7000000, 6000000}, {0xFFFFFFFF, 6000000}, {1, 0},           {36, 0},  {0, 0},
        {115200, 115200},   {812500, 812500},
    };
    for (auto [in, out] : cases) EXPECT_EQ(Snap(in), out) << in;
}

TEST(RateSnapping, MidpointOfEveryAdjacentPairGoesToTheLowerRate) {
    for (std::size_t j = 0; j + 1 < kRateTable.size(); ++j) {
        const std::uint32_t upper = kRateTable[j].rate;
        const std::uint32_t lower = kRateTable[j + 1].rate;
        const std::uint32_t mid = (upper + lower) / 2;
        SCOPED_TRACE(std::to_string(upper) + "/" + std::to_string(lower));
        EXPECT_EQ(Snap(mid), lower);
        EXPECT_EQ(Snap(mid + 1), upper);
        if (mid - 1 > lower) {
            EXPECT_EQ(Snap(mid - 1), lower);
        }
    }
}

// --- Extended rates -----------------------------------------------------------------------------

TEST(ExtendedRates, TextIsParsedIntoPairsUntilTheFirstBadField) {
    struct Case {
        const char* text;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    };
    const std::string eleven = [] {
        std::string t;
        for (int i = 1; i <= 11; ++i)
            t += (i > 1 ? " " : "") + std::to_string(i) + "," + std::to_string(i * 10);
        return t;
    }();
    const Case cases[] = {
        {"250000,2147484512", {{250000, 0x80000360}}},
        {"250000,2147484512 500000,2147483776", {{250000, 0x80000360}, {500000, 0x80000080}}},
        {"", {}},
        {"250000", {}},                                    // no comma
        {"250000,", {}},                                   // empty word
        {"25x000,5", {}},                                  // not a number
        {"1,2 3,4 5", {{1, 2}, {3, 4}}},                   // last pair incomplete
        {"1,2  3,4", {{1, 2}, {3, 4}}},                    // a leading space is skipped
        {"1,2 3,4294967296", {{1, 2}}},                    // word beyond 32 bits
        {"1,2 000000000000000000003,4", {{1, 2}}},         // no comma within 21 characters
        {"1,2 00000000000000000003,4", {{1, 2}, {3, 4}}},  // 20 digits then the comma
        {"7,00000000000000000008 9,1", {{7, 8}, {9, 1}}},  // 20 digits then the space
        {"7,000000000000000000008 9,1", {}},               // no space within 21 characters
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ExtendedRateTable table;
        table.Load(c.text);
        ASSERT_EQ(table.count, c.pairs.size());
        for (std::size_t i = 0; i < table.count; ++i) {
            EXPECT_EQ(table.pairs[i].rate, c.pairs[i].first);
            EXPECT_EQ(table.pairs[i].divisor, c.pairs[i].second);
        }
    }
    ExtendedRateTable table;
    table.Load(eleven);
    EXPECT_EQ(table.count, 10u);
    EXPECT_EQ(table.pairs[9].rate, 10u);
    table.Load("5,6");  // loading again replaces
    EXPECT_EQ(table.count, 1u);
    int index = -1;
    EXPECT_TRUE(USB2SER_FindAvailExtBaudRate(table, 5, index));
    EXPECT_EQ(index, 0);
    EXPECT_FALSE(USB2SER_FindAvailExtBaudRate(table, 6, index));
}

// --- Baud rate ----------------------------------------------------------------------------------

TEST(BaudRate, RateWordPerVariant) {
    ExtendedRateTable ext;
    ext.Load("250000,2147484512");
    struct Case {
        int variant;
        std::uint32_t rate;
        std::uint32_t word;
        std::uint32_t kept;
    };
    const Case cases[] = {
        {0, 9600, 9600, 9600},           {2, 9600, 9600, 9600},
        {2, 230400, 0x80000468, 230400}, {0, 230400, 230400, 230400},
        {2, 115200, 115200, 115200},     {2, 100000, 115200, 115200},
        {3, 300000, 0x80000459, 268800}, {2, 250000, 0x80000360, 250000},
        {1, 250000, 268800, 268800},     {4, 6000000, 0x80000040, 6000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.variant) + " " + std::to_string(c.rate));
        Rig rig(c.variant);
        rig.dev->extendedRates = &ext;
        rig.Configure();
        EXPECT_EQ(SetBaudRate(*rig.dev, c.rate), STATUS_SUCCESS);
        char expected[32];
        std::snprintf(expected, sizeof expected, "%08X/0/2/7", c.word);
        EXPECT_EQ(LineCodingWire(rig), expected);
        EXPECT_EQ(rig.dev->chip.currentRate, c.kept);
    }
}

TEST(BaudRate, EachDriversWaitsChunkAndRepeatRule) {
    {
        Rig rig(2, kUsbser2kPolicy);
        rig.Configure();
        EXPECT_EQ(SetBaudRate(*rig.dev, 9600), STATUS_SUCCESS);
        EXPECT_EQ(rig.kernel.Now(), 50 * kMillisecond);
        EXPECT_EQ(rig.dev->chip.maxTransmitChunk, 256u);
        EXPECT_EQ(SetBaudRate(*rig.dev, 115200), STATUS_SUCCESS);
        EXPECT_EQ(rig.dev->chip.maxTransmitChunk, 4096u);
        rig.chip.ClearLog();
        EXPECT_EQ(SetBaudRate(*rig.dev, 115200), STATUS_SUCCESS);  // in force: nothing sent
        EXPECT_TRUE(rig.chip.Log().empty());
        EXPECT_EQ(rig.kernel.Now(), 100 * kMillisecond);
        EXPECT_EQ(SetBaudRate(*rig.dev, 0), STATUS_SUCCESS);
        EXPECT_TRUE(rig.chip.Log().empty());
    }
    {
        Rig rig(1, kUsbser2kPolicy);  // variants 0 and 1 keep the 256-byte chunk
        rig.Configure();
        SetBaudRate(*rig.dev, 921600);
        EXPECT_EQ(rig.dev->chip.maxTransmitChunk, 256u);
    }
    {
        Rig rig(2, kUsbser9xPolicy);
        rig.Configure();
        EXPECT_EQ(SetBaudRate(*rig.dev, 9600), STATUS_SUCCESS);
        EXPECT_EQ(rig.kernel.Now(), 200 * kMillisecond);
        EXPECT_EQ(SetBaudRate(*rig.dev, 9600), STATUS_SUCCESS);  // sent again, no wait
        EXPECT_EQ(rig.Wire().size(), 2u);
        EXPECT_EQ(rig.kernel.Now(), 200 * kMillisecond);
    }
}

TEST(BaudRate, AbovePassiveLevelNothingIsSent) {
    Rig rig(2);
    rig.Configure();
    {
        IrqlScope raised(Irql::Dispatch);
        EXPECT_EQ(SetBaudRate(*rig.dev, 9600), STATUS_UNSUCCESSFUL);
    }
    EXPECT_TRUE(rig.chip.Log().empty());
    EXPECT_EQ(rig.dev->chip.currentRate, 0u);
}

TEST(BaudRate, ARateTheChipRefusedIsNotTakenAsInForce) {
    Rig rig(2);
    rig.Configure();
    rig.chip.StallWhen([](const WireRecord& r) { return r.request == 0x20; });
    EXPECT_EQ(SetBaudRate(*rig.dev, 19200), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.dev->chip.currentRate, 0u);
    EXPECT_EQ(SetBaudRate(*rig.dev, 19200), STATUS_SUCCESS);  // asked again: sent again
    EXPECT_EQ(rig.Wire().size(), 2u);
    EXPECT_EQ(rig.chip.LineCodingBytes()[0], 19200 & 0xFF);
}

// --- Line control -------------------------------------------------------------------------------

TEST(LineControlValidation, Table) {
    struct Case {
        LineControl lc;
        bool valid;
        std::uint8_t byte;
    };
    const Case cases[] = {
        {{0, 0, 8}, true, 0x03}, {{0, 2, 7}, true, 0x1A}, {{2, 1, 8}, true, 0x0F},
        {{1, 0, 5}, true, 0x04}, {{0, 3, 6}, true, 0x29}, {{0, 4, 5}, true, 0x38},
        {{2, 0, 5}, false, 0},   {{1, 0, 6}, false, 0},   {{0, 0, 4}, false, 0},
        {{0, 0, 9}, false, 0},   {{0, 5, 8}, false, 0},   {{3, 0, 8}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.lc.stopBits) + "/" + std::to_string(c.lc.parity) + "/" +
                     std::to_string(c.lc.wordLength));
        EXPECT_EQ(LineControlValid(c.lc), c.valid);
        if (c.valid) {
            EXPECT_EQ(EncodeLineControl(c.lc), c.byte);
            EXPECT_EQ(DecodeLineControl(c.byte), c.lc);
        }
    }
}

TEST(LineControlSetting, Usbser2kValidatesKeepsTheByteAndSkipsRepeats) {
    Rig rig(2, kUsbser2kPolicy);
    rig.Configure();
    EXPECT_EQ(SetLineControl(*rig.dev, {2, 0, 5}), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(rig.chip.Log().empty());
    EXPECT_EQ(SetLineControl(*rig.dev, {1, 1, 5}), STATUS_SUCCESS);
    EXPECT_EQ(LineCodingWire(rig), "00000000/1/1/5");
    EXPECT_EQ(rig.dev->chip.lineControl, 0x0C);
    EXPECT_EQ(rig.dev->chip.receiveMask, 0x1F);
    EXPECT_EQ(SetLineControl(*rig.dev, {1, 1, 5}), STATUS_SUCCESS);  // identical: nothing sent
    EXPECT_EQ(rig.Wire().size(), 1u);
    SetBaudRate(*rig.dev, 9600);
    EXPECT_EQ(SetLineControl(*rig.dev, {2, 2, 8}), STATUS_SUCCESS);
    EXPECT_EQ(LineCodingWire(rig), "00000000/1/1/5 00002580/1/1/5 00002580/2/2/8");
    EXPECT_EQ(rig.dev->chip.receiveMask, 0xFF);
}

TEST(LineControlSetting, Usbser9xPassesTheValuesThrough) {
    Rig rig(1, kUsbser9xPolicy);
    rig.Configure();
    EXPECT_EQ(SetLineControl(*rig.dev, {0, 2, 7}), STATUS_SUCCESS);
    EXPECT_EQ(SetLineControl(*rig.dev, {0, 2, 7}), STATUS_SUCCESS);
    EXPECT_EQ(LineCodingWire(rig), "00000000/0/2/7 00000000/0/2/7");
}

// --- Modem lines, break, restore -------------------------------------------------------------

TEST(ModemLines, TheWholeLineStateWordIsSentOnEveryChange) {
    Rig rig(2);
    rig.Configure();
    EXPECT_EQ(USB2SER_SetDTRState(*rig.dev, true), STATUS_SUCCESS);
    EXPECT_EQ(USB2SER_SetRTSState(*rig.dev, true), STATUS_SUCCESS);
    EXPECT_EQ(USB2SER_SetDTRState(*rig.dev, false), STATUS_SUCCESS);
    EXPECT_EQ(rig.Wire(), (std::vector<std::string>{"21 22 0001 0000 0000", "21 22 0003 0000 0000",
                                                    "21 22 0002 0000 0000"}));
    EXPECT_EQ(rig.chip.ControlLineState(), 2);
}

TEST(ModemLines, AbovePassiveUsbser9xSendsAsynchronouslyAndUsbser2kRefuses) {
    {
        Rig rig(2, kUsbser9xPolicy);
        rig.Configure();
        rig.chip.SetDeferred(true);
        {
            IrqlScope raised(Irql::Dispatch);
            EXPECT_EQ(USB2SER_SetRTSState(*rig.dev, true), STATUS_PENDING);
        }
        EXPECT_EQ(rig.dev->controlIoCount.Value(), 1);
        EXPECT_FALSE(rig.dev->controlIoCount.IdleEvent().ReadState());
        rig.chip.CompleteAll();
        EXPECT_EQ(rig.dev->controlIoCount.Value(), 0);
        EXPECT_TRUE(rig.dev->controlIoCount.IdleEvent().ReadState());
        EXPECT_EQ(rig.chip.ControlLineState(), 2);
        EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
    }
    {
        Rig rig(2, kUsbser2kPolicy);
        rig.Configure();
        {
            IrqlScope raised(Irql::Dispatch);
            EXPECT_EQ(USB2SER_SetDTRState(*rig.dev, true), STATUS_UNSUCCESSFUL);
        }
        EXPECT_TRUE(rig.chip.Log().empty());
        EXPECT_EQ(rig.dev->chip.lineState, 0);
    }
}

TEST(ModemLines, AsyncControlRequestThatCannotBeAllocatedLeaksNothing) {
    for (std::uint32_t tag : {kIrpPoolTag, kUsbser9xPolicy.poolTag}) {
        for (std::size_t skip : {0u, 1u}) {
            Rig rig(2, kUsbser9xPolicy);
            rig.Configure();
            rig.kernel.pool().FailAfter(skip, 1, tag);
            IrqlScope raised(Irql::Dispatch);
            const NTSTATUS status = USB2SER_SetDTRState(*rig.dev, true);
            if (status == STATUS_NO_MEMORY) {
                EXPECT_TRUE(rig.chip.Log().empty());
            }
            EXPECT_EQ(rig.dev->controlIoCount.Value(), 0);
            EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
        }
    }
}

TEST(BreakAndRestore, BreakOnOffAndRestoreResendsTheKeptCoding) {
    Rig rig(2, kUsbser9xPolicy);
    rig.Configure();
    EXPECT_TRUE(NT_SUCCESS(SetBreak(*rig.dev, true)));
    EXPECT_TRUE(rig.chip.BreakOn());
    EXPECT_TRUE(NT_SUCCESS(SetBreak(*rig.dev, false)));
    EXPECT_FALSE(rig.chip.BreakOn());
    SetBaudRate(*rig.dev, 38400);
    SetLineControl(*rig.dev, {0, 0, 8});
    rig.chip.ClearLog();
    EXPECT_EQ(USB2SER_RestoreState(*rig.dev), STATUS_SUCCESS);
    EXPECT_EQ(LineCodingWire(rig), "00009600/0/0/8");
}

// --- Flow-control registers -----------------------------------------------------------------

struct FlowCase {
    const char* name;
    const DriverPolicy* policy;
    int variant;
    NTSTATUS (*set)(UsbDevice&, bool);
    bool on;
    bool ctsBefore, dsrBefore;  // handshakes already on (usbser2k)
    std::uint8_t r0, r1;        // chip registers before
    NTSTATUS status;
    int r0After, r1After;  // -1: unchanged and not written
};

TEST(FlowRegisters, EveryTableRow) {
    const DriverPolicy* k2 = &kUsbser2kPolicy;
    const DriverPolicy* k9 = &kUsbser9xPolicy;
    const NTSTATUS ok = STATUS_SUCCESS;
    const NTSTATUS no = STATUS_NOT_SUPPORTED;
    const FlowCase cases[] = {
        // usbser9x CTS
        {"9x CTS on v0", k9, 0, &USB2SER_SetCTSState, true, 0, 0, 0xFF, 0xFF, ok, 0x7F, -1},
        {"9x CTS off v1", k9, 1, &USB2SER_SetCTSState, false, 0, 0, 0xFF, 0xFF, ok, 0x3F, -1},
        {"9x CTS on v2", k9, 2, &USB2SER_SetCTSState, true, 0, 0, 0x01, 0xFF, ok, 0x61, -1},
        {"9x CTS off v2", k9, 2, &USB2SER_SetCTSState, false, 0, 0, 0xFF, 0xFF, ok, 0x0F, -1},
        {"9x CTS on v3", k9, 3, &USB2SER_SetCTSState, true, 0, 0, 0x01, 0xFF, ok, 0x61, 0xF8},
        // usbser9x DSR
        {"9x DSR v2 refused", k9, 2, &USB2SER_SetDSRState, true, 0, 0, 0, 0, no, -1, -1},
        {"9x DSR on v3", k9, 3, &USB2SER_SetDSRState, true, 0, 0, 0xFF, 0xFF, ok, 0x7B, 0xFD},
        {"9x DSR off v3", k9, 3, &USB2SER_SetDSRState, false, 0, 0, 0xFF, 0xFF, ok, 0x33, 0xF8},
        // usbser9x CTS and DSR
        {"9x CTSDSR on v3", k9, 3, &USB2SER_SetCTSDSRState, true, 0, 0, 0xFF, 0xF0, ok, 0xDA, 0xF7},
        {"9x CTSDSR off v3", k9, 3, &USB2SER_SetCTSDSRState, false, 0, 0, 0xFF, 0xFF, ok, 0xC0,
         0xF8},
        {"9x CTSDSR on v1 is CTS", k9, 1, &USB2SER_SetCTSDSRState, true, 0, 0, 0x80, 0, ok, 0x40,
         -1},
        // usbser9x XON/XOFF
        {"9x XON v2", k9, 2, &USB2SER_SetXonXoffState, true, 0, 0, 0x05, 0, ok, 0xC5, -1},
        {"9x XOFF v3", k9, 3, &USB2SER_SetXonXoffState, false, 0, 0, 0xFF, 0, ok, 0x3F, -1},
        {"9x XON v1 refused", k9, 1, &USB2SER_SetXonXoffState, true, 0, 0, 0, 0, no, -1, -1},
        // usbser2k CTS
        {"2k CTS on v0", k2, 0, &SetCtsHandshake, true, 0, 0, 0xFF, 0xFF, ok, 0x7F, -1},
        {"2k CTS off v2", k2, 2, &SetCtsHandshake, false, 0, 0, 0xFF, 0xFF, ok, 0x3F, -1},
        {"2k CTS on v3", k2, 3, &SetCtsHandshake, true, 0, 0, 0x81, 0xFF, ok, 0x41, 0xF8},
        {"2k CTS on v4 with DSR", k2, 4, &SetCtsHandshake, true, 0, 1, 0xFF, 0xF0, ok, 0x5B, 0xF7},
        // usbser2k DSR
        {"2k DSR v2 refused", k2, 2, &SetDsrHandshake, true, 0, 0, 0, 0, no, -1, -1},
        {"2k DSR on v3", k2, 3, &SetDsrHandshake, true, 0, 0, 0xFF, 0xFF, ok, 0x7B, 0xFD},
        {"2k DSR on v3 with CTS", k2, 3, &SetDsrHandshake, true, 1, 0, 0xFF, 0xFF, ok, 0x5B, 0xFF},
        // With no CTS handshake and no XON/XOFF asked for, DSR off also clears the flow field
        // (bits 6-7) that DSR on had set.
        {"2k DSR off v4 bit 2", k2, 4, &SetDsrHandshake, false, 0, 1, 0xFF, 0x05, ok, 0x33, 0x04},
        {"2k DSR off v4 no bit 2", k2, 4, &SetDsrHandshake, false, 0, 1, 0xFF, 0x03, ok, 0x33, -1},
        {"2k DSR off v4 with CTS", k2, 4, &SetDsrHandshake, false, 1, 1, 0xFF, 0x03, ok, 0x73, -1},
        // usbser2k RTS
        {"2k RTS v1 refused", k2, 1, &SetRtsHandshake, true, 0, 0, 0, 0, no, -1, -1},
        {"2k RTS on v2", k2, 2, &SetRtsHandshake, true, 0, 0, 0x10, 0xFF, ok, 0x20, -1},
        {"2k RTS off v3", k2, 3, &SetRtsHandshake, false, 0, 0, 0xFF, 0xFF, ok, 0xCF, 0xF8},
        {"2k RTS on v4 with DSR", k2, 4, &SetRtsHandshake, true, 0, 1, 0x00, 0x00, ok, 0x20, 0x07},
        // usbser2k XON/XOFF
        {"2k XON v2", k2, 2, &SetChipXonXoff, true, 0, 0, 0x01, 0, ok, 0xC1, -1},
        {"2k XOFF v4", k2, 4, &SetChipXonXoff, false, 0, 0, 0xC1, 0, ok, 0x01, -1},
        {"2k XON v0 refused", k2, 0, &SetChipXonXoff, true, 0, 0, 0, 0, no, -1, -1},
    };
    for (const FlowCase& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.variant, *c.policy);
        rig.Configure();
        rig.dev->chip.ctsHandshake = c.ctsBefore;
        rig.dev->chip.dsrHandshake = c.dsrBefore;
        rig.chip.SetRegister(0, c.r0);
        rig.chip.SetRegister(1, c.r1);
        EXPECT_EQ(c.set(*rig.dev, c.on), c.status);
        if (c.status == STATUS_NOT_SUPPORTED) {
            EXPECT_TRUE(rig.chip.Log().empty());
            continue;
        }
        // Reads first (refreshing the shadow), then register 1, then register 0.
        std::vector<std::string> writes;
        bool sawWrite = false;
        for (const std::string& line : rig.Wire()) {
            const bool isRead = line.rfind("C0 01 008", 0) == 0;
            if (!isRead) {
                sawWrite = true;
                writes.push_back(line);
            } else {
                EXPECT_FALSE(sawWrite) << "read after a write: " << line;
            }
        }
        std::vector<std::string> expected;
        char text[32];
        if (c.r1After >= 0) {
            std::snprintf(text, sizeof text, "40 01 0001 %04X 0000", c.r1After);
            expected.push_back(text);
        }
        std::snprintf(text, sizeof text, "40 01 0000 %04X 0000", c.r0After);
        expected.push_back(text);
        EXPECT_EQ(writes, expected);
        EXPECT_EQ(rig.chip.Register(0), c.r0After);
        EXPECT_EQ(rig.dev->chip.shadow[0], c.r0After);
    }
}

TEST(FlowRegisters, AFailedRegisterReadWritesNothing) {
    Rig rig(3, kUsbser2kPolicy);
    rig.Configure();
    rig.chip.StallWhen([](const WireRecord& r) { return r.value == 0x0081; });
    EXPECT_EQ(SetDsrHandshake(*rig.dev, true), STATUS_UNSUCCESSFUL);
    for (const std::string& line : rig.Wire()) EXPECT_NE(line.substr(0, 2), "40");
    EXPECT_FALSE(rig.dev->chip.dsrHandshake);
}

TEST(FlowRegisters, Usbser9xXonXoffAbovePassiveUsesTheShadowAndGoesAsynchronously) {
    Rig rig(2, kUsbser9xPolicy);
    rig.Configure();
    rig.dev->chip.shadow[0] = 0x05;
    {
        IrqlScope raised(Irql::Dispatch);
        EXPECT_TRUE(NT_SUCCESS(USB2SER_SetXonXoffState(*rig.dev, true)));
    }
    EXPECT_EQ(rig.Wire(), std::vector<std::string>{"40 01 0000 00C5 0000"});
    EXPECT_EQ(rig.dev->controlIoCount.Value(), 0);
}

}  // namespace
}  // namespace vm::drv::testing
