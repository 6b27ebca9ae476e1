// I/O requests and device objects: the request packet with its stack of locations and
// completion routines, cancel routines, driver and device objects, calling a driver and
// completing a request.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/core/kernel.h"

namespace vm::drv {

// Major functions.
enum : std::uint8_t {
    IRP_MJ_CREATE = 0x00,
    IRP_MJ_CLOSE = 0x02,
    IRP_MJ_READ = 0x03,
    IRP_MJ_WRITE = 0x04,
    IRP_MJ_QUERY_INFORMATION = 0x05,
    IRP_MJ_SET_INFORMATION = 0x06,
    IRP_MJ_FLUSH_BUFFERS = 0x09,
    IRP_MJ_DEVICE_CONTROL = 0x0E,
    IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F,
    IRP_MJ_CLEANUP = 0x12,
    IRP_MJ_POWER = 0x16,
    IRP_MJ_SYSTEM_CONTROL = 0x17,
    IRP_MJ_PNP = 0x1B,
    IRP_MJ_MAXIMUM_FUNCTION = 0x1B,
};

// Stack location control bits.
inline constexpr std::uint8_t SL_PENDING_RETURNED = 0x01;
inline constexpr std::uint8_t SL_INVOKE_ON_CANCEL = 0x20;
inline constexpr std::uint8_t SL_INVOKE_ON_SUCCESS = 0x40;
inline constexpr std::uint8_t SL_INVOKE_ON_ERROR = 0x80;

// Device types, characteristics and flags used by the drivers.
inline constexpr std::uint32_t FILE_DEVICE_SERIAL_PORT = 0x1B;
inline constexpr std::uint32_t FILE_DEVICE_UNKNOWN = 0x22;
inline constexpr std::uint32_t FILE_DEVICE_SECURE_OPEN = 0x100;
inline constexpr std::uint32_t DO_BUFFERED_IO = 0x04;
inline constexpr std::uint32_t DO_EXCLUSIVE = 0x08;
inline constexpr std::uint32_t DO_DIRECT_IO = 0x10;
inline constexpr std::uint32_t DO_DEVICE_INITIALIZING = 0x80;
inline constexpr std::uint32_t DO_POWER_PAGABLE = 0x2000;

struct IoStatusBlock {
    NTSTATUS Status = STATUS_SUCCESS;
    std::uintptr_t Information = 0;
};

class DeviceObject;
class DriverObject;
class Irp;

using IoCompletionRoutine = NTSTATUS (*)(DeviceObject* device, Irp* irp, void* context);
using DriverCancel = void (*)(DeviceObject* device, Irp* irp);
using DriverDispatch = NTSTATUS (*)(DeviceObject* device, Irp* irp);

struct IoStackLocation {
    std::uint8_t MajorFunction = 0;
    std::uint8_t MinorFunction = 0;
    std::uint8_t Flags = 0;
    std::uint8_t Control = 0;
    struct {
        struct {
            std::uint32_t Length;
            std::int64_t ByteOffset;
        } Read{}, Write{};
        struct {
            std::uint32_t OutputBufferLength;
            std::uint32_t InputBufferLength;
            std::uint32_t IoControlCode;
            void* Type3InputBuffer;
        } DeviceIoControl{};
        struct {
            void* Argument1;
            void* Argument2;
            void* Argument3;
            void* Argument4;
        } Others{};
    } Parameters;
    DeviceObject* Device = nullptr;
    IoCompletionRoutine CompletionRoutine = nullptr;
    void* Context = nullptr;
};

// The request packet. Allocated from the kernel's pool (tag "Irp ") so that allocation
// failures can be injected like any other.
class Irp {
public:
    Irp(Kernel& kernel, std::int8_t stackSize);
    Irp(const Irp&) = delete;
    Irp& operator=(const Irp&) = delete;

    Kernel& kernel() const { return kernel_; }

    IoStatusBlock IoStatus;
    void* SystemBuffer = nullptr;  // buffered I/O: input and output share it
    void* UserBuffer = nullptr;
    std::atomic<bool> Cancel{false};
    std::atomic<DriverCancel> CancelRoutine{nullptr};
    Irql CancelIrql = Irql::Passive;
    bool PendingReturned = false;
    std::int8_t StackCount;
    std::int8_t CurrentLocation;  // StackCount + 1 before the first call
    // Set by IoBuildDeviceIoControlRequest: filled and signalled when the request completes.
    IoStatusBlock* UserIosb = nullptr;
    KEvent* UserEvent = nullptr;
    void* DriverContext[4] = {};

    IoStackLocation& Location(std::int8_t index) { return stack_.at(index - 1); }

private:
    friend void IoCompleteRequest(Irp* irp);
    Kernel& kernel_;
    std::vector<IoStackLocation> stack_;
    bool completed_ = false;
};

Irp* IoAllocateIrp(Kernel& kernel, std::int8_t stackSize);
void IoFreeIrp(Irp* irp);

IoStackLocation* IoGetCurrentIrpStackLocation(Irp* irp);
IoStackLocation* IoGetNextIrpStackLocation(Irp* irp);
void IoSetNextIrpStackLocation(Irp* irp);
void IoSkipCurrentIrpStackLocation(Irp* irp);
void IoCopyCurrentIrpStackLocationToNext(Irp* irp);
void IoSetCompletionRoutine(Irp* irp, IoCompletionRoutine routine, void* context, bool onSuccess,
                            bool onError, bool onCancel);
void IoMarkIrpPending(Irp* irp);

// Passes the request to a device's driver through the next stack location.
NTSTATUS IoCallDriver(DeviceObject* device, Irp* irp);
// Completes a request: runs the completion routines from the current location upward until one
// returns STATUS_MORE_PROCESSING_REQUIRED; past the top, fills UserIosb and sets UserEvent.
void IoCompleteRequest(Irp* irp);
// Marks the request cancelled and calls its cancel routine (with the cancel spin lock held;
// the routine releases it with IoReleaseCancelSpinLock). Returns whether a routine was called.
bool IoCancelIrp(Irp* irp);
DriverCancel IoSetCancelRoutine(Irp* irp, DriverCancel routine);
void IoAcquireCancelSpinLock(Kernel& kernel, Irql* old);
void IoReleaseCancelSpinLock(Kernel& kernel, Irql old);

// Builds a device-control request for `device` with the given buffers (buffered: one system
// buffer of the larger length holds the input and receives the output). When the request
// completes its status block is copied to *iosb and *event is set; the issuer then frees it
// with IoFreeIrp. Returns null when it cannot be allocated.
Irp* IoBuildDeviceIoControlRequest(std::uint32_t code, DeviceObject* device, void* systemBuffer,
                                   std::uint32_t inputLength, std::uint32_t outputLength,
                                   bool internal, KEvent* event, IoStatusBlock* iosb);

// ---------------------------------------------------------------------------------------------
class DriverObject {
public:
    DriverObject(Kernel& kernel, std::string name);
    Kernel& kernel() const { return kernel_; }
    const std::string& name() const { return name_; }

    std::array<DriverDispatch, IRP_MJ_MAXIMUM_FUNCTION + 1> MajorFunction;
    void* DriverExtension = nullptr;  // the driver's global state

private:
    Kernel& kernel_;
    std::string name_;
};

class DeviceObject {
public:
    DeviceObject(DriverObject& driver, std::string name, std::uint32_t type,
                 std::uint32_t characteristics);
    ~DeviceObject();
    DeviceObject(const DeviceObject&) = delete;
    DeviceObject& operator=(const DeviceObject&) = delete;

    DriverObject* Driver;
    std::string Name;
    std::uint32_t DeviceType;
    std::uint32_t Characteristics;
    std::uint32_t Flags = DO_DEVICE_INITIALIZING;
    std::int8_t StackSize = 1;
    DeviceObject* AttachedDevice = nullptr;  // the device above this one in its stack
    DeviceObject* LowerDevice = nullptr;     // set by IoAttachDeviceToDeviceStack
    void* DeviceExtension = nullptr;

    Kernel& kernel() const { return Driver->kernel(); }

    // The extension is an object of the driver's choosing, owned by the device object.
    template <class T, class... Args>
    T& CreateExtension(Args&&... args) {
        DestroyExtension();
        T* ext = new T(std::forward<Args>(args)...);
        DeviceExtension = ext;
        extensionDeleter_ = [](void* p) { delete static_cast<T*>(p); };
        return *ext;
    }
    template <class T>
    T& Extension() const {
        return *static_cast<T*>(DeviceExtension);
    }

private:
    void DestroyExtension();
    void (*extensionDeleter_)(void*) = nullptr;
};

// Creates a device object; a name already in use gives STATUS_OBJECT_NAME_COLLISION.
NTSTATUS IoCreateDevice(DriverObject& driver, const std::string& name, std::uint32_t type,
                        std::uint32_t characteristics, bool exclusive, DeviceObject** device);
void IoDeleteDevice(DeviceObject* device);
// Attaches `device` on top of the stack that holds `target`; returns the device it now sits on.
DeviceObject* IoAttachDeviceToDeviceStack(DeviceObject* device, DeviceObject* target);
void IoDetachDevice(DeviceObject* lower);

}  // namespace vm::drv
