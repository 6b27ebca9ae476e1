// The cable system runs on the bus its caller makes: the simulated chip by default, any other
// bus (a real cable's) the same way.
#include <gtest/gtest.h>

#include "integration/cable_system.h"

namespace vm::integration {
namespace {

// A bus whose device answers nothing: every request fails.
class DeadBus final : public drv::UsbBus {
public:
    drv::NTSTATUS SubmitUrb(drv::Irp* irp, drv::Urb*) override { return Fail(irp); }
    drv::NTSTATUS ResetPort(drv::Irp* irp) override { return Fail(irp); }
    int requests = 0;

private:
    drv::NTSTATUS Fail(drv::Irp* irp) {
        ++requests;
        irp->IoStatus.Status = drv::STATUS_DEVICE_NOT_CONNECTED;
        drv::IoCompleteRequest(irp);
        return drv::STATUS_DEVICE_NOT_CONNECTED;
    }
};

TEST(CableSystem, RunsOnTheBusItIsGiven) {
    sim::SimChip* made = nullptr;
    CableSystem system(
        [&](drv::Kernel& kernel) {
            auto chip = std::make_unique<sim::SimChip>(kernel, sim::ChipProfile::ForVariant(3));
            made = chip.get();
            return chip;
        },
        "COM9", drv::Kernel::ClockMode::Auto);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(&system.bus(), made);
    EXPECT_EQ(system.simulatedChip(), made);
    ASSERT_EQ(system.Plug(), drv::STATUS_SUCCESS);
    EXPECT_TRUE(made->Configured());  // the driver's start went over the bus it was given
}

TEST(CableSystem, OnABusThatIsNotTheSimulatedChipTheStartFailsAndNoLineConnects) {
    DeadBus* made = nullptr;
    CableSystem system(
        [&](drv::Kernel&) {
            auto bus = std::make_unique<DeadBus>();
            made = bus.get();
            return bus;
        },
        "COM9", drv::Kernel::ClockMode::Auto);
    EXPECT_EQ(system.simulatedChip(), nullptr);
    EXPECT_FALSE(drv::NT_SUCCESS(system.Plug()));
    EXPECT_GT(made->requests, 0);
    EXPECT_FALSE(system.ConnectLine("/dev/null"));
}

}  // namespace
}  // namespace vm::integration
