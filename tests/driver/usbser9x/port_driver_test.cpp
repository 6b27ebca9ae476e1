// usbser9x towards the port driver: its calls, callbacks, device node, device-control codes and
// power transitions, driven through the driver's C++ functions on a simulated system.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <thread>

#include "driver/platform/pnp_manager.h"
#include "driver/sim/sim_chip.h"
#include "driver/usbser9x/usbser9x.h"

namespace vm::drv::usbser9x {
namespace {

const std::string kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbser9x";

// What the port driver's callbacks saw (one port driver per test).
struct Seen {
    std::vector<std::uint8_t> received;
    int receiveCalls = 0;
    std::vector<std::uint16_t> statuses;
    std::vector<std::uint32_t> removed;
};
Seen* g_seen = nullptr;

void OnReceive(const std::uint8_t* data, std::uint32_t length, std::uint32_t) {
    g_seen->received.insert(g_seen->received.end(), data, data + length);
    ++g_seen->receiveCalls;
}
void OnStatus(const std::uint16_t* status, std::uint32_t) {
    g_seen->statuses.push_back(*status);
}
void OnRemoved(std::uint32_t com) {
    g_seen->removed.push_back(com);
}

// One cable plugged into a system with the driver loaded; its device node's port is COM4.
struct Port {
    explicit Port(int variant = 2, const char* portName = "COM4")
        : bus(kernel),
          cm(kernel),
          driver(kernel, "\\Driver\\usbser9x"),
          pnp(kernel),
          chip(kernel, sim::ChipProfile::ForVariant(variant)) {
        g_seen = &seen;
        EXPECT_EQ(DriverEntry(&driver, kService), STATUS_SUCCESS);
        g = static_cast<DriverGlobals*>(driver.DriverExtension);
        g->receiveCallback.store(&OnReceive);
        g->statusCallback.store(&OnStatus);
        g->cableRemovedCallback.store(&OnRemoved);
        pdo = bus.CreatePdo(chip);
        if (portName) {
            kernel.registry().SetString(ConfigManager::HardwareKey(NodeId()), "PORTNAME", portName);
        }
    }
    ~Port() {
        if (pdo->AttachedDevice) {
            chip.Unplug();
            pnp.Remove(pdo);
        }
        if (driver.DriverExtension) driver.Unload(&driver);
        EXPECT_EQ(kernel.pool().LeakReport(), "");
        EXPECT_EQ(cm.InvalidRemovals(), 0u);
        g_seen = nullptr;
    }
    std::string NodeId() const {
        return DevNodeId(chip.profile().vendorId, chip.profile().productId, 0);
    }
    void Start() {
        ASSERT_EQ(pnp.AddDevice(driver, pdo), STATUS_SUCCESS);
        ASSERT_EQ(pnp.Start(pdo), STATUS_SUCCESS);
    }
    Device& dev() { return pdo->AttachedDevice->Extension<Device>(); }
    // A buffered device-control request with a system buffer of exactly the larger length.
    NTSTATUS Ioctl(std::uint32_t code, std::vector<std::uint8_t> in, std::uint32_t outLength,
                   std::vector<std::uint8_t>* out = nullptr) {
        const auto size = std::max<std::uint32_t>(static_cast<std::uint32_t>(in.size()), outLength);
        std::uint8_t* buffer = nullptr;
        Irp* irp = nullptr;
        KEvent done(kernel);
        IoStatusBlock iosb{STATUS_PENDING, 0};
        {
            const Pool::Suspend system(kernel.pool());
            if (size)
                buffer = static_cast<std::uint8_t*>(kernel.pool().Allocate(size, PoolTag("SysB")));
            irp = IoBuildDeviceIoControlRequest(code, pdo->AttachedDevice, buffer,
                                                static_cast<std::uint32_t>(in.size()), outLength,
                                                false, &done, &iosb);
        }
        if (!in.empty()) std::memcpy(buffer, in.data(), in.size());
        IoCallDriver(pdo->AttachedDevice, irp);
        kernel.Wait(done);
        IoFreeIrp(irp);
        if (out) out->assign(buffer, buffer + std::min<std::size_t>(iosb.Information, outLength));
        EXPECT_LE(iosb.Information, outLength);
        const Pool::Suspend system(kernel.pool());
        if (buffer) kernel.pool().Free(buffer);
        return iosb.Status;
    }
    std::size_t WireCount() const { return chip.Log().size(); }

    Seen seen;
    Kernel kernel;
    UsbBusDriver bus;
    ConfigManager cm;
    DriverObject driver;
    PnpManager pnp;
    sim::SimChip chip;
    DeviceObject* pdo = nullptr;
    DriverGlobals* g = nullptr;
};

std::uint16_t Word(const std::vector<std::uint8_t>& d, std::size_t at) {
    return static_cast<std::uint16_t>(d[at] | d[at + 1] << 8);
}

TEST(Usbser9xDevNode, CarriesThePortsResourcesAndAnEnumeratorAndIsMadeOnce) {
    Port port;
    port.Start();
    auto nodes = port.cm.Nodes();
    ASSERT_EQ(nodes.size(), 1u);
    const ConfigManager::Node& node = nodes.begin()->second;
    EXPECT_EQ(node.id, "USBPorts\\VID_3A71&PID_6142\\0000");
    ASSERT_EQ(node.logConfs.size(), 1u);
    EXPECT_EQ(node.logConfs[0].priority, 0x3000u);
    ASSERT_EQ(node.logConfs[0].resources.size(), 1u);
    const ConfigManager::ResDes& io = node.logConfs[0].resources[0];
    EXPECT_EQ(io.type, ResType_IO);
    ASSERT_EQ(io.data.size(), 108u);
    EXPECT_EQ(Word(io.data, 0), 5);   // alternatives
    EXPECT_EQ(Word(io.data, 2), 12);  // of the range type
    const std::uint16_t ranges[5][2] = {
        {0x3F8, 0x3FF}, {0x2F8, 0x2FF}, {0x3E8, 0x3EF}, {0x2E8, 0x2EF}, {0x0000, 0xFFFF}};
    for (std::size_t i = 0; i < 5; ++i) {
        const std::size_t at = 12 + 12 * i;
        EXPECT_EQ(Word(io.data, at), 0xFFFF) << i;
        EXPECT_EQ(Word(io.data, at + 2), 8) << i;
        EXPECT_EQ(Word(io.data, at + 4), ranges[i][0]) << i;
        EXPECT_EQ(Word(io.data, at + 6), ranges[i][1]) << i;
        EXPECT_EQ(io.data[at + 10], 0xFF) << i;
        EXPECT_EQ(io.data[at + 11], 0xFF) << i;
    }
    ASSERT_NE(node.enumerator, nullptr);
    for (std::uint32_t f = 0; f < 16; ++f) {
        const bool handled = f <= 6 || f == 10 || f == 15;
        EXPECT_EQ(node.enumerator(f, 0, 0, nullptr, 0), handled ? CR_SUCCESS : CR_DEFAULT) << f;
    }
    EXPECT_EQ(LookupPort(*port.g, 4), &port.dev());
    std::vector<std::uint8_t> handle;
    ASSERT_EQ(port.Ioctl(ioctl::kGetDevNode, {}, 4, &handle), STATUS_SUCCESS);
    EXPECT_EQ(handle[0] | handle[1] << 8, static_cast<int>(port.dev().devNode));
    // Relation queries (several per enumeration) make no second node.
    port.pnp.QueryDeviceRelations(port.pdo, DeviceRelationType::BusRelations);
    port.pnp.QueryDeviceRelations(port.pdo, DeviceRelationType::BusRelations);
    EXPECT_EQ(port.cm.Nodes().size(), 1u);
    port.chip.Unplug();
    port.pnp.Remove(port.pdo);
    EXPECT_TRUE(port.cm.Nodes().empty());
    EXPECT_EQ(LookupPort(*port.g, 4), nullptr);
}

TEST(Usbser9xDevNode, WithoutANodeOrAReadablePortNameThePortIsComThree) {
    struct Row {
        const char* name;
        ConfigManager::Call fail;
        const char* portName;
    };
    const Row rows[] = {
        {"root not found", ConfigManager::Call::LocateRoot, "COM4"},
        {"node not created", ConfigManager::Call::CreateDevNode, "COM4"},
        {"value unreadable", ConfigManager::Call::ReadRegistryValue, "COM4"},
        {"no value", ConfigManager::Call::RemoveSubTree, nullptr},
        {"COM0", ConfigManager::Call::RemoveSubTree, "COM0"},
        {"COM256", ConfigManager::Call::RemoveSubTree, "COM256"},
        {"longer than 64 bytes", ConfigManager::Call::RemoveSubTree,
         "COM4567890123456789012345678901234567890123456789012345678901234567890"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Port port(2, row.portName);
        if (row.fail != ConfigManager::Call::RemoveSubTree) port.cm.FailNext(row.fail);
        port.Start();
        EXPECT_EQ(port.dev().comNumber.load(), 3);
        EXPECT_EQ(LookupPort(*port.g, 3), &port.dev());
        EXPECT_EQ(LookupPort(*port.g, 4), nullptr);
    }
}

TEST(Usbser9xDevNode, RemovedWhileOpenTheNodeStaysUntilUnloadAndGoesOnce) {
    Port port;
    port.Start();
    ASSERT_TRUE(COMOpenedForSerport(*port.g, 1, 4));
    port.chip.Unplug();
    port.pnp.Remove(port.pdo);
    EXPECT_EQ(port.seen.removed, std::vector<std::uint32_t>{4});
    EXPECT_EQ(port.cm.Nodes().size(), 1u);
    // The port driver's close after the cable went: refused, nothing touched.
    EXPECT_FALSE(COMOpenedForSerport(*port.g, 0, 4));
    port.driver.Unload(&port.driver);
    EXPECT_TRUE(port.cm.Nodes().empty());
}

TEST(Usbser9xIoctl, ShortBuffersAreRefusedAndSendNothing) {
    struct Row {
        std::uint32_t code;
        std::size_t in;
        std::uint32_t out;
    };
    const Row rows[] = {
        {ioctl::kSetBaudRate, 3, 0},    {ioctl::kSetLineControl, 2, 0},
        {ioctl::kGetModemStatus, 0, 3}, {ioctl::kSetPortNumber, 0, 0},
        {ioctl::kGetDevNode, 0, 3},
    };
    Port port;
    port.Start();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        const std::size_t wire = port.WireCount();
        EXPECT_EQ(port.Ioctl(row.code, std::vector<std::uint8_t>(row.in, 0x25), row.out),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(port.WireCount(), wire);
    }
    EXPECT_EQ(port.Ioctl(0x001B0040, {}, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port.Ioctl(ioctl::kNothing, {}, 0), STATUS_SUCCESS);
}

TEST(Usbser9xIoctl, CaptureIsBoundedAndTakenIntoTheCallersBufferOnly) {
    Port port;
    port.Start();
    ASSERT_EQ(port.Ioctl(ioctl::kOpenPort, {}, 0), STATUS_SUCCESS);
    std::vector<std::uint8_t> bytes(500);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
    port.chip.InjectReceive(bytes);
    EXPECT_EQ(port.seen.receiveCalls, 0);
    std::vector<std::uint8_t> out;
    ASSERT_EQ(port.Ioctl(ioctl::kTakeCapture, {}, 1000, &out), STATUS_SUCCESS);
    // 384 bytes kept; the rest dropped.
    ASSERT_EQ(out.size(), kCaptureSize);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin()));
    // Capture off: bytes go to the port driver again; purge switches it on and empties it.
    port.chip.InjectReceive(std::vector<std::uint8_t>{1, 2});
    EXPECT_EQ(port.seen.received, (std::vector<std::uint8_t>{1, 2}));
    ASSERT_EQ(port.Ioctl(ioctl::kPurge, {0x0F, 0, 0, 0}, 0), STATUS_SUCCESS);
    port.chip.InjectReceive(std::vector<std::uint8_t>{3, 4, 5});
    ASSERT_EQ(port.Ioctl(ioctl::kTakeCapture, {}, 2, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{3, 4}));
    // Closing through the code records D3 (an idle port), not an unknown state.
    ASSERT_EQ(port.Ioctl(ioctl::kClosePort, {}, 0), STATUS_SUCCESS);
    EXPECT_EQ(port.dev().devicePowerState.load(), PowerDeviceD3);
    EXPECT_FALSE(port.dev().portOpen.load());
    // The modem status and a new port number.
    port.dev().lastStatus.store(0x82);
    ASSERT_EQ(port.Ioctl(ioctl::kGetModemStatus, {}, 4, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x82, 0, 0, 0}));
    ASSERT_EQ(port.Ioctl(ioctl::kSetPortNumber, {9}, 0), STATUS_SUCCESS);
    EXPECT_EQ(LookupPort(*port.g, 9), &port.dev());
    EXPECT_EQ(LookupPort(*port.g, 4), nullptr);
}

TEST(Usbser9xWrite, AFailedSubmissionDoesNotLeaveTheWritePending) {
    Port port;
    port.Start();
    ASSERT_TRUE(COMOpenedForSerport(*port.g, 1, 4));
    const std::uint8_t data[] = {'h', 'i'};
    port.kernel.pool().FailAll(PoolTag("Wdm "));
    EXPECT_FALSE(WriteForSerport(*port.g, data, 2, 4));
    port.kernel.pool().StopFailing();
    // A transfer the chip refuses at once is reported, and ends the write too.
    port.chip.StallWhen(
        [](const sim::WireRecord& r) { return r.kind == sim::WireRecord::Kind::BulkOut; });
    EXPECT_FALSE(WriteForSerport(*port.g, data, 2, 4));
    EXPECT_TRUE(WriteForSerport(*port.g, data, 2, 4));
    EXPECT_EQ(port.chip.Transmitted(), (std::vector<std::uint8_t>{'h', 'i'}));
    EXPECT_EQ(port.dev().usb.pendingWriteCount.Value(), 0);
    // Nothing, too much, or no data: refused.
    EXPECT_FALSE(WriteForSerport(*port.g, data, 0, 4));
    EXPECT_FALSE(WriteForSerport(*port.g, nullptr, 2, 4));
    std::vector<std::uint8_t> big(kMaxWriteLength + 1);
    EXPECT_FALSE(WriteForSerport(*port.g, big.data(), static_cast<std::uint32_t>(big.size()), 4));
}

TEST(Usbser9xClose, WaitsBitTimesInWideArithmeticAndDropsTheLines) {
    struct Row {
        std::uint32_t rate;
        TimeUnits wait;
    };
    // 1280 bit times; a very slow rate waits at most a second.
    const Row rows[] = {
        {38400, 1280LL * kSecond / 38400}, {9600, 1280LL * kSecond / 9600}, {75, kSecond}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rate);
        Port port(1);
        port.Start();
        ASSERT_TRUE(COMOpenedForSerport(*port.g, 1, 4));
        std::array<std::uint8_t, kDcbSize> dcb{};
        std::memcpy(dcb.data() + kDcbBaudRate, &row.rate, 4);
        ASSERT_TRUE(SetStateForSerport(*port.g, dcb.data(), 2, 4));
        ASSERT_TRUE(SetControlLineForSerport(*port.g, 1, 1, 4));
        ASSERT_TRUE(SetControlLineForSerport(*port.g, 2, 1, 4));
        ASSERT_TRUE(SetControlLineForSerport(*port.g, 3, 1, 4));
        EXPECT_EQ(port.chip.Register(0) & 0x40, 0x40);
        const TimeUnits before = port.kernel.Now();
        ASSERT_TRUE(COMOpenedForSerport(*port.g, 0, 4));
        EXPECT_EQ(port.kernel.Now() - before, row.wait);
        EXPECT_EQ(port.chip.ControlLineState(), 0);
        EXPECT_EQ(port.chip.Register(0) & 0x40, 0);
    }
}

// The port driver may set a line from two threads at once: each turns DTR off and on many
// times; the chip ends with what the last calls asked for.
TEST(Usbser9xState, ALineSetFromTwoThreadsAtOnceEndsAsTheLastCallsSay) {
    Port port;
    port.Start();
    ASSERT_TRUE(COMOpenedForSerport(*port.g, 1, 4));
    constexpr int kTimes = 300;
    auto toggle = [&] {
        bool ok = true;
        for (int i = 0; i < kTimes; ++i) {
            ok = SetControlLineForSerport(*port.g, 1, static_cast<std::uint32_t>(i % 2), 4) && ok;
        }
        return ok;
    };
    auto first = std::async(std::launch::async, toggle);
    auto second = std::async(std::launch::async, toggle);
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(second.get());
    // The last call of each thread turned DTR on (kTimes is even: i = kTimes - 1 is odd).
    EXPECT_EQ(port.chip.ControlLineState(), 1);
    ASSERT_TRUE(SetControlLineForSerport(*port.g, 1, 0, 4));
    EXPECT_EQ(port.chip.ControlLineState(), 0);
}

TEST(Usbser9xState, LineSettingsTheChipCannotTakeAreRefused) {
    Port port;
    port.Start();
    struct Row {
        std::uint8_t byteSize, parity, stopBits;
        bool ok;
    };
    const Row rows[] = {{8, 0, 0, true},  {5, 4, 2, true},  {4, 0, 0, false},
                        {9, 0, 0, false}, {8, 5, 0, false}, {8, 0, 3, false}};
    for (const Row& row : rows) {
        std::array<std::uint8_t, kDcbSize> dcb{};
        dcb[kDcbByteSize] = row.byteSize;
        dcb[kDcbParity] = row.parity;
        dcb[kDcbStopBits] = row.stopBits;
        const std::size_t wire = port.WireCount();
        EXPECT_EQ(SetStateForSerport(*port.g, dcb.data(), 1, 4), row.ok) << int(row.byteSize);
        if (!row.ok) {
            EXPECT_EQ(port.WireCount(), wire);
        }
        if (row.ok) {
            const auto coding = port.chip.LineCodingBytes();
            EXPECT_EQ(coding[4], row.stopBits);
            EXPECT_EQ(coding[5], row.parity);
            EXPECT_EQ(coding[6], row.byteSize);
        }
    }
    // Above passive level nothing that waits is done.
    IrqlScope raised(Irql::Dispatch);
    std::array<std::uint8_t, kDcbSize> dcb{};
    EXPECT_FALSE(SetStateForSerport(*port.g, dcb.data(), 2, 4));
    EXPECT_FALSE(GetStateForSerport(*port.g, dcb.data(), 4));
    EXPECT_FALSE(GetIntStatusForSerport(*port.g, 4));
}

// A port driver that asks for the next block from inside its receive callback, while the
// completion that called it is about to start the next transfer itself: one receive stands.
DriverGlobals* g_readAgain = nullptr;
void ReceiveAndReadAgain(const std::uint8_t* data, std::uint32_t length, std::uint32_t com) {
    OnReceive(data, length, com);
    ReadForSerport(*g_readAgain, 1, com);
}

TEST(Usbser9xRead, ReadForSerportFromInsideTheReceiveCallbackLeavesOneStandingReceive) {
    Port port;
    port.Start();
    g_readAgain = port.g;
    port.g->receiveCallback.store(&ReceiveAndReadAgain);
    ASSERT_TRUE(COMOpenedForSerport(*port.g, 1, 4));
    ASSERT_TRUE(ReadForSerport(*port.g, 1, 4));
    EXPECT_EQ(port.chip.WaitingReceives(), 1u);
    for (int i = 0; i < 3; ++i) {
        port.chip.InjectReceive(std::vector<std::uint8_t>{'a', static_cast<std::uint8_t>('0' + i)});
        EXPECT_EQ(port.chip.WaitingReceives(), 1u) << "after block " << i;
    }
    EXPECT_EQ(port.seen.receiveCalls, 3);
    EXPECT_EQ(port.seen.received, (std::vector<std::uint8_t>{'a', '0', 'a', '1', 'a', '2'}));
    g_readAgain = nullptr;
}

TEST(Usbser9xPower, SleepAndWakeWithThePortOpenRestoresTheChipAndDataFlows) {
    for (int variant : {1, 2, 3}) {
        SCOPED_TRACE(variant);
        Port port(variant);
        port.Start();
        Device& dev = port.dev();
        ASSERT_TRUE(COMOpenedForSerport(*port.g, 1, 4));
        ASSERT_TRUE(ReadForSerport(*port.g, 1, 4));
        std::array<std::uint8_t, kDcbSize> dcb{};
        const std::uint32_t rate = 57600;
        std::memcpy(dcb.data() + kDcbBaudRate, &rate, 4);
        dcb[kDcbByteSize] = 7;
        dcb[kDcbParity] = 2;
        ASSERT_TRUE(SetStateForSerport(*port.g, dcb.data(), 2, 4));
        ASSERT_TRUE(SetStateForSerport(*port.g, dcb.data(), 1, 4));
        ASSERT_TRUE(SetControlLineForSerport(*port.g, 1, 1, 4));  // DTR on, RTS off
        ASSERT_TRUE(SetControlLineForSerport(*port.g, 3, 1, 4));  // CTS handshake
        if (variant >= 3) {
            ASSERT_TRUE(SetControlLineForSerport(*port.g, 5, 1, 4));
        }
        const std::array<std::uint8_t, 3> registers{port.chip.Register(0), port.chip.Register(1),
                                                    port.chip.Register(2)};
        const auto coding = port.chip.LineCodingBytes();
        const std::uint8_t threshold = port.chip.FlowThreshold();

        ASSERT_EQ(port.pnp.SetSystemPower(port.pdo, PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_EQ(dev.devicePowerState.load(), PowerDeviceD3);
        EXPECT_FALSE(port.chip.Powered());
        ASSERT_EQ(port.pnp.SetSystemPower(port.pdo, PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(dev.devicePowerState.load(), PowerDeviceD0);
        EXPECT_EQ(port.chip.PowerLosses(), 1);
        EXPECT_EQ(port.chip.Register(0), registers[0]);
        EXPECT_EQ(port.chip.Register(1), registers[1]);
        EXPECT_EQ(port.chip.Register(2), registers[2]);
        EXPECT_EQ(port.chip.LineCodingBytes(), coding);
        EXPECT_EQ(port.chip.ControlLineState(), 1);
        EXPECT_EQ(port.chip.FlowThreshold(), threshold);
        // No rate of 0 went to the chip on the way back.
        for (const sim::WireRecord& r : port.chip.Log()) {
            if (r.kind == sim::WireRecord::Kind::Control && r.request == 0x20) {
                ASSERT_EQ(r.data.size(), 7u);
                EXPECT_NE(r.data[0] | r.data[1] << 8 | r.data[2] << 16, 0);
            }
        }
        // Data flows again without a reopen, and so does status.
        port.chip.InjectReceive(std::vector<std::uint8_t>{'o', 'k'});
        EXPECT_EQ(port.seen.received, (std::vector<std::uint8_t>{'o', 'k'}));
        port.chip.InjectStatus({0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0});
        ASSERT_FALSE(port.seen.statuses.empty());
        EXPECT_EQ(port.seen.statuses.back(), 0x80);
    }
}

// Every power request released on the failure paths: a device request the bus fails never fails
// the system request, and the next transitions run.
TEST(Usbser9xPower, FailedDeviceRequestsLeaveTheSystemRequestsGoingAndNothingHeld) {
    Port port;
    port.Start();
    Device& dev = port.dev();
    PdoSettings& bus = UsbBusDriver::Settings(port.pdo);
    bus.devicePowerStatus = STATUS_DEVICE_POWERED_OFF;
    EXPECT_EQ(port.pnp.SetSystemPower(port.pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    // Going down, the state is recorded before the bus answers; the chip stayed powered.
    EXPECT_EQ(dev.devicePowerState.load(), PowerDeviceD3);
    EXPECT_TRUE(port.chip.Powered());
    bus.devicePowerStatus = STATUS_SUCCESS;
    EXPECT_EQ(port.pnp.SetSystemPower(port.pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(dev.devicePowerState.load(), PowerDeviceD0);
    EXPECT_EQ(port.pnp.SetSystemPower(port.pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_FALSE(port.chip.Powered());
    bus.devicePowerStatus = STATUS_DEVICE_POWERED_OFF;
    EXPECT_EQ(port.pnp.SetSystemPower(port.pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(dev.devicePowerState.load(), PowerDeviceD3);
    EXPECT_EQ(
        port.pnp
            .SendPower(port.pdo, IRP_MN_SET_POWER, PowerStateType::DevicePowerState, PowerDeviceD0)
            .status,
        STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(dev.devicePowerState.load(), PowerDeviceD3);
    bus.devicePowerStatus = STATUS_SUCCESS;
    EXPECT_EQ(port.pnp
                  .SendPower(port.pdo, IRP_MN_QUERY_POWER, PowerStateType::SystemPowerState,
                             PowerSystemSleeping1)
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(port.pnp.SetSystemPower(port.pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(dev.devicePowerState.load(), PowerDeviceD0);
    for (DeviceObject* d : {port.pdo->AttachedDevice, port.pdo}) {
        EXPECT_EQ(d->activePowerIrp[0].load(), nullptr);
        EXPECT_EQ(d->activePowerIrp[1].load(), nullptr);
    }
}

TEST(Usbser9xPower, DeviceStatesAreRecordedAsTheyChangeAndBadStatesRefused) {
    Port port;
    port.Start();
    Device& dev = port.dev();
    struct Row {
        PowerStateType type;
        std::uint32_t state;
        NTSTATUS status;
        std::uint32_t recorded;
    };
    const Row rows[] = {
        {PowerStateType::DevicePowerState, PowerDeviceD2, STATUS_SUCCESS, PowerDeviceD2},
        {PowerStateType::DevicePowerState, PowerDeviceD0, STATUS_SUCCESS, PowerDeviceD0},
        {PowerStateType::DevicePowerState, 5, STATUS_INVALID_PARAMETER, PowerDeviceD0},
        {PowerStateType::SystemPowerState, PowerSystemHibernate, STATUS_SUCCESS, PowerDeviceD3},
        {PowerStateType::SystemPowerState, 9, STATUS_INVALID_PARAMETER, PowerDeviceD3},
        {PowerStateType::SystemPowerState, PowerSystemWorking, STATUS_SUCCESS, PowerDeviceD0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.state);
        EXPECT_EQ(port.pnp.SendPower(port.pdo, IRP_MN_SET_POWER, row.type, row.state).status,
                  row.status);
        EXPECT_EQ(dev.devicePowerState.load(), row.recorded);
    }
    // Wait-wake goes to the bus, which keeps it until the device wakes the system; the device
    // node stays meanwhile.
    auto wake = std::async(std::launch::async, [&] {
        return port.pnp.SendPower(port.pdo, IRP_MN_WAIT_WAKE, PowerStateType::SystemPowerState,
                                  PowerSystemSleeping3);
    });
    while (!UsbBusDriver::WaitWakePending(port.pdo)) std::this_thread::yield();
    EXPECT_EQ(port.cm.Nodes().size(), 1u);
    EXPECT_EQ(LookupPort(*port.g, 4), &dev);
    ASSERT_TRUE(UsbBusDriver::SignalRemoteWake(port.pdo));
    EXPECT_EQ(wake.get().status, STATUS_SUCCESS);
    EXPECT_EQ(port.cm.Nodes().size(), 1u);
}

}  // namespace
}  // namespace vm::drv::usbser9x
