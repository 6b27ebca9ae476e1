// Status codes of the kernel services, with their NTSTATUS values.
#pragma once

#include <cstdint>

namespace vm::drv {

using NTSTATUS = std::int32_t;

constexpr NTSTATUS MakeStatus(std::uint32_t value) {
    return static_cast<NTSTATUS>(value);
}
constexpr bool NT_SUCCESS(NTSTATUS status) {
    return status >= 0;
}

// Success and informational codes.
inline constexpr NTSTATUS STATUS_SUCCESS = MakeStatus(0x00000000);
inline constexpr NTSTATUS STATUS_WAIT_0 = MakeStatus(0x00000000);
inline constexpr NTSTATUS STATUS_TIMEOUT = MakeStatus(0x00000102);
inline constexpr NTSTATUS STATUS_PENDING = MakeStatus(0x00000103);
inline constexpr NTSTATUS STATUS_SERIAL_MORE_WRITES = MakeStatus(0x40000008);
inline constexpr NTSTATUS STATUS_SERIAL_COUNTER_TIMEOUT = MakeStatus(0x4000000C);

// Warnings.
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = MakeStatus(0x80000005);
inline constexpr NTSTATUS STATUS_DEVICE_BUSY = MakeStatus(0x80000011);
inline constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = MakeStatus(0x8000001A);

// Errors.
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = MakeStatus(0xC0000001);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = MakeStatus(0xC000000D);
inline constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = MakeStatus(0xC000000E);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = MakeStatus(0xC0000010);
inline constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = MakeStatus(0xC0000016);
// Request blocks and transfer buffers that cannot be allocated report this code.
inline constexpr NTSTATUS STATUS_NO_MEMORY = MakeStatus(0xC0000017);
inline constexpr NTSTATUS STATUS_ACCESS_DENIED = MakeStatus(0xC0000022);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = MakeStatus(0xC0000023);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = MakeStatus(0xC0000033);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = MakeStatus(0xC0000034);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = MakeStatus(0xC0000035);
inline constexpr NTSTATUS STATUS_DELETE_PENDING = MakeStatus(0xC0000056);
// Descriptor and configuration buffers that cannot be allocated report this code.
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = MakeStatus(0xC000009A);
inline constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = MakeStatus(0xC000009D);
inline constexpr NTSTATUS STATUS_IO_TIMEOUT = MakeStatus(0xC00000B5);
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = MakeStatus(0xC00000BB);
inline constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = MakeStatus(0xC0000103);
inline constexpr NTSTATUS STATUS_CANCELLED = MakeStatus(0xC0000120);
inline constexpr NTSTATUS STATUS_DEVICE_CONFIGURATION_ERROR = MakeStatus(0xC0000182);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = MakeStatus(0xC0000184);
inline constexpr NTSTATUS STATUS_WMI_GUID_NOT_FOUND = MakeStatus(0xC0000295);
inline constexpr NTSTATUS STATUS_DEVICE_POWERED_OFF = MakeStatus(0xC00002D4);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_POWER = MakeStatus(0xC00002DE);

}  // namespace vm::drv
