#include "driver/platform/wmi.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace vm::drv {

// --- Registration -----------------------------------------------------------------------------

namespace {
Mutex g_registeredMutex;
std::set<const DeviceObject*>& Registered() {
    static std::set<const DeviceObject*> registered;
    return registered;
}
}  // namespace

NTSTATUS IoWMIRegistrationControl(DeviceObject* device, WmiRegistrationAction action) {
    MutexLock lock(g_registeredMutex);
    if (action == WmiRegistrationAction::Register) {
        if (!Registered().insert(device).second) KeBugCheck("WMI registration made twice");
    } else if (Registered().erase(device) == 0) {
        KeBugCheck("WMI deregistration of a device not registered");
    }
    return STATUS_SUCCESS;
}

bool WmiRegistered(const DeviceObject* device) {
    MutexLock lock(g_registeredMutex);
    return Registered().count(device) != 0;
}

// --- The WMI library ---------------------------------------------------------------------------

NTSTATUS WmiSystemControl(const WmiLibInfo& info, DeviceObject* device, Irp* irp,
                          WmiDisposition* disposition) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    if (location->Parameters.WMI.ProviderId != reinterpret_cast<std::uintptr_t>(device)) {
        *disposition = WmiDisposition::NotWmiIrp;
        return irp->IoStatus.Status;
    }
    *disposition = WmiDisposition::Completed;
    auto complete = [&](NTSTATUS status, std::uintptr_t information) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp);
        return status;
    };
    const std::uint8_t minor = location->MinorFunction;
    if (minor == IRP_MN_REGINFO) {
        auto* out = static_cast<WmiRegInfo*>(location->Parameters.WMI.Buffer);
        if (!out) return complete(STATUS_INVALID_PARAMETER, 0);
        if (location->Parameters.WMI.BufferSize < sizeof(WmiRegInfo)) {
            return complete(STATUS_BUFFER_TOO_SMALL, 0);
        }
        DeviceObject* pdo = nullptr;
        out->flags = 0;
        const NTSTATUS status = info.queryRegInfo(device, &out->flags, &out->registryPath, &pdo);
        if (!NT_SUCCESS(status)) return complete(status, 0);
        out->instanceName = pdo ? pdo->InstanceId : std::string();
        out->guidCount = static_cast<std::uint32_t>(info.guids.size());
        return complete(STATUS_SUCCESS, sizeof(WmiRegInfo));
    }
    if (minor > IRP_MN_CHANGE_SINGLE_ITEM) return complete(STATUS_INVALID_DEVICE_REQUEST, 0);
    const char* guid = static_cast<const char*>(location->Parameters.WMI.DataPath);
    std::uint32_t index = 0;
    while (index < info.guids.size() && !(guid && std::strcmp(guid, info.guids[index].guid) == 0)) {
        ++index;
    }
    if (index == info.guids.size()) return complete(STATUS_WMI_GUID_NOT_FOUND, 0);
    auto* buffer = static_cast<std::uint8_t*>(location->Parameters.WMI.Buffer);
    const std::uint32_t size = buffer ? location->Parameters.WMI.BufferSize : 0;
    if (minor == IRP_MN_QUERY_ALL_DATA || minor == IRP_MN_QUERY_SINGLE_INSTANCE) {
        std::uint32_t bytes = 0;
        const NTSTATUS status =
            info.queryDataBlock(device, index, 0, std::span<std::uint8_t>(buffer, size), &bytes);
        return complete(status, bytes);
    }
    if (!info.setDataBlock) return complete(STATUS_INVALID_DEVICE_REQUEST, 0);
    return complete(
        info.setDataBlock(device, index, 0, std::span<const std::uint8_t>(buffer, size)), 0);
}

// --- Serial port data blocks ------------------------------------------------------------------

namespace serial_wmi {
const std::array<WmiGuidRegInfo, kBlocks> kGuids = {{
    {"{A0EC11A8-B16C-11D1-BD98-00A0C906BE2D}", 1, 0},  // port name
    {"{EDB16A62-B16C-11D1-BD98-00A0C906BE2D}", 1, 0},  // communication information
    {"{270B9B86-B16D-11D1-BD98-00A0C906BE2D}", 1, 0},  // hardware configuration
    {"{56415ACC-B16D-11D1-BD98-00A0C906BE2D}", 1, 0},  // performance
    {"{8209EC2A-2D6B-11D2-BA49-00A0C9062910}", 1, 0},  // properties
}};
}  // namespace serial_wmi

std::uint32_t MaximumBaudRateOf(std::uint32_t mask) {
    static constexpr std::pair<std::uint32_t, std::uint32_t> kOrder[] = {
        {0x00010000, 131072}, {0x00020000, 115200}, {0x00008000, 57344}, {0x00040000, 57600},
        {0x4000, 38400},      {0x2000, 19200},      {0x1000, 14400},     {0x0800, 9600},
        {0x0400, 7200},       {0x0200, 4800},       {0x0100, 2400},      {0x80, 1800},
        {0x40, 1200},         {0x20, 600},          {0x10, 300},         {0x08, 150},
        {0x04, 135},          {0x02, 110},          {0x01, 75},
    };
    for (const auto& [bit, rate] : kOrder) {
        if (mask & bit) return rate;
    }
    return 0;
}

std::uint32_t WmiParityOf(std::uint8_t serialParity) {
    switch (serialParity) {
        case 3:
            return 4;  // mark
        case 4:
            return 3;  // space
        default:
            return serialParity;
    }
}

namespace {
struct Writer {
    std::span<std::uint8_t> out;
    std::size_t at = 0;
    void U8(std::uint8_t v) { out[at++] = v; }
    void U16(std::uint16_t v) {
        U8(static_cast<std::uint8_t>(v));
        U8(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    void Skip(std::size_t n) { at += n; }
};
}  // namespace

void BuildCommProp(std::span<std::uint8_t, serial_wmi::kCommPropSize> out,
                   std::uint32_t receiveBufferSize, std::uint32_t supportedRates) {
    std::fill(out.begin(), out.end(), 0);
    Writer w{out};
    w.U16(64);          // PacketLength
    w.U16(2);           // PacketVersion
    w.U32(1);           // ServiceMask
    w.U32(0);           // Reserved1
    w.U32(0);           // MaxTxQueue
    w.U32(0);           // MaxRxQueue
    w.U32(0x10000000);  // MaxBaud
    w.U32(1);           // ProvSubType
    w.U32(0xFF);        // ProvCapabilities
    w.U32(0x7F);        // SettableParams
    w.U32(supportedRates);
    w.U16(0x000F);  // SettableData
    w.U16(0x1F07);  // SettableStopParity
    w.U32(0);       // CurrentTxQueue
    w.U32(receiveBufferSize);
    // ProvSpec1, ProvSpec2, ProvChar: 0.
}

std::uint32_t SerialWmiBlockSize(std::uint32_t index, const SerialWmiPort& port) {
    switch (index) {
        case serial_wmi::kPortName:
            return static_cast<std::uint32_t>(2 * port.portName.size() + 2);
        case serial_wmi::kCommInfo:
            return serial_wmi::kCommInfoSize;
        case serial_wmi::kHardwareConfig:
            return serial_wmi::kHardwareConfigSize;
        case serial_wmi::kPerformance:
            return serial_wmi::kPerformanceSize;
        case serial_wmi::kProperties:
            return serial_wmi::kPropertiesSize;
        default:
            return 0;
    }
}

NTSTATUS SerialWmiQuery(std::uint32_t index, const SerialWmiPort& port,
                        std::span<std::uint8_t> buffer, std::uint32_t* bytes) {
    const std::uint32_t size = SerialWmiBlockSize(index, port);
    if (size == 0) {
        *bytes = 0;
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    *bytes = size;
    if (buffer.size() < size) return STATUS_BUFFER_TOO_SMALL;
    std::span<std::uint8_t> out = buffer.first(size);
    std::fill(out.begin(), out.end(), 0);
    Writer w{out};
    switch (index) {
        case serial_wmi::kPortName:
            w.U16(static_cast<std::uint16_t>(2 * port.portName.size()));
            for (char c : port.portName) w.U16(static_cast<unsigned char>(c));
            break;
        case serial_wmi::kCommInfo:
            w.U32(port.baudRate);
            w.U32(port.bitsPerByte);
            w.U32(WmiParityOf(port.parity));
            w.U8(port.parity != 0 ? 1 : 0);  // ParityCheckEnable
            w.Skip(3);
            w.U32(port.stopBits);
            w.U32(port.xoffChar);
            w.U32(port.xoffLimit);  // XoffXmitThreshold
            w.U32(port.xonChar);
            w.U32(port.xonLimit);  // XonXmitThreshold
            w.U32(MaximumBaudRateOf(port.supportedRates));
            w.U32(0xFFFFFFFF);  // MaximumOutputBufferSize
            w.U32(0xFFFFFFFF);  // MaximumInputBufferSize
            w.U8(0);            // Support16BitMode
            for (int flag = 0; flag < 11; ++flag) w.U8(1);
            w.U8(0);  // IsBusy
            break;
        case serial_wmi::kHardwareConfig:
            // No interrupt or port resources exist for a USB device: all zero.
            break;
        case serial_wmi::kPerformance:
            for (std::uint32_t counter : port.counters) w.U32(counter);
            break;
        case serial_wmi::kProperties:
            // The 64-byte properties record and four bytes of its own, zero.
            BuildCommProp(out.first<serial_wmi::kCommPropSize>(), port.receiveBufferSize,
                          port.supportedRates);
            break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SerialWmiSet(std::uint32_t index) {
    return index < serial_wmi::kBlocks ? STATUS_INVALID_DEVICE_REQUEST : STATUS_WMI_GUID_NOT_FOUND;
}

}  // namespace vm::drv
