#include "driver/usbser9x/usbser9x.h"

#include <gtest/gtest.h>

#include "tests/driver/core/pnp_rig.h"

namespace vm::drv::usbser9x {
namespace {

using testing::WithinWatchdog;

const std::string kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbser9x";

struct System {
    System() : bus(kernel), cm(kernel), driver(kernel, "\\Driver\\usbser9x"), pnp(kernel) {
        EXPECT_EQ(DriverEntry(&driver, kService), STATUS_SUCCESS);
    }
    ~System() {
        for (auto& [chip, pdo] : cables) {
            if (pdo->AttachedDevice) {
                chip->Unplug();
                pnp.Remove(pdo);
            }
        }
        Unload();
    }
    void Unload() {
        if (driver.DriverExtension) driver.Unload(&driver);
    }
    DeviceObject* Cable(sim::ChipProfile profile, const char* portName) {
        cables.emplace_back(std::make_unique<sim::SimChip>(kernel, profile), nullptr);
        DeviceObject* pdo = bus.CreatePdo(*cables.back().first);
        cables.back().second = pdo;
        // The installer's value for the device node the cable's device will make (devices are
        // numbered in the order they are added).
        if (portName) SetPortName(cables.size() - 1, portName);
        return pdo;
    }
    void SetPortName(std::size_t cable, const char* portName) {
        const sim::ChipProfile& p = cables[cable].first->profile();
        kernel.registry().SetString(
            ConfigManager::HardwareKey(
                DevNodeId(p.vendorId, p.productId, static_cast<std::uint32_t>(cable))),
            "PORTNAME", portName);
    }
    static Device* Dev(DeviceObject* pdo) {
        return pdo->AttachedDevice ? &pdo->AttachedDevice->Extension<Device>() : nullptr;
    }
    DriverGlobals& Globals() { return *static_cast<DriverGlobals*>(driver.DriverExtension); }

    Kernel kernel;
    UsbBusDriver bus;
    ConfigManager cm;
    DriverObject driver;
    PnpManager pnp;
    std::vector<std::pair<std::unique_ptr<sim::SimChip>, DeviceObject*>> cables;
};

TEST(Usbser9xLifecycle, EveryVariantFromAddDeviceToRemoval) {
    for (int variant = 0; variant <= 4; ++variant) {
        SCOPED_TRACE(variant);
        System sys;
        DeviceObject* pdo = sys.Cable(sim::ChipProfile::ForVariant(variant), "COM12");
        ASSERT_EQ(sys.pnp.AddDevice(sys.driver, pdo), STATUS_SUCCESS);
        Device& dev = *System::Dev(pdo);
        EXPECT_EQ(dev.deviceName, "\\Device\\SerialPort1");
        EXPECT_EQ(sys.kernel.SymbolicLinkTarget("\\DosDevices\\USBCOM-1"), "\\Device\\SerialPort1");
        EXPECT_EQ(dev.devicePowerState, PowerDeviceD3);
        ASSERT_EQ(sys.pnp.Start(pdo), STATUS_SUCCESS);
        EXPECT_EQ(dev.usb.chipVariant, std::min(variant, 3));  // usbser9x knows no variant 4
        EXPECT_EQ(dev.devicePowerState, PowerDeviceD0);
        EXPECT_NE(dev.worker, nullptr);
        EXPECT_EQ(LookupPort(sys.Globals(), 12), &dev);
        EXPECT_EQ(sys.cables[0].first->FlowThreshold(), variant >= 2 ? 3 : 0);
        WithinWatchdog("stop", [&] { EXPECT_EQ(sys.pnp.Stop(pdo), STATUS_SUCCESS); });
        EXPECT_FALSE(sys.cables[0].first->Configured());
        ASSERT_EQ(sys.pnp.Start(pdo), STATUS_SUCCESS);
        EXPECT_EQ(LookupPort(sys.Globals(), 12), &dev);
        WithinWatchdog("remove", [&] { EXPECT_EQ(sys.pnp.Remove(pdo), STATUS_SUCCESS); });
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
        EXPECT_EQ(LookupPort(sys.Globals(), 12), nullptr);
        EXPECT_TRUE(sys.kernel.SymbolicLinks().empty());
        sys.Unload();
        EXPECT_EQ(sys.kernel.pool().LeakReport(), "");
        EXPECT_EQ(sys.kernel.pool().BadFrees(), 0u);
    }
}

TEST(Usbser9xPorts, NamesNumbersAndThePortTable) {
    System sys;
    struct Row {
        const char* portName;
        std::int64_t entry;
    };
    const Row rows[] = {{"COM12", 12}, {"COM5", 5}, {"COM123", 123}};
    std::vector<DeviceObject*> pdos;
    for (const Row& row : rows) {
        DeviceObject* pdo = sys.Cable(sim::ChipProfile::ForVariant(2), row.portName);
        ASSERT_EQ(sys.pnp.AddDevice(sys.driver, pdo), STATUS_SUCCESS);
        ASSERT_EQ(sys.pnp.Start(pdo), STATUS_SUCCESS);
        EXPECT_EQ(LookupPort(sys.Globals(), row.entry), System::Dev(pdo)) << row.portName;
        pdos.push_back(pdo);
    }
    EXPECT_EQ(System::Dev(pdos[1])->deviceName, "\\Device\\SerialPort2");
    EXPECT_EQ(System::Dev(pdos[2])->linkName, "\\DosDevices\\USBCOM-3");
    EXPECT_EQ(LookupPort(sys.Globals(), 300), nullptr);
    EXPECT_EQ(LookupPort(sys.Globals(), -1), nullptr);

    // A changed name moves the entry; relation queries make no second one.
    sys.SetPortName(0, "COM7");
    sys.pnp.QueryDeviceRelations(pdos[0], DeviceRelationType::BusRelations);
    sys.pnp.QueryDeviceRelations(pdos[0], DeviceRelationType::BusRelations);
    EXPECT_EQ(LookupPort(sys.Globals(), 12), nullptr);
    EXPECT_EQ(LookupPort(sys.Globals(), 7), System::Dev(pdos[0]));
    // A device whose name another holds does not clear the other's entry when it goes.
    DeviceObject* twin = sys.Cable(sim::ChipProfile::ForVariant(2), "COM5");
    ASSERT_EQ(sys.pnp.AddDevice(sys.driver, twin), STATUS_SUCCESS);
    ASSERT_EQ(sys.pnp.Start(twin), STATUS_SUCCESS);
    EXPECT_EQ(LookupPort(sys.Globals(), 5), System::Dev(twin));
    Device* first5 = System::Dev(pdos[1]);
    sys.pnp.Remove(pdos[1]);
    EXPECT_EQ(LookupPort(sys.Globals(), 5), System::Dev(twin));
    (void)first5;
}

TEST(Usbser9xPorts, ComNumbersOfPortNames) {
    const std::pair<const char*, std::optional<std::int32_t>> rows[] = {
        {"COM1", 1},
        {"COM255", 255},
        {"COM0", std::nullopt},
        {"COM256", std::nullopt},
        {"COM", std::nullopt},
        {"COM1A", std::nullopt},
        {"COM1234", std::nullopt},
    };
    for (const auto& [name, number] : rows) EXPECT_EQ(ComNumberOf(name), number) << name;
}

TEST(Usbser9xPorts, UnreadablePortNameTakesEntryThreeOnlyWhenFree) {
    System sys;
    DeviceObject* a = sys.Cable(sim::ChipProfile::ForVariant(2), nullptr);
    DeviceObject* b = sys.Cable(sim::ChipProfile::ForVariant(2), "COMX");
    for (DeviceObject* pdo : {a, b}) {
        ASSERT_EQ(sys.pnp.AddDevice(sys.driver, pdo), STATUS_SUCCESS);
        ASSERT_EQ(sys.pnp.Start(pdo), STATUS_SUCCESS);
    }
    EXPECT_EQ(LookupPort(sys.Globals(), 3), System::Dev(a));
    EXPECT_EQ(System::Dev(b)->comNumber, -1);
}

TEST(Usbser9xLifecycle, FailuresTheStartCannotHideFailItAndRemovalDoesNotHang) {
    struct Row {
        const char* name;
        std::function<void(System&, sim::SimChip&)> fault;
        NTSTATUS start;
    };
    const Row rows[] = {
        {"worker thread", [](System& s, sim::SimChip&) { s.kernel.pool().FailAll(kThreadPoolTag); },
         STATUS_INSUFFICIENT_RESOURCES},
        {"configuration",
         [](System&, sim::SimChip& chip) {
             chip.StallWhen([](const sim::WireRecord& r) {
                 return r.kind == sim::WireRecord::Kind::SelectConfiguration;
             });
         },
         STATUS_UNSUCCESSFUL},
        {"unknown chip: class 0 with an 8-byte ep0", nullptr, STATUS_DEVICE_CONFIGURATION_ERROR},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        System sys;
        sim::ChipProfile p = sim::ChipProfile::ForVariant(2);
        if (!row.fault) p.maxPacketSize0 = 8;
        DeviceObject* pdo = sys.Cable(p, "COM4");
        ASSERT_EQ(sys.pnp.AddDevice(sys.driver, pdo), STATUS_SUCCESS);
        if (row.fault) row.fault(sys, *sys.cables[0].first);
        EXPECT_EQ(sys.pnp.Start(pdo), row.start);
        sys.kernel.pool().StopFailing();
        WithinWatchdog("remove", [&] { EXPECT_EQ(sys.pnp.Remove(pdo), STATUS_SUCCESS); });
        sys.Unload();
        EXPECT_EQ(sys.kernel.pool().LeakReport(), "");
    }
}

TEST(Usbser9xAllocationFailures, SweepOverAddStartAndRemove) {
    for (std::size_t k = 0;; ++k) {
        SCOPED_TRACE(k);
        System sys;
        DeviceObject* pdo = sys.Cable(sim::ChipProfile::ForVariant(3), "COM9");
        Pool& pool = sys.kernel.pool();
        pool.FailAfter(k, 1);
        if (NT_SUCCESS(sys.pnp.AddDevice(sys.driver, pdo))) {
            sys.pnp.Start(pdo);
            std::vector<std::string> ids;
            sys.pnp.QueryId(pdo, BusQueryIdType::HardwareIDs, &ids);
            WithinWatchdog("remove", [&] { sys.pnp.Remove(pdo); });
        } else {
            EXPECT_EQ(pdo->AttachedDevice, nullptr);
        }
        const bool failedOne = pool.FailedAllocations() > 0;
        pool.StopFailing();
        EXPECT_TRUE(sys.kernel.SymbolicLinks().empty());
        EXPECT_EQ(LookupPort(sys.Globals(), 9), nullptr);
        sys.Unload();
        EXPECT_EQ(pool.LeakReport(), "");
        EXPECT_EQ(pool.BadFrees(), 0u);
        if (!failedOne) break;
        ASSERT_LT(k, 2000u);
    }
}

}  // namespace
}  // namespace vm::drv::usbser9x
