#include "driver/usbser2k/handflow.h"

#include <gtest/gtest.h>

#include "tests/driver/core/rig.h"

namespace vm::drv::testing {
namespace {

class FakeHost : public FlowHost {
public:
    std::uint32_t ReceiveCount() const override { return count; }
    std::uint32_t ReceiveBufferSize() const override { return size; }
    bool TransmitPending() const override { return pending; }
    void SendFlowCharacter(std::uint8_t c) override { sent.push_back(c); }
    void RestartTransmit() override { ++restarts; }
    std::uint8_t LastStatusByte() const override { return status; }

    std::uint8_t status = kStatusCts | kStatusDsr;
    std::uint32_t count = 0;
    std::uint32_t size = 1024;
    bool pending = false;
    std::vector<std::uint8_t> sent;
    int restarts = 0;
};

// The line-state words sent, in order.
std::vector<int> LineWords(const Rig& rig) {
    std::vector<int> words;
    for (const auto& r : rig.chip.Log()) {
        if (r.kind == sim::WireRecord::Kind::Control && r.request == 0x22) words.push_back(r.value);
    }
    return words;
}

TEST(HandFlow, FirstRecordAppliesEverythingAndARepeatSendsNothing) {
    Rig rig(2);
    rig.Configure();
    rig.chip.SetRegister(0, 0xFF);
    FakeHost host;
    FlowState state;
    const SerialHandflow defaults{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 512, 128};
    EXPECT_EQ(ApplyHandFlow(*rig.dev, state, defaults, host), STATUS_SUCCESS);
    EXPECT_EQ(rig.Wire(), (std::vector<std::string>{
                              "C0 01 0080 0000 0001", "40 01 0000 003F 0000",  // CTS off
                              "21 22 0001 0000 0000",                          // DTR on
                              "21 22 0003 0000 0000",                          // RTS on
                              "C0 01 0080 0000 0001", "40 01 0000 003F 0000",  // chip XON/XOFF off
                          }));  // no DSR setting: variant 2 has none
    EXPECT_EQ(state.receiveHolds, 0u);
    rig.chip.ClearLog();
    EXPECT_EQ(ApplyHandFlow(*rig.dev, state, defaults, host), STATUS_SUCCESS);
    EXPECT_TRUE(rig.chip.Log().empty());
    EXPECT_TRUE(host.sent.empty());
}

TEST(HandFlow, DtrHandshakeHoldsPastTheXoffPointAndReleasesAtXonLimit) {
    Rig rig(2);
    rig.Configure();
    FakeHost host;
    host.count = 1000;  // 24 bytes of room, XoffLimit 128
    FlowState state;
    ApplyHandFlow(*rig.dev, state, {SERIAL_DTR_HANDSHAKE, 0, 512, 128}, host);
    EXPECT_EQ(state.receiveHolds, SERIAL_RX_DTR);
    EXPECT_EQ(LineWords(rig), (std::vector<int>{0, 0}));  // DTR off, then RTS off (mode 0)
    EXPECT_EQ(rig.dev->chip.lineState & 1, 0);

    host.count = 600;
    rig.chip.ClearLog();
    ApplyHandFlow(*rig.dev, state, {SERIAL_DTR_HANDSHAKE, 0, 512, 100}, host);
    EXPECT_EQ(state.receiveHolds, SERIAL_RX_DTR);  // 600 is still above XonLimit 512
    EXPECT_TRUE(LineWords(rig).empty());

    ApplyHandFlow(*rig.dev, state, {SERIAL_DTR_HANDSHAKE, 0, 700, 100}, host);
    EXPECT_EQ(state.receiveHolds, 0u);
    EXPECT_EQ(LineWords(rig), std::vector<int>{1});

    ApplyHandFlow(*rig.dev, state, {0, 0, 700, 100}, host);  // DTR control 0: off, no hold
    EXPECT_EQ(LineWords(rig), (std::vector<int>{1, 0}));
}

TEST(HandFlow, RtsModes) {
    Rig rig(3);
    rig.Configure();
    FakeHost host;
    FlowState state;
    ApplyHandFlow(*rig.dev, state, {SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, 512, 128}, host);
    EXPECT_TRUE(rig.dev->chip.rtsHandshake);
    EXPECT_EQ(rig.dev->chip.lineState, 3);  // room enough: RTS raised

    host.pending = true;
    ApplyHandFlow(*rig.dev, state, {SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, 512, 128}, host);
    EXPECT_FALSE(rig.dev->chip.rtsHandshake);  // leaving the handshake clears it in the chip
    EXPECT_EQ(rig.dev->chip.lineState, 3);
    host.pending = false;
    ApplyHandFlow(*rig.dev, state, {SERIAL_DTR_CONTROL, 0, 512, 128}, host);
    EXPECT_EQ(rig.dev->chip.lineState, 1);
    state.applied = false;  // transmit toggle with nothing to send: RTS low
    ApplyHandFlow(*rig.dev, state, {SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, 512, 128}, host);
    EXPECT_EQ(rig.dev->chip.lineState, 1);
}

TEST(HandFlow, AutomaticFlowSwitchesChipXonXoffAndSendsTheCharacters) {
    Rig rig(2);
    rig.Configure();
    FakeHost host;
    host.count = 1000;
    FlowState state;
    ApplyHandFlow(*rig.dev, state, {SERIAL_DTR_CONTROL, SERIAL_AUTO_RECEIVE, 512, 128}, host);
    EXPECT_TRUE(rig.dev->chip.chipXonXoff);
    EXPECT_EQ(state.receiveHolds, SERIAL_RX_XOFF);
    EXPECT_EQ(host.sent, std::vector<std::uint8_t>{0x13});

    state.transmitHolds = SERIAL_TX_XOFF;
    ApplyHandFlow(*rig.dev, state, {SERIAL_DTR_CONTROL, SERIAL_AUTO_TRANSMIT, 512, 128}, host);
    EXPECT_TRUE(rig.dev->chip.chipXonXoff);  // still on for transmit
    EXPECT_EQ(state.receiveHolds, 0u);
    EXPECT_EQ(host.sent, (std::vector<std::uint8_t>{0x13, 0x11}));
    EXPECT_EQ(host.restarts, 0);

    ApplyHandFlow(*rig.dev, state, {SERIAL_DTR_CONTROL, 0, 512, 128}, host);
    EXPECT_FALSE(rig.dev->chip.chipXonXoff);
    EXPECT_EQ(state.transmitHolds, 0u);
    EXPECT_EQ(host.restarts, 1);
}

TEST(HandFlow, SettingsTheChipLacksDoNotFailTheRecord) {
    Rig rig(0);
    rig.Configure();
    FakeHost host;
    FlowState state;
    EXPECT_EQ(ApplyHandFlow(*rig.dev, state,
                            {SERIAL_DTR_CONTROL | SERIAL_DSR_HANDSHAKE,
                             SERIAL_AUTO_RECEIVE | SERIAL_RTS_HANDSHAKE, 512, 128},
                            host),
              STATUS_SUCCESS);
    EXPECT_FALSE(rig.dev->chip.dsrHandshake);
    EXPECT_FALSE(rig.dev->chip.chipXonXoff);
    rig.chip.Unplug();
    EXPECT_EQ(ApplyHandFlow(*rig.dev, state, {SERIAL_CTS_HANDSHAKE, 0, 512, 128}, host),
              STATUS_DEVICE_NOT_CONNECTED);
}

// An output handshake switched on with its line down holds the transmitter; with the line up it
// does not; switched off it releases the hold and restarts the transmitter.
TEST(HandFlow, OutputHandshakeHoldsTransmitWhileItsLineIsDown) {
    struct Row {
        const char* name;
        std::uint32_t handshake;
        std::uint8_t status;
        std::uint32_t hold;
    };
    const Row rows[] = {
        {"CTS down", SERIAL_CTS_HANDSHAKE, kStatusDsr, SERIAL_TX_CTS},
        {"CTS up", SERIAL_CTS_HANDSHAKE, kStatusCts, 0},
        {"DSR down", SERIAL_DSR_HANDSHAKE, kStatusCts, SERIAL_TX_DSR},
        {"DSR up", SERIAL_DSR_HANDSHAKE, kStatusDsr, 0},
        {"both down", SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE, 0,
         SERIAL_TX_CTS | SERIAL_TX_DSR},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig(3);
        rig.Configure();
        FakeHost host;
        host.status = row.status;
        FlowState state;
        const SerialHandflow on{SERIAL_DTR_CONTROL | row.handshake, SERIAL_RTS_CONTROL, 512, 128};
        EXPECT_EQ(ApplyHandFlow(*rig.dev, state, on, host), STATUS_SUCCESS);
        EXPECT_EQ(state.transmitHolds, row.hold);
        const SerialHandflow off{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 512, 128};
        EXPECT_EQ(ApplyHandFlow(*rig.dev, state, off, host), STATUS_SUCCESS);
        EXPECT_EQ(state.transmitHolds, 0u);
        EXPECT_EQ(host.restarts, row.hold ? 1 : 0);
    }
}

// The chip's flow field (register 0 bits 6-7) and the handshake flags after records applied whole,
// over every variant: XON/XOFF off never takes a CTS or DSR handshake out of the chip, and a
// handshake change never takes XON/XOFF out.
TEST(HandFlow, XonXoffAndTheOutputHandshakesNeverSwitchEachOtherOffInTheChip) {
    struct Handshake {
        const char* name;
        std::uint32_t bits;
        int minVariant;
    };
    const Handshake handshakes[] = {{"none", 0, 0},
                                    {"CTS", SERIAL_CTS_HANDSHAKE, 0},
                                    {"DSR", SERIAL_DSR_HANDSHAKE, 3},
                                    {"CTS+DSR", SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE, 3}};
    const std::uint32_t flows[] = {0, SERIAL_AUTO_RECEIVE, SERIAL_AUTO_TRANSMIT,
                                   SERIAL_AUTO_RECEIVE | SERIAL_AUTO_TRANSMIT};
    for (int variant = 0; variant <= 4; ++variant) {
        for (const Handshake& hs : handshakes) {
            if (variant < hs.minVariant) continue;
            for (std::uint32_t flow : flows) {
                // From a record with the other XON/XOFF state and no handshake, and then the
                // whole record again from scratch (a restore after power loss).
                for (bool fromScratch : {false, true}) {
                    SCOPED_TRACE(::testing::Message()
                                 << "variant " << variant << ' ' << hs.name << " flow " << flow
                                 << " scratch " << fromScratch);
                    Rig rig(variant);
                    rig.Configure();
                    FakeHost host;
                    FlowState state;
                    const SerialHandflow target{hs.bits, flow, 512, 128};
                    if (!fromScratch) {
                        const std::uint32_t otherFlow = flow ? 0 : SERIAL_AUTO_RECEIVE;
                        ApplyHandFlow(*rig.dev, state, {hs.bits, otherFlow, 512, 128}, host);
                    }
                    ASSERT_EQ(ApplyHandFlow(*rig.dev, state, target, host), STATUS_SUCCESS);
                    const bool xon = variant >= 2 && flow != 0;
                    const bool output = hs.bits != 0;
                    const int field = rig.chip.Register(0) & 0xC0;
                    EXPECT_EQ(field, xon ? 0xC0 : output ? 0x40 : 0x00);
                    EXPECT_EQ(rig.dev->chip.ctsHandshake, (hs.bits & SERIAL_CTS_HANDSHAKE) != 0);
                    EXPECT_EQ(rig.dev->chip.dsrHandshake, (hs.bits & SERIAL_DSR_HANDSHAKE) != 0);
                    EXPECT_EQ(rig.dev->chip.chipXonXoff, xon);
                    if (variant >= 3) {
                        // The DSR handshake's bits of registers 0 and 1 are as its row sets them.
                        const bool dsr = (hs.bits & SERIAL_DSR_HANDSHAKE) != 0;
                        EXPECT_EQ((rig.chip.Register(0) & 0x08) != 0, dsr);
                        EXPECT_EQ((rig.chip.Register(1) & 0x01) != 0, dsr);
                    }
                }
            }
        }
    }
}

// Turning every output handshake off leaves no handshake in the chip's flow field.
TEST(HandFlow, HandshakesOffLeaveTheFlowFieldClear) {
    for (int variant : {3, 4}) {
        SCOPED_TRACE(variant);
        Rig rig(variant);
        rig.Configure();
        FakeHost host;
        FlowState state;
        ApplyHandFlow(*rig.dev, state, {SERIAL_DSR_HANDSHAKE, 0, 512, 128}, host);
        EXPECT_EQ(rig.chip.Register(0) & 0xC0, 0x40);
        ApplyHandFlow(*rig.dev, state, {0, SERIAL_AUTO_TRANSMIT, 512, 128}, host);
        EXPECT_EQ(rig.chip.Register(0) & 0xC0, 0xC0);
        ApplyHandFlow(*rig.dev, state, {0, 0, 512, 128}, host);
        EXPECT_EQ(rig.chip.Register(0) & 0xC8, 0x00);
    }
}

}  // namespace
}  // namespace vm::drv::testing
