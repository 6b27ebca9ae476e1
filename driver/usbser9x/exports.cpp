// The exported functions: the port driver's C interface over the driver's globals.
#include <atomic>

#include "driver/usbser9x/usbser9x.h"
#include "driver/usbser9x/usbser9x_entry.h"
#include "driver/usbser9x/usbser9x_exports.h"

namespace {
using namespace vm::drv;
using namespace vm::drv::usbser9x;

std::atomic<DriverGlobals*> g_globals{nullptr};
DriverUnload g_unload = nullptr;

void UnloadAndForget(DriverObject* driver) {
    g_globals.store(nullptr);
    if (g_unload) g_unload(driver);
}

VM9X_BOOL Result(bool ok) {
    return ok ? 1 : 0;
}

template <class F>
VM9X_BOOL WithGlobals(F&& f) {
    DriverGlobals* g = g_globals.load();
    return g ? Result(f(*g)) : 0;
}
}  // namespace

extern "C" {

int32_t vm9x_DriverEntry(void* driverObject, const char* registryPath) {
    auto* driver = static_cast<DriverObject*>(driverObject);
    if (!driver) return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = DriverEntry(driver, registryPath ? registryPath : "");
    if (!NT_SUCCESS(status)) return status;
    g_globals.store(static_cast<DriverGlobals*>(driver->DriverExtension));
    g_unload = driver->Unload;
    driver->Unload = &UnloadAndForget;
    return status;
}

VM9X_BOOL COMOpenedForSerport(uint8_t opened, uint32_t com) {
    return WithGlobals(
        [&](DriverGlobals& g) { return usbser9x::COMOpenedForSerport(g, opened, com); });
}

VM9X_BOOL ReadForSerport(uint32_t, uint8_t enable, uint32_t com) {
    return WithGlobals([&](DriverGlobals& g) { return usbser9x::ReadForSerport(g, enable, com); });
}

VM9X_BOOL WriteForSerport(const uint8_t* data, uint32_t length, uint32_t com) {
    return WithGlobals(
        [&](DriverGlobals& g) { return usbser9x::WriteForSerport(g, data, length, com); });
}

VM9X_BOOL KickTxForSerport(uint32_t com) {
    return WithGlobals([&](DriverGlobals& g) { return usbser9x::KickTxForSerport(g, com); });
}

VM9X_BOOL GetStateForSerport(void* dcb, uint32_t com) {
    return WithGlobals([&](DriverGlobals& g) { return usbser9x::GetStateForSerport(g, dcb, com); });
}

VM9X_BOOL SetStateForSerport(void* dcb, uint32_t kind, uint32_t com) {
    return WithGlobals(
        [&](DriverGlobals& g) { return usbser9x::SetStateForSerport(g, dcb, kind, com); });
}

VM9X_BOOL SetControlLineForSerport(uint8_t line, uint32_t state, uint32_t com) {
    return WithGlobals(
        [&](DriverGlobals& g) { return usbser9x::SetControlLineForSerport(g, line, state, com); });
}

VM9X_BOOL SetBreakForSerport(uint8_t on, uint32_t com) {
    return WithGlobals([&](DriverGlobals& g) { return usbser9x::SetBreakForSerport(g, on, com); });
}

VM9X_BOOL ExtBaudrateForSerport(const char* text) {
    return WithGlobals([&](DriverGlobals& g) { return usbser9x::ExtBaudrateForSerport(g, text); });
}

VM9X_BOOL GetIntStatusForSerport(uint32_t, uint32_t com) {
    return WithGlobals([&](DriverGlobals& g) { return usbser9x::GetIntStatusForSerport(g, com); });
}

VM9X_BOOL SetMSRShadowForSerport(Vm9xStatusFn callback) {
    return WithGlobals([&](DriverGlobals& g) {
        g.statusCallback.store(callback);
        return true;
    });
}

VM9X_BOOL SetReadQueueForSerport(Vm9xReceiveFn callback) {
    return WithGlobals([&](DriverGlobals& g) {
        g.receiveCallback.store(callback);
        return true;
    });
}

VM9X_BOOL CableRemoveForSerport(Vm9xComFn callback) {
    return WithGlobals([&](DriverGlobals& g) {
        g.cableRemovedCallback.store(callback);
        return true;
    });
}

VM9X_BOOL WriteOutQueueForSerport(Vm9xComFn callback) {
    return WithGlobals([&](DriverGlobals& g) {
        g.writeOutCallback.store(callback);
        return true;
    });
}

}  // extern "C"
