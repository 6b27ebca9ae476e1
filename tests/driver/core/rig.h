// A driver's function device object on top of a simulated chip, for the transport and chip tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "driver/core/usb_transport.h"
#include "driver/sim/sim_chip.h"

namespace vm::drv::testing {

class Rig {
public:
    Rig(int variant, const DriverPolicy& policy = kUsbser2kPolicy)
        : Rig(sim::ChipProfile::ForVariant(variant), policy) {}

    Rig(sim::ChipProfile profile, const DriverPolicy& policy)
        : bus(kernel), chip(kernel, profile), driver(kernel, policy.name) {
        pdo = bus.CreatePdo(chip);
        // The rig's device stands for what the driver's AddDevice makes; it is not under test.
        const Pool::Suspend system(kernel.pool());
        IoCreateDevice(driver, "\\Device\\Serial0", FILE_DEVICE_SERIAL_PORT, 0, true, &fdo);
        IoAttachDeviceToDeviceStack(fdo, pdo);
        dev = std::make_unique<UsbDevice>(kernel, policy, fdo, fdo->LowerDevice);
        dev->chipVariant = profile.variant;
    }

    ~Rig() {
        // Everything still held by the chip completes while the device it belongs to exists.
        chip.Unplug();
        USB2SER_CancelAllIrps(*dev);
        dev.reset();
        IoDeleteDevice(fdo);
    }

    // Selects the configuration and forgets the requests that took.
    void Configure() {
        ASSERT_EQ(USB2SER_ConfigureDevice(*dev), STATUS_SUCCESS);
        chip.ClearLog();
    }

    std::vector<std::string> Wire() const { return chip.ControlLog(); }

    Kernel kernel;
    UsbBusDriver bus;
    sim::SimChip chip;
    DriverObject driver;
    DeviceObject* pdo = nullptr;
    DeviceObject* fdo = nullptr;
    std::unique_ptr<UsbDevice> dev;
};

}  // namespace vm::drv::testing
