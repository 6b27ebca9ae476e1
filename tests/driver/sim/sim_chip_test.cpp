#include "driver/sim/sim_chip.h"

#include <gtest/gtest.h>

#include "driver/core/usb_transport.h"
#include "tests/driver/core/rig.h"

namespace vm::sim {
namespace {

using drv::testing::Rig;

// The low byte of character `i` of a string descriptor read into a 64-byte buffer; 0 past it.
std::uint8_t CharAt(const std::vector<std::uint8_t>& descriptor, std::size_t i) {
    const std::size_t offset = 2 + 2 * i;
    return offset < std::min<std::size_t>(descriptor.size(), 64) ? descriptor[offset] : 0;
}

// How each driver tells the variants apart: device class and control packet size, then two
// characters of the strings.
int Classify(bool usbser2k, const SimChip& chip) {
    const auto dd = chip.DeviceDescriptor();
    const std::uint8_t cls = dd[4];
    const std::uint8_t packet = dd[7];
    int variant = -1;
    if (usbser2k) {
        if (cls == 0x02)
            variant = 0;
        else if (packet == 64)
            variant = 2;
        else if (cls == 0x00 || cls == 0xFF)
            variant = 1;
    } else {
        if (cls == 0x02)
            variant = 0;
        else if (cls == 0xFF)
            variant = 1;
        else if (packet == 64)
            variant = 2;
    }
    if (variant == 2) {
        if (CharAt(chip.StringDescriptor(2), 22) == 'C') variant = 3;
        if (usbser2k && CharAt(chip.StringDescriptor(1), 24) == ' ') variant = 4;
    }
    return variant;
}

TEST(SimChipDescriptors, EachProfileClassifiesAsItsVariant) {
    drv::Kernel kernel;
    for (int variant = 0; variant <= 4; ++variant) {
        SCOPED_TRACE(variant);
        SimChip chip(kernel, ChipProfile::ForVariant(variant));
        EXPECT_EQ(Classify(true, chip), variant);
        EXPECT_EQ(Classify(false, chip), std::min(variant, 3));
        const auto dd = chip.DeviceDescriptor();
        ASSERT_EQ(dd.size(), 18u);
        EXPECT_EQ(dd[8] | dd[9] << 8, 0x3A71);
        const auto config = chip.ConfigurationDescriptor();
        EXPECT_EQ(config[2] | config[3] << 8, static_cast<int>(config.size()));
        EXPECT_EQ(config[4], variant == 0 ? 2 : 1);
    }
}

TEST(SimChipRequests, UnknownAndVariantGatedRequestsStall) {
    struct Case {
        int variant;
        std::uint16_t value;
        bool in;
        bool stalls;
    };
    const Case cases[] = {
        {1, 0x0606, false, true}, {2, 0x0606, false, false}, {2, 0x0C0C, false, true},
        {3, 0x8F8F, true, false}, {2, 0x1234, false, true},  {0, 0x0082, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.variant) + " " + std::to_string(c.value));
        Rig rig(c.variant);
        rig.Configure();
        std::uint8_t buffer[2] = {};
        const drv::NTSTATUS status = c.in ? drv::VendorRead(*rig.dev, c.value, buffer)
                                          : drv::VendorWrite(*rig.dev, c.value, 1);
        EXPECT_EQ(status, c.stalls ? drv::STATUS_UNSUCCESSFUL : drv::STATUS_SUCCESS);
    }
}

TEST(SimChipRequests, DeferredRequestsCompleteInArrivalOrderAndHungOnesOnlyByCancel) {
    Rig rig(2);
    rig.Configure();
    rig.chip.SetDeferred(true);
    drv::USB2SER_AsyncTransfer(*rig.dev, drv::kPipeStatus, nullptr, 10);
    const std::uint8_t byte = 0x41;
    drv::USB2SER_AsyncTransfer(*rig.dev, drv::kPipeTransmit, &byte, 1);
    EXPECT_EQ(rig.chip.PendingCount(), 2u);
    EXPECT_TRUE(rig.chip.CompleteOne());  // the status read: no notification yet, it now waits
    EXPECT_EQ(rig.chip.PendingCount(), 2u);
    EXPECT_TRUE(rig.chip.Transmitted().empty());
    EXPECT_TRUE(rig.chip.CompleteOne());  // the transmit
    EXPECT_EQ(rig.chip.Transmitted(), std::vector<std::uint8_t>{0x41});
    EXPECT_FALSE(rig.chip.CompleteOne());  // only a waiting read is left
    rig.chip.InjectStatus({0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0});
    EXPECT_EQ(rig.chip.PendingCount(), 0u);

    rig.chip.SetDeferred(false);
    rig.chip.HangWhen([](const WireRecord& r) { return r.kind == WireRecord::Kind::BulkOut; });
    drv::USB2SER_AsyncTransfer(*rig.dev, drv::kPipeTransmit, &byte, 1);
    rig.chip.CompleteAll();
    EXPECT_EQ(rig.chip.PendingCount(), 1u);
    drv::CancelTheIrp(*rig.dev, drv::kPipeTransmit);
    EXPECT_EQ(rig.chip.PendingCount(), 0u);
    EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
}

TEST(SimChipData, TransmittedBytesReachTheAttachedPeer) {
    Rig rig(2);
    rig.Configure();
    std::vector<std::uint8_t> peer;
    rig.chip.SetTransmitSink([&](std::span<const std::uint8_t> bytes) {
        peer.insert(peer.end(), bytes.begin(), bytes.end());
    });
    const std::uint8_t data[] = {'R', 0x01, 0x00};
    ASSERT_EQ(drv::USB2SER_WriteBulk(*rig.dev, data), drv::STATUS_SUCCESS);
    EXPECT_EQ(peer, std::vector<std::uint8_t>(std::begin(data), std::end(data)));

    // The peer answers through the receive side; a short read takes what there is.
    const std::uint8_t reply[] = {'A'};
    rig.chip.InjectReceive(reply);
    std::uint8_t buffer[64];
    std::uint32_t bytes = 0;
    ASSERT_EQ(drv::USB2SER_ReadBulk(*rig.dev, buffer, bytes), drv::STATUS_SUCCESS);
    EXPECT_EQ(bytes, 1u);
    EXPECT_EQ(buffer[0], 'A');
}

}  // namespace
}  // namespace vm::sim
