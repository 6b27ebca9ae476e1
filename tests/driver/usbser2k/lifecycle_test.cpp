#include "driver/usbser2k/usbser2k.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/driver/core/pnp_rig.h"

namespace vm::drv::usbser2k {
namespace {

using testing::Handle;
using testing::WithinWatchdog;

const std::string kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbser2k";

struct Cable {
    explicit Cable(sim::ChipProfile profile, std::unique_ptr<sim::SimChip> custom = nullptr)
        : bus(kernel),
          chip(custom ? std::move(custom) : std::make_unique<sim::SimChip>(kernel, profile)),
          driver(kernel, "\\Driver\\usbser2k"),
          pnp(kernel) {
        pdo = bus.CreatePdo(*chip);
        EXPECT_EQ(DriverEntry(&driver, kService), STATUS_SUCCESS);
    }
    explicit Cable(int variant) : Cable(sim::ChipProfile::ForVariant(variant)) {}
    ~Cable() {
        if (pdo->AttachedDevice) {
            chip->Unplug();
            pnp.Remove(pdo);
        }
        Unload();
    }
    // Unloads the driver (its global state goes); done once.
    void Unload() {
        if (driver.DriverExtension) driver.Unload(&driver);
    }
    std::string HardwareKey() const { return IoOpenDeviceRegistryKey(pdo); }
    Device* dev() const {
        return pdo->AttachedDevice ? &pdo->AttachedDevice->Extension<Device>() : nullptr;
    }
    NTSTATUS Plug(const char* portName = "COM5") {
        if (portName) kernel.registry().SetString(HardwareKey(), "PortName", portName);
        const NTSTATUS added = pnp.AddDevice(driver, pdo);
        if (!NT_SUCCESS(added)) return added;
        return pnp.Start(pdo);
    }
    // Names, the SERIALCOMM value and the interface the started port has published.
    std::vector<std::string> Published() {
        std::vector<std::string> all = kernel.SymbolicLinks();
        for (const auto& [name, value] : kernel.registry().Values(kSerialCommKey)) {
            all.push_back("SERIALCOMM " + name);
        }
        all.insert(all.end(), kernel.EnabledDeviceInterfaces().size(), "interface");
        return all;
    }

    Kernel kernel;
    UsbBusDriver bus;
    std::unique_ptr<sim::SimChip> chip;
    DriverObject driver;
    PnpManager pnp;
    DeviceObject* pdo = nullptr;
};

const std::vector<std::string> kNamed = {"\\DosDevices\\COM5", "SERIALCOMM \\Device\\Serial0",
                                         "interface"};

// The whole life of a port, for every chip variant: names while started, query-remove and
// query-stop refused while a handle is open, cancel-remove, stop and start again, removal with
// nothing left behind.
TEST(Usbser2kLifecycle, EveryVariantFromAddDeviceToRemoval) {
    for (int variant = 0; variant <= 4; ++variant) {
        SCOPED_TRACE(variant);
        Cable cable(variant);
        ASSERT_EQ(cable.Plug(), STATUS_SUCCESS);
        Device& dev = *cable.dev();
        EXPECT_EQ(dev.usb.chipVariant, variant);
        EXPECT_EQ(dev.deviceName, "\\Device\\Serial0");
        EXPECT_EQ(dev.pnpState.load(), PnpState::Started);
        EXPECT_EQ(cable.Published(), kNamed);
        EXPECT_EQ(cable.kernel.SymbolicLinkTarget("\\DosDevices\\COM5"), "\\Device\\Serial0");
        EXPECT_EQ(cable.kernel.registry().QueryString(kSerialCommKey, "\\Device\\Serial0"), "COM5");

        {
            Handle port(cable.kernel, "\\DosDevices\\COM5");
            ASSERT_EQ(port.status(), STATUS_SUCCESS);
            Handle second(cable.kernel, "\\DosDevices\\COM5");
            EXPECT_EQ(second.status(), STATUS_ACCESS_DENIED);
            EXPECT_EQ(cable.pnp.QueryRemove(cable.pdo), STATUS_DEVICE_BUSY);
            EXPECT_EQ(cable.pnp.QueryStop(cable.pdo), STATUS_DEVICE_BUSY);
            EXPECT_EQ(dev.pnpState.load(), PnpState::Started);
            EXPECT_EQ(port.Close(), STATUS_SUCCESS);
            // Straight after the close the port can be opened again.
            Handle again(cable.kernel, "\\DosDevices\\COM5");
            EXPECT_EQ(again.status(), STATUS_SUCCESS);
        }

        EXPECT_EQ(cable.pnp.QueryRemove(cable.pdo), STATUS_SUCCESS);
        EXPECT_EQ(dev.pnpState.load(), PnpState::RemovePending);
        EXPECT_EQ(Handle(cable.kernel, "\\DosDevices\\COM5").status(),
                  STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(cable.pnp.CancelRemove(cable.pdo), STATUS_SUCCESS);
        EXPECT_EQ(dev.pnpState.load(), PnpState::Started);

        EXPECT_EQ(cable.pnp.QueryStop(cable.pdo), STATUS_SUCCESS);
        WithinWatchdog("stop", [&] { EXPECT_EQ(cable.pnp.Stop(cable.pdo), STATUS_SUCCESS); });
        EXPECT_EQ(dev.pnpState.load(), PnpState::Stopped);
        EXPECT_EQ(Handle(cable.kernel, "\\DosDevices\\COM5").status(),
                  STATUS_INSUFFICIENT_RESOURCES);
        ASSERT_EQ(cable.pnp.Start(cable.pdo), STATUS_SUCCESS);
        EXPECT_EQ(cable.Published(), kNamed);  // named once, kept over the stop
        EXPECT_EQ(Handle(cable.kernel, "\\DosDevices\\COM5").status(), STATUS_SUCCESS);

        EXPECT_EQ(cable.pnp.QueryRemove(cable.pdo), STATUS_SUCCESS);
        WithinWatchdog("remove", [&] { EXPECT_EQ(cable.pnp.Remove(cable.pdo), STATUS_SUCCESS); });
        EXPECT_EQ(cable.pdo->AttachedDevice, nullptr);
        EXPECT_TRUE(cable.Published().empty());
        EXPECT_TRUE(cable.kernel.registry().Values(kSerialCommKey).empty());
        cable.Unload();
        EXPECT_EQ(cable.kernel.pool().LeakReport(), "");
        EXPECT_EQ(cable.kernel.pool().BadFrees(), 0u);
    }
}

TEST(Usbser2kLifecycle, SecondCableTakesTheNextNumberAndEachHasItsOwnNames) {
    Kernel kernel;
    UsbBusDriver bus(kernel);
    sim::SimChip a(kernel, sim::ChipProfile::ForVariant(2)),
        b(kernel, sim::ChipProfile::ForVariant(3));
    DriverObject driver(kernel, "\\Driver\\usbser2k");
    PnpManager pnp(kernel);
    ASSERT_EQ(DriverEntry(&driver, kService), STATUS_SUCCESS);
    DeviceObject* pdoA = bus.CreatePdo(a);
    DeviceObject* pdoB = bus.CreatePdo(b);
    kernel.registry().SetString(IoOpenDeviceRegistryKey(pdoA), "PortName", "COM5");
    kernel.registry().SetString(IoOpenDeviceRegistryKey(pdoB), "PortName", "COM6");
    // A name someone else holds is skipped.
    DeviceObject* squatter = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, "\\Device\\Serial1", 0, 0, false, &squatter), STATUS_SUCCESS);
    for (DeviceObject* pdo : {pdoA, pdoB}) {
        ASSERT_EQ(pnp.AddDevice(driver, pdo), STATUS_SUCCESS);
        ASSERT_EQ(pnp.Start(pdo), STATUS_SUCCESS);
    }
    EXPECT_EQ(pdoA->AttachedDevice->Name, "\\Device\\Serial0");
    EXPECT_EQ(pdoB->AttachedDevice->Name, "\\Device\\Serial2");
    EXPECT_EQ(kernel.SymbolicLinkTarget("\\DosDevices\\COM6"), "\\Device\\Serial2");
    for (DeviceObject* pdo : {pdoA, pdoB}) pnp.Remove(pdo);
    IoDeleteDevice(squatter);
    driver.Unload(&driver);
    EXPECT_EQ(kernel.pool().LeakReport(), "");
}

// How the port is named from the device's hardware key.
TEST(Usbser2kNaming, RegistryValuesDecideTheNames) {
    struct Row {
        const char* name;
        std::function<void(Registry&, const std::string&)> setup;
        std::vector<std::string> published;
    };
    const std::string long256(256, 'C');
    const Row rows[] = {
        {"PortName", [](Registry& r, const std::string& k) { r.SetString(k, "PortName", "COM5"); },
         kNamed},
        {"skip external naming",
         [](Registry& r, const std::string& k) {
             r.SetString(k, "PortName", "COM5");
             r.SetDword(k, "SerialSkipExternalNaming", 1);
         },
         {}},
        {"Identifier only",
         [](Registry& r, const std::string& k) { r.SetString(k, "Identifier", "COM5"); }, kNamed},
        {"neither", [](Registry&, const std::string&) {}, {}},
        {"256 bytes without a NUL",
         [&](Registry& r, const std::string& k) {
             r.SetValue(k, "PortName", {RegType::Sz, std::vector<std::uint8_t>(256, 'C')});
         },
         {}},
        {"PortName of the wrong type, Identifier usable",
         [](Registry& r, const std::string& k) {
             r.SetDword(k, "PortName", 5);
             r.SetString(k, "Identifier", "COM5");
         },
         kNamed},
        {"empty PortName",
         [](Registry& r, const std::string& k) { r.SetString(k, "PortName", ""); },
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Cable cable(2);
        row.setup(cable.kernel.registry(), cable.HardwareKey());
        ASSERT_EQ(cable.Plug(nullptr), STATUS_SUCCESS);  // a port without names still starts
        EXPECT_EQ(cable.Published(), row.published);
        EXPECT_EQ(Handle(cable.kernel, "\\Device\\Serial0").status(), STATUS_SUCCESS);
    }
}

TEST(Usbser2kNaming, FailedRegistryWriteUndoesTheLinkAndTheStartGoesOn) {
    Cable cable(2);
    cable.kernel.registry().SetString(cable.HardwareKey(), "PortName", "COM5");
    ASSERT_EQ(cable.pnp.AddDevice(cable.driver, cable.pdo), STATUS_SUCCESS);
    cable.kernel.registry().FailAfter(0, 1);  // the SERIALCOMM value
    ASSERT_EQ(cable.pnp.Start(cable.pdo), STATUS_SUCCESS);
    cable.kernel.registry().StopFailing();
    EXPECT_TRUE(cable.Published().empty());
}

// "*PNP0501" or "*PNP0502" after the bus's identifiers.
TEST(Usbser2kHardwareIds, PortIdentifierIsAppendedToTheBusList) {
    struct Row {
        const char* name;
        bool silentBus;
        std::optional<std::uint32_t> multiport;
        std::vector<std::string> ids;
    };
    const Row rows[] = {
        {"not multiport",
         false,
         std::nullopt,
         {"USB\\VID_3A71&PID_6142&REV_0302", "USB\\VID_3A71&PID_6142", "*PNP0501"}},
        {"multiport",
         false,
         1,
         {"USB\\VID_3A71&PID_6142&REV_0302", "USB\\VID_3A71&PID_6142", "*PNP0502"}},
        {"multiport 0",
         false,
         0,
         {"USB\\VID_3A71&PID_6142&REV_0302", "USB\\VID_3A71&PID_6142", "*PNP0501"}},
        {"no list from below", true, 1, {"*PNP0502"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto cable = std::make_unique<Cable>(2);
        Kernel* k = &cable->kernel;
        std::unique_ptr<testing::SilentBusChip> silent;
        DeviceObject* pdo = cable->pdo;
        if (row.silentBus) {
            silent = std::make_unique<testing::SilentBusChip>(*k, sim::ChipProfile::ForVariant(2));
            pdo = cable->bus.CreatePdo(*silent);
        }
        if (row.multiport) {
            k->registry().SetDword(IoOpenDeviceRegistryKey(pdo), "MultiportDevice", *row.multiport);
        }
        ASSERT_EQ(cable->pnp.AddDevice(cable->driver, pdo), STATUS_SUCCESS);
        std::vector<std::string> ids;
        EXPECT_EQ(cable->pnp.QueryId(pdo, BusQueryIdType::HardwareIDs, &ids), STATUS_SUCCESS);
        EXPECT_EQ(ids, row.ids);
        // No memory for the new list: the old one is freed and nothing is returned.
        k->pool().FailAfter(0, 1, PoolTag("COMX"));
        EXPECT_EQ(cable->pnp.QueryId(pdo, BusQueryIdType::HardwareIDs, &ids),
                  STATUS_INSUFFICIENT_RESOURCES);
        k->pool().StopFailing();
        EXPECT_TRUE(ids.empty());
        cable->pnp.Remove(pdo);
        cable->Unload();
        EXPECT_EQ(k->pool().LeakReport(), "");
    }
}

// The chip variant comes from the device descriptor and two string characters; a chip no rule
// knows is not started, and a string that cannot be read refines nothing.
TEST(Usbser2kClassification, EveryRuleAndAnUnknownChip) {
    struct Row {
        const char* name;
        std::uint8_t deviceClass;
        std::uint8_t packet;
        bool cAt22;
        bool spaceAt24;
        bool stallStrings;
        NTSTATUS start;
        int variant;
    };
    const Row rows[] = {
        {"class 2", 0x02, 8, false, false, false, STATUS_SUCCESS, 0},
        {"class 0, 8-byte ep0", 0x00, 8, false, false, false, STATUS_SUCCESS, 1},
        {"class FF, 8-byte ep0", 0xFF, 8, false, false, false, STATUS_SUCCESS, 1},
        {"64-byte ep0", 0x00, 64, false, false, false, STATUS_SUCCESS, 2},
        {"64-byte ep0, class FF", 0xFF, 64, false, false, false, STATUS_SUCCESS, 2},
        {"C at 22", 0x00, 64, true, false, false, STATUS_SUCCESS, 3},
        {"space at 24", 0x00, 64, true, true, false, STATUS_SUCCESS, 4},
        {"space at 24 alone", 0x00, 64, false, true, false, STATUS_SUCCESS, 4},
        {"strings unreadable", 0x00, 64, true, true, true, STATUS_SUCCESS, 2},
        {"unknown class 9", 0x09, 8, false, false, false, STATUS_DEVICE_CONFIGURATION_ERROR, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::ChipProfile p = sim::ChipProfile::ForVariant(2);
        p.deviceClass = row.deviceClass;
        p.maxPacketSize0 = row.packet;
        p.product[22] = row.cAt22 ? 'C' : 'A';
        p.manufacturer[24] = row.spaceAt24 ? ' ' : '.';
        Cable cable(p);
        if (row.stallStrings) {
            cable.chip->StallWhen(
                [](const sim::WireRecord& r) {
                    return r.kind == sim::WireRecord::Kind::GetDescriptor && (r.value >> 8) == 3;
                },
                100);
        }
        EXPECT_EQ(cable.Plug(), row.start);
        EXPECT_EQ(cable.dev()->usb.chipVariant, row.variant);
        if (!NT_SUCCESS(row.start)) {
            EXPECT_TRUE(cable.Published().empty());
            EXPECT_EQ(Handle(cable.kernel, "\\Device\\Serial0").status(),
                      STATUS_INSUFFICIENT_RESOURCES);
            // A cancelled removal after the failed start does not make the port openable.
            EXPECT_EQ(cable.pnp.QueryRemove(cable.pdo), STATUS_SUCCESS);
            EXPECT_EQ(cable.pnp.CancelRemove(cable.pdo), STATUS_SUCCESS);
            EXPECT_EQ(Handle(cable.kernel, "\\Device\\Serial0").status(),
                      STATUS_INSUFFICIENT_RESOURCES);
        }
    }
}

TEST(Usbser2kLifecycle, FailingLowerStartConfiguresNothing) {
    Cable cable(2);
    UsbBusDriver::Settings(cable.pdo).startStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(cable.Plug(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(cable.chip->Log().empty());
    EXPECT_TRUE(cable.Published().empty());
}

TEST(Usbser2kLifecycle, ChipWithItsOwnEepromConfigurationIsNotInitialised) {
    Cable cable(2);
    cable.chip->SetEepromMarker(0);
    cable.chip->SetRegister(0, 0x5A);
    ASSERT_EQ(cable.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(cable.chip->Register(0), 0x5A);
    EXPECT_EQ(cable.dev()->usb.chip.shadow[0], 0x5A);  // read back into the shadow
}

TEST(Usbser2kLifecycle, CapabilitiesAllowSurpriseRemovalAndFailedDeviceIsReported) {
    Cable cable(2);
    ASSERT_EQ(cable.Plug(), STATUS_SUCCESS);
    DeviceCapabilities caps;
    ASSERT_EQ(cable.pnp.QueryCapabilities(cable.pdo, &caps), STATUS_SUCCESS);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_EQ(cable.dev()->capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(cable.dev()->capabilities.DeviceWake, PowerDeviceD2);
    std::uint32_t state = 0;
    EXPECT_EQ(cable.pnp.QueryPnpDeviceState(cable.pdo, &state), STATUS_SUCCESS);
    EXPECT_EQ(state & PNP_DEVICE_FAILED, 0u);
    cable.dev()->deviceFlags.fetch_or(kDeviceFailed);
    EXPECT_EQ(cable.pnp.QueryPnpDeviceState(cable.pdo, &state), STATUS_SUCCESS);
    EXPECT_NE(state & PNP_DEVICE_FAILED, 0u);
}

// The cable pulled with the port open: standing transfers end, the buffer is freed once, the
// names go, the close after it succeeds and the removal leaves nothing.
TEST(Usbser2kSurpriseRemoval, WithThePortOpenNothingLeaksOrIsFreedTwice) {
    for (int variant : {0, 2, 4}) {
        SCOPED_TRACE(variant);
        Cable cable(variant);
        ASSERT_EQ(cable.Plug(), STATUS_SUCCESS);
        Handle port(cable.kernel, "\\DosDevices\\COM5");
        ASSERT_EQ(port.status(), STATUS_SUCCESS);
        const std::vector<std::uint8_t> bytes(100, 0x55);
        cable.chip->InjectReceive(bytes);
        EXPECT_EQ(cable.dev()->receiveCount, 100u);
        cable.chip->Unplug();
        WithinWatchdog("surprise removal",
                       [&] { EXPECT_EQ(cable.pnp.SurpriseRemoval(cable.pdo), STATUS_SUCCESS); });
        EXPECT_TRUE(cable.Published().empty());
        EXPECT_EQ(cable.dev()->receiveBuffer, nullptr);
        EXPECT_EQ(port.Close(), STATUS_SUCCESS);
        WithinWatchdog("remove", [&] { EXPECT_EQ(cable.pnp.Remove(cable.pdo), STATUS_SUCCESS); });
        cable.Unload();
        EXPECT_EQ(cable.kernel.pool().LeakReport(), "");
        EXPECT_EQ(cable.kernel.pool().BadFrees(), 0u);
    }
}

// Opens against query-remove on two threads: never both succeed.
TEST(Usbser2kRaces, OpenAgainstQueryRemove) {
    Cable cable(2);
    ASSERT_EQ(cable.Plug(), STATUS_SUCCESS);
    for (int round = 0; round < 100; ++round) {
        std::atomic<int> go{0};
        NTSTATUS opened = STATUS_PENDING, queried = STATUS_PENDING;
        std::unique_ptr<Handle> handle;
        std::thread opener([&] {
            ++go;
            while (go.load() < 2) {
            }
            handle = std::make_unique<Handle>(cable.kernel, "\\DosDevices\\COM5");
            opened = handle->status();
        });
        std::thread remover([&] {
            ++go;
            while (go.load() < 2) {
            }
            queried = cable.pnp.QueryRemove(cable.pdo);
        });
        opener.join();
        remover.join();
        ASSERT_FALSE(NT_SUCCESS(opened) && NT_SUCCESS(queried)) << "round " << round;
        ASSERT_TRUE(NT_SUCCESS(opened) || NT_SUCCESS(queried)) << "round " << round;
        handle.reset();
        if (NT_SUCCESS(queried)) {
            ASSERT_EQ(cable.pnp.CancelRemove(cable.pdo), STATUS_SUCCESS);
        }
    }
}

// Every allocation of adding, starting, naming, opening, closing and removing failed in turn:
// each run ends cleanly, with no leak, no bad free and nothing half published.
TEST(Usbser2kAllocationFailures, SweepOverTheWholeLife) {
    for (std::size_t k = 0;; ++k) {
        SCOPED_TRACE(k);
        Cable cable(3);
        cable.kernel.registry().SetString(cable.HardwareKey(), "PortName", "COM5");
        Pool& pool = cable.kernel.pool();
        pool.FailAfter(k, 1);
        const NTSTATUS added = cable.pnp.AddDevice(cable.driver, cable.pdo);
        if (NT_SUCCESS(added)) {
            const NTSTATUS started = cable.pnp.Start(cable.pdo);
            const auto published = cable.Published();
            EXPECT_TRUE(published.empty() || published == kNamed);
            if (NT_SUCCESS(started)) {
                Handle port(cable.kernel, "\\DosDevices\\COM5");
                std::vector<std::string> ids;
                cable.pnp.QueryId(cable.pdo, BusQueryIdType::HardwareIDs, &ids);
            }
            WithinWatchdog("remove", [&] { cable.pnp.Remove(cable.pdo); });
        } else {
            EXPECT_EQ(added, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(cable.pdo->AttachedDevice, nullptr);
        }
        const bool failedOne = pool.FailedAllocations() > 0;
        pool.StopFailing();
        EXPECT_TRUE(cable.Published().empty());
        cable.Unload();
        EXPECT_EQ(pool.LeakReport(), "");
        EXPECT_EQ(pool.BadFrees(), 0u);
        if (!failedOne) break;
        ASSERT_LT(k, 2000u);
    }
}

}  // namespace
}  // namespace vm::drv::usbser2k
