#include "tests/driver/usbser9x/host/vm9x_simhost.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/platform/config_manager.h"
#include "driver/platform/pnp_manager.h"
#include "driver/platform/usb.h"
#include "driver/sim/sim_chip.h"

using namespace vm::drv;

struct vm9xh_system {
    vm9xh_system() : bus(kernel), cm(kernel), driver(kernel, "\\Driver\\usbser9x"), pnp(kernel) {}
    Kernel kernel;
    UsbBusDriver bus;
    ConfigManager cm;
    DriverObject driver;
    PnpManager pnp;
    struct Cable {
        std::unique_ptr<vm::sim::SimChip> chip;
        DeviceObject* pdo = nullptr;
        bool plugged = false;
        std::size_t seen = 0;
    };
    std::mutex mutex;
    std::vector<Cable> cables;
    thread_local static Irql saved;

    Cable* At(int index) {
        std::lock_guard lock(mutex);
        if (index < 0 || static_cast<std::size_t>(index) >= cables.size()) return nullptr;
        return &cables[static_cast<std::size_t>(index)];
    }
};

thread_local Irql vm9xh_system::saved = Irql::Passive;

namespace {
// The device node's identifier for the n-th device (as the driver forms it).
std::string NodeId(const vm::sim::ChipProfile& p, std::size_t number) {
    char text[64];
    std::snprintf(text, sizeof text, "USBPorts\\VID_%04X&PID_%04X\\%4.4u", p.vendorId, p.productId,
                  static_cast<unsigned>(number));
    return text;
}
}  // namespace

extern "C" {

vm9xh_system* vm9xh_create(Vm9xDriverEntryFn entry) {
    auto sys = std::make_unique<vm9xh_system>();
    if (!entry || entry(&sys->driver,
                        "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbser9x") < 0) {
        return nullptr;
    }
    return sys.release();
}

size_t vm9xh_destroy(vm9xh_system* sys) {
    if (!sys) return 0;
    for (std::size_t i = 0; i < sys->cables.size(); ++i) {
        if (sys->cables[i].plugged) vm9xh_unplug(sys, static_cast<int>(i));
    }
    if (sys->driver.Unload) sys->driver.Unload(&sys->driver);
    const std::size_t leaks = sys->kernel.pool().OutstandingCount();
    delete sys;
    return leaks;
}

int vm9xh_plug(vm9xh_system* sys, int variant, const char* portName) {
    vm9xh_system::Cable cable;
    const vm::sim::ChipProfile profile = vm::sim::ChipProfile::ForVariant(variant);
    cable.chip = std::make_unique<vm::sim::SimChip>(sys->kernel, profile);
    cable.pdo = sys->bus.CreatePdo(*cable.chip);
    std::size_t index;
    {
        std::lock_guard lock(sys->mutex);
        index = sys->cables.size();
        sys->cables.push_back(std::move(cable));
    }
    if (portName) {
        sys->kernel.registry().SetString(ConfigManager::HardwareKey(NodeId(profile, index)),
                                         "PORTNAME", portName);
    }
    vm9xh_system::Cable& c = *sys->At(static_cast<int>(index));
    if (!NT_SUCCESS(sys->pnp.AddDevice(sys->driver, c.pdo))) return -1;
    c.plugged = true;
    if (!NT_SUCCESS(sys->pnp.Start(c.pdo))) return -1;
    return static_cast<int>(index);
}

int32_t vm9xh_unplug(vm9xh_system* sys, int index) {
    vm9xh_system::Cable* c = sys->At(index);
    if (!c || !c->plugged) return STATUS_NO_SUCH_DEVICE;
    c->plugged = false;
    c->chip->Unplug();
    return sys->pnp.Remove(c->pdo);
}

void vm9xh_inject_rx(vm9xh_system* sys, int index, const uint8_t* data, size_t length) {
    if (vm9xh_system::Cable* c = sys->At(index)) c->chip->InjectReceive({data, length});
}

void vm9xh_inject_status(vm9xh_system* sys, int index, uint8_t statusByte) {
    std::array<std::uint8_t, 10> n{};
    n[8] = statusByte;
    if (vm9xh_system::Cable* c = sys->At(index)) c->chip->InjectStatus(n);
}

size_t vm9xh_transmitted(vm9xh_system* sys, int index, uint8_t* out, size_t capacity) {
    vm9xh_system::Cable* c = sys->At(index);
    if (!c) return 0;
    const std::vector<std::uint8_t> bytes = c->chip->Transmitted();
    const std::size_t n = std::min(capacity, bytes.size());
    if (n) std::memcpy(out, bytes.data(), n);
    return bytes.size();
}

void vm9xh_line_coding(vm9xh_system* sys, int index, uint8_t out[7]) {
    if (vm9xh_system::Cable* c = sys->At(index)) {
        const auto coding = c->chip->LineCodingBytes();
        std::memcpy(out, coding.data(), coding.size());
    }
}

uint16_t vm9xh_control_lines(vm9xh_system* sys, int index) {
    vm9xh_system::Cable* c = sys->At(index);
    return c ? c->chip->ControlLineState() : 0;
}

uint8_t vm9xh_register(vm9xh_system* sys, int index, int reg) {
    vm9xh_system::Cable* c = sys->At(index);
    return c ? c->chip->Register(reg) : 0;
}

size_t vm9xh_waiting(vm9xh_system* sys, int index) {
    vm9xh_system::Cable* c = sys->At(index);
    return c ? c->chip->PendingCount() : 0;
}

void vm9xh_set_deferred(vm9xh_system* sys, int index, int on) {
    if (vm9xh_system::Cable* c = sys->At(index)) c->chip->SetDeferred(on != 0);
}

void vm9xh_complete_all(vm9xh_system* sys, int index) {
    if (vm9xh_system::Cable* c = sys->At(index)) c->chip->CompleteAll();
}

size_t vm9xh_requests(vm9xh_system* sys, int index) {
    vm9xh_system::Cable* c = sys->At(index);
    if (!c) return 0;
    const std::size_t total = c->chip->Log().size();
    const std::size_t fresh = total - c->seen;
    c->seen = total;
    return fresh;
}

int32_t vm9xh_ioctl(vm9xh_system* sys, int index, uint32_t code, const void* in, uint32_t inLength,
                    void* out, uint32_t outLength, uint32_t* information) {
    vm9xh_system::Cable* c = sys->At(index);
    if (!c || !c->pdo->AttachedDevice) return STATUS_NO_SUCH_DEVICE;
    DeviceObject* device = c->pdo->AttachedDevice;
    Kernel& kernel = sys->kernel;
    const std::uint32_t size = std::max(inLength, outLength);
    // The system buffer is exactly as large as the request says, so an overrun is seen.
    void* buffer = nullptr;
    {
        const Pool::Suspend system(kernel.pool());
        buffer = size ? kernel.pool().Allocate(size, PoolTag("SysB")) : nullptr;
    }
    if (inLength) std::memcpy(buffer, in, inLength);
    KEvent done(kernel);
    IoStatusBlock iosb{STATUS_PENDING, 0};
    Irp* irp = nullptr;
    {
        const Pool::Suspend system(kernel.pool());
        irp = IoBuildDeviceIoControlRequest(code, device, buffer, inLength, outLength, false, &done,
                                            &iosb);
    }
    IoCallDriver(device, irp);
    kernel.Wait(done);
    IoFreeIrp(irp);
    const std::size_t copied = std::min<std::size_t>(iosb.Information, outLength);
    if (copied) std::memcpy(out, buffer, copied);
    if (information) *information = static_cast<uint32_t>(iosb.Information);
    {
        const Pool::Suspend system(kernel.pool());
        if (buffer) kernel.pool().Free(buffer);
    }
    return iosb.Status;
}

int32_t vm9xh_set_system_power(vm9xh_system* sys, int index, uint32_t state) {
    vm9xh_system::Cable* c = sys->At(index);
    if (!c || !c->plugged) return STATUS_NO_SUCH_DEVICE;
    return sys->pnp.SetSystemPower(c->pdo, state);
}

int64_t vm9xh_now(vm9xh_system* sys) {
    return sys->kernel.Now();
}

void vm9xh_raise_irql(void) {
    vm9xh_system::saved = KeRaiseIrql(Irql::Dispatch);
}

void vm9xh_lower_irql(void) {
    KeLowerIrql(vm9xh_system::saved);
}

}  // extern "C"
