// What the cable host needs of the driver it runs: loading it, naming a cable's port before
// the driver starts it, and the port a pseudo-terminal is served for. usbser2k and usbser9x
// each provide one (MakeCableDriver, defined once per host program).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "driver/platform/io.h"
#include "driver/platform/kernel.h"
#include "tools/cable/port_side.h"

namespace vm::cable {

class CableDriver {
public:
    virtual ~CableDriver() = default;
    // "usbser2k".
    virtual std::string name() const = 0;
    // Loads the driver onto the driver object (its entry point); false with the reason.
    virtual bool Load(drv::Kernel& kernel, drv::DriverObject* driver, std::string* error) = 0;
    // Gives a cable's port its COM name: after AddDevice, before the start.
    virtual void NamePort(drv::Kernel& kernel, drv::DeviceObject* pdo, std::uint16_t vendorId,
                          std::uint16_t productId, const std::string& com) = 0;
    // Whether the started driver took the COM name (false: it serves the port under another).
    virtual bool HasPort(drv::Kernel& kernel, const std::string& com) = 0;
    // The started port of that COM name, for a pseudo-terminal to serve.
    virtual std::unique_ptr<PortSide> Port(drv::Kernel& kernel, const std::string& com,
                                           PortSide::Log log) = 0;
};

// The driver of this host program. `driverFile`: where to load it from, for a driver that is
// a library of its own (empty: where it is installed).
std::unique_ptr<CableDriver> MakeCableDriver(const std::filesystem::path& driverFile);

}  // namespace vm::cable
