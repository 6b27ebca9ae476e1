// Fuzzes the private device-control codes' buffers: the input picks the driver, the chip variant,
// the code and the lengths; the rest is the buffer content, copied into a block of exactly the
// size a caller would pass.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "driver/core/private_ioctl.h"
#include "driver/sim/sim_chip.h"
#include "fuzz/fuzz_support.h"

using namespace vm::drv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const DriverPolicy& policy = (data[0] & 1) ? kUsbser9xPolicy : kUsbser2kPolicy;
    const int variant = (data[0] >> 1) % (policy.maxChipVariant + 1);
    const std::uint32_t code = 0x00222000u + 4u * (data[1] % 48u);
    const std::uint32_t in = data[2] % 80u;
    const std::uint32_t out = data[3] % 80u;
    const bool null = (data[4] & 0x0F) == 0;
    data += 5;
    size -= 5;

    Kernel kernel;
    UsbBusDriver bus(kernel);
    vm::sim::SimChip chip(kernel, vm::sim::ChipProfile::ForVariant(variant));
    chip.SetLoopback(true);
    DriverObject driver(kernel, policy.name);
    DeviceObject* pdo = bus.CreatePdo(chip);
    const auto outstanding_before_fdo = kernel.pool().OutstandingCount();
    DeviceObject* fdo = nullptr;
    IoCreateDevice(driver, "\\Device\\Serial0", FILE_DEVICE_SERIAL_PORT, 0, true, &fdo);
    IoAttachDeviceToDeviceStack(fdo, pdo);
    {
        UsbDevice dev(kernel, policy, fdo, fdo->LowerDevice);
        dev.chipVariant = variant;
        USB2SER_ConfigureDevice(dev);

        std::unique_ptr<std::uint8_t[]> buffer;
        if (!null) {
            const std::size_t length = std::max(in, out);
            buffer = std::make_unique<std::uint8_t[]>(length);
            std::memcpy(buffer.get(), data, std::min(size, length));
        }
        std::uintptr_t information = 0;
        const NTSTATUS status =
            USB2SER_ProcessPrivateIoctl(dev, code, buffer.get(), in, out, information);
        vm::fuzz::Check(status != STATUS_PENDING, "a private code left its request pending");
        vm::fuzz::Check(information <= out, "a private code returned more than the output length");
        USB2SER_CancelAllIrps(dev);
    }
    // Devices come from the pool too: what is left once the device went is a leak.
    IoDeleteDevice(fdo);
    vm::fuzz::Check(kernel.pool().OutstandingCount() == outstanding_before_fdo,
                    "pool allocations left after the device went");
    vm::fuzz::Check(kernel.pool().BadFrees() == 0, "a pool block freed twice or not allocated");
    return 0;
}
