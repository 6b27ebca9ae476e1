// Management instrumentation: the registration of a device's data blocks, the dispatch of
// IRP_MJ_SYSTEM_CONTROL requests to a driver's query and set routines (as the platform's WMI
// library does), and the five data blocks of a serial port, built from a narrow view of its
// state.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "driver/platform/io.h"

namespace vm::drv {

// --- Registration -----------------------------------------------------------------------------
enum class WmiRegistrationAction { Register, Deregister };
// IoWMIRegistrationControl: registering a device twice, or deregistering one that is not
// registered, is a bug check.
NTSTATUS IoWMIRegistrationControl(DeviceObject* device, WmiRegistrationAction action);
bool WmiRegistered(const DeviceObject* device);

inline constexpr std::uint32_t WMIREG_FLAG_INSTANCE_PDO = 0x00000020;

// --- The WMI library ---------------------------------------------------------------------------
struct WmiGuidRegInfo {
    const char* guid;  // "{A0EC11A8-B16C-11D1-BD98-00A0C906BE2D}"
    std::uint32_t instanceCount;
    std::uint32_t flags;
};

struct WmiLibInfo {
    std::span<const WmiGuidRegInfo> guids;
    // Registration information: flags, the service's registry path, the device whose instance
    // names are used.
    NTSTATUS(*queryRegInfo)
    (DeviceObject* device, std::uint32_t* flags, std::string* registryPath, DeviceObject** pdo);
    // Fills one instance of a block: *bytes is what was written, or with STATUS_BUFFER_TOO_SMALL
    // the size needed.
    NTSTATUS(*queryDataBlock)
    (DeviceObject* device, std::uint32_t guidIndex, std::uint32_t instanceIndex,
     std::span<std::uint8_t> buffer, std::uint32_t* bytes);
    NTSTATUS(*setDataBlock)
    (DeviceObject* device, std::uint32_t guidIndex, std::uint32_t instanceIndex,
     std::span<const std::uint8_t> data);
};

enum class WmiDisposition { Completed, NotCompleted, NotWmiIrp };

// WmiSystemControl. A request whose provider is another device is left to the caller
// (NotWmiIrp: pass it down). Queries and changes are given to the routines and completed:
// unknown block STATUS_WMI_GUID_NOT_FOUND; a buffer too small STATUS_BUFFER_TOO_SMALL with the
// size needed as information; otherwise the bytes written. Registration information is
// answered from queryRegInfo. Other WMI requests are completed with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS WmiSystemControl(const WmiLibInfo& info, DeviceObject* device, Irp* irp,
                          WmiDisposition* disposition);

// What IRP_MN_REGINFO returns (the information is a pointer to one of these, the caller's).
struct WmiRegInfo {
    std::uint32_t flags = 0;
    std::string registryPath;
    std::string instanceName;  // from the physical device
    std::uint32_t guidCount = 0;
};

// --- Serial port data blocks ------------------------------------------------------------------
namespace serial_wmi {
inline constexpr std::uint32_t kPortName = 0;
inline constexpr std::uint32_t kCommInfo = 1;
inline constexpr std::uint32_t kHardwareConfig = 2;
inline constexpr std::uint32_t kPerformance = 3;
inline constexpr std::uint32_t kProperties = 4;
inline constexpr std::uint32_t kBlocks = 5;
extern const std::array<WmiGuidRegInfo, kBlocks> kGuids;

inline constexpr std::uint32_t kCommInfoSize = 64;
inline constexpr std::uint32_t kHardwareConfigSize = 32;
inline constexpr std::uint32_t kPerformanceSize = 24;
inline constexpr std::uint32_t kCommPropSize = 64;
inline constexpr std::uint32_t kPropertiesSize = 68;
}  // namespace serial_wmi

// A serial port as the data blocks show it.
struct SerialWmiPort {
    std::string portName;
    // Communication information.
    std::uint32_t baudRate = 0;
    std::uint32_t bitsPerByte = 7;
    std::uint8_t parity = 2;    // serial coding: 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
    std::uint32_t xonChar = 0x11;
    std::uint32_t xoffChar = 0x13;
    std::uint32_t xonLimit = 0;
    std::uint32_t xoffLimit = 0;
    std::uint32_t supportedRates = 0x10067FF9;
    // Performance counters, kept apart from the statistics.
    std::array<std::uint32_t, 6> counters{};
    // Properties.
    std::uint32_t receiveBufferSize = 0;
};

// The highest rate the supported-rate mask names (0 when it names none).
std::uint32_t MaximumBaudRateOf(std::uint32_t mask);
// WMI's parity coding (0 none, 1 odd, 2 even, 3 space, 4 mark) for the serial one.
std::uint32_t WmiParityOf(std::uint8_t serialParity);
// The serial properties record (IOCTL_SERIAL_GET_PROPERTIES), 64 bytes.
void BuildCommProp(std::span<std::uint8_t, serial_wmi::kCommPropSize> out,
                   std::uint32_t receiveBufferSize, std::uint32_t supportedRates);

std::uint32_t SerialWmiBlockSize(std::uint32_t index, const SerialWmiPort& port);
// Fills block `index`; see WmiLibInfo::queryDataBlock.
NTSTATUS SerialWmiQuery(std::uint32_t index, const SerialWmiPort& port,
                        std::span<std::uint8_t> buffer, std::uint32_t* bytes);
// Every block is read-only.
NTSTATUS SerialWmiSet(std::uint32_t index);

}  // namespace vm::drv
