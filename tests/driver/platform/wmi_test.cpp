// The WMI library's dispatch and the serial port's five data blocks.
#include "driver/platform/wmi.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vm::drv {
namespace {

std::uint32_t U32(const std::vector<std::uint8_t>& d, std::size_t at) {
    return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | static_cast<std::uint32_t>(d[at + 3]) << 24;
}

SerialWmiPort SamplePort() {
    SerialWmiPort p;
    p.portName = "COM5";
    p.baudRate = 38400;
    p.bitsPerByte = 8;
    p.parity = 3;  // mark
    p.stopBits = 2;
    p.xonLimit = 512;
    p.xoffLimit = 128;
    p.counters = {1, 2, 3, 4, 5, 6};
    p.receiveBufferSize = 1024;
    return p;
}

TEST(SerialWmiBlocks, ExactBuffersAreFilledAndShortOnesGetTheSizeNeeded) {
    const SerialWmiPort port = SamplePort();
    const std::uint32_t sizes[] = {10, 64, 32, 24, 68};
    for (std::uint32_t index = 0; index < serial_wmi::kBlocks; ++index) {
        SCOPED_TRACE(index);
        std::vector<std::uint8_t> exact(sizes[index], 0xA5);
        std::uint32_t bytes = 0;
        ASSERT_EQ(SerialWmiQuery(index, port, exact, &bytes), STATUS_SUCCESS);
        EXPECT_EQ(bytes, sizes[index]);
        std::vector<std::uint8_t> shorter(sizes[index] - 1, 0xA5);
        EXPECT_EQ(SerialWmiQuery(index, port, shorter, &bytes), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(bytes, sizes[index]);
        EXPECT_EQ(std::count(shorter.begin(), shorter.end(), 0xA5),
                  static_cast<std::ptrdiff_t>(shorter.size()));  // nothing written
        EXPECT_EQ(SerialWmiSet(index), STATUS_INVALID_DEVICE_REQUEST);
    }
    std::uint32_t bytes = 0;
    std::vector<std::uint8_t> any(100);
    EXPECT_EQ(SerialWmiQuery(5, port, any, &bytes), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(SerialWmiSet(5), STATUS_WMI_GUID_NOT_FOUND);
}

TEST(SerialWmiBlocks, Contents) {
    const SerialWmiPort port = SamplePort();
    auto block = [&](std::uint32_t index) {
        std::vector<std::uint8_t> out(SerialWmiBlockSize(index, port), 0xA5);
        std::uint32_t bytes = 0;
        EXPECT_EQ(SerialWmiQuery(index, port, out, &bytes), STATUS_SUCCESS);
        return out;
    };
    EXPECT_EQ(block(0), (std::vector<std::uint8_t>{8, 0, 'C', 0, 'O', 0, 'M', 0, '5', 0}));
    const auto comm = block(1);
    EXPECT_EQ(U32(comm, 0), 38400u);
    EXPECT_EQ(U32(comm, 4), 8u);
    EXPECT_EQ(U32(comm, 8), 4u);  // mark in WMI's coding
    EXPECT_EQ(comm[12], 1);
    EXPECT_EQ(U32(comm, 16), 2u);
    EXPECT_EQ(U32(comm, 20), 0x13u);
    EXPECT_EQ(U32(comm, 24), 128u);
    EXPECT_EQ(U32(comm, 28), 0x11u);
    EXPECT_EQ(U32(comm, 32), 512u);
    EXPECT_EQ(U32(comm, 36), 115200u);  // highest of 0x10067FF9
    EXPECT_EQ(U32(comm, 40), 0xFFFFFFFFu);
    EXPECT_EQ(U32(comm, 44), 0xFFFFFFFFu);
    EXPECT_EQ(comm[48], 0);
    for (std::size_t i = 49; i < 60; ++i) EXPECT_EQ(comm[i], 1) << i;
    EXPECT_EQ(comm[60], 0);
    EXPECT_EQ(block(2), std::vector<std::uint8_t>(32, 0));
    const auto perf = block(3);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(U32(perf, 4 * i), i + 1);
    const auto props = block(4);
    EXPECT_EQ(props[0] | props[1] << 8, 64);
    EXPECT_EQ(props[2] | props[3] << 8, 2);
    EXPECT_EQ(U32(props, 20), 0x10000000u);
    EXPECT_EQ(U32(props, 36), 0x10067FF9u);
    EXPECT_EQ(props[40] | props[41] << 8, 0x000F);
    EXPECT_EQ(props[42] | props[43] << 8, 0x1F07);
    EXPECT_EQ(U32(props, 48), 1024u);
    for (std::size_t i = 52; i < 68; ++i) EXPECT_EQ(props[i], 0) << i;  // no byte left unset
}

TEST(SerialWmiBlocks, MaximumRateFollowsTheMasksOrder) {
    const std::pair<std::uint32_t, std::uint32_t> rows[] = {{0, 0},
                                                            {0x01, 75},
                                                            {0x4000 | 0x01, 38400},
                                                            {0x00040000 | 0x00008000, 57344},
                                                            {0x00010000 | 0x00020000, 131072},
                                                            {0x10000000, 0}};
    for (const auto& [mask, rate] : rows) EXPECT_EQ(MaximumBaudRateOf(mask), rate) << mask;
}

struct WmiRig {
    static NTSTATUS RegInfo(DeviceObject*, std::uint32_t* flags, std::string* path,
                            DeviceObject** pdo) {
        *flags = WMIREG_FLAG_INSTANCE_PDO;
        *path = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbser2k";
        *pdo = nullptr;
        return STATUS_SUCCESS;
    }
    static NTSTATUS Query(DeviceObject*, std::uint32_t index, std::uint32_t,
                          std::span<std::uint8_t> buffer, std::uint32_t* bytes) {
        return SerialWmiQuery(index, SamplePort(), buffer, bytes);
    }
    static NTSTATUS Set(DeviceObject*, std::uint32_t index, std::uint32_t,
                        std::span<const std::uint8_t>) {
        return SerialWmiSet(index);
    }
};

TEST(WmiLibrary, DispatchesQueriesAndChangesOfThisDeviceOnly) {
    Kernel kernel;
    DriverObject driver(kernel, "\\Driver\\wmi");
    DeviceObject* device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, "", FILE_DEVICE_SERIAL_PORT, 0, false, &device),
              STATUS_SUCCESS);
    const WmiLibInfo info{serial_wmi::kGuids, &WmiRig::RegInfo, &WmiRig::Query, &WmiRig::Set};
    struct Row {
        std::uint8_t minor;
        const char* guid;
        std::uint32_t size;
        NTSTATUS status;
        std::uintptr_t information;
    };
    const Row rows[] = {
        {IRP_MN_QUERY_SINGLE_INSTANCE, serial_wmi::kGuids[1].guid, 64, STATUS_SUCCESS, 64},
        {IRP_MN_QUERY_ALL_DATA, serial_wmi::kGuids[4].guid, 67, STATUS_BUFFER_TOO_SMALL, 68},
        {IRP_MN_CHANGE_SINGLE_INSTANCE, serial_wmi::kGuids[0].guid, 10,
         STATUS_INVALID_DEVICE_REQUEST, 0},
        {IRP_MN_QUERY_SINGLE_INSTANCE, "{00000000-0000-0000-0000-000000000000}", 64,
         STATUS_WMI_GUID_NOT_FOUND, 0},
        {IRP_MN_ENABLE_EVENTS, serial_wmi::kGuids[0].guid, 0, STATUS_INVALID_DEVICE_REQUEST, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.guid);
        std::vector<std::uint8_t> buffer(row.size);
        Irp* irp = IoAllocateIrp(kernel, 1);
        IoStatusBlock iosb;
        irp->UserIosb = &iosb;
        IoSetNextIrpStackLocation(irp);
        IoStackLocation* s = IoGetCurrentIrpStackLocation(irp);
        s->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        s->MinorFunction = row.minor;
        s->Parameters.WMI = {reinterpret_cast<std::uintptr_t>(device), row.guid, row.size,
                             buffer.data()};
        WmiDisposition disposition;
        EXPECT_EQ(WmiSystemControl(info, device, irp, &disposition), row.status);
        EXPECT_EQ(disposition, WmiDisposition::Completed);
        EXPECT_EQ(iosb.Status, row.status);
        EXPECT_EQ(iosb.Information, row.information);
        IoFreeIrp(irp);
    }
    // Another provider's request is not this device's to answer.
    Irp* irp = IoAllocateIrp(kernel, 1);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->Parameters.WMI.ProviderId = 1;
    WmiDisposition disposition;
    WmiSystemControl(info, device, irp, &disposition);
    EXPECT_EQ(disposition, WmiDisposition::NotWmiIrp);
    IoFreeIrp(irp);
    // Registration is once.
    EXPECT_EQ(IoWMIRegistrationControl(device, WmiRegistrationAction::Register), STATUS_SUCCESS);
    EXPECT_TRUE(WmiRegistered(device));
    EXPECT_DEATH(IoWMIRegistrationControl(device, WmiRegistrationAction::Register), "twice");
    EXPECT_EQ(IoWMIRegistrationControl(device, WmiRegistrationAction::Deregister), STATUS_SUCCESS);
    EXPECT_FALSE(WmiRegistered(device));
    IoDeleteDevice(device);
}

}  // namespace
}  // namespace vm::drv
