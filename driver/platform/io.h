// I/O requests and device objects: the request packet with its stack of locations and
// completion routines, cancel routines, driver and device objects, calling a driver and
// completing a request.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/platform/kernel.h"

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

// Plug-and-play minor functions.
enum : std::uint8_t {
    IRP_MN_START_DEVICE = 0x00,
    IRP_MN_QUERY_REMOVE_DEVICE = 0x01,
    IRP_MN_REMOVE_DEVICE = 0x02,
    IRP_MN_CANCEL_REMOVE_DEVICE = 0x03,
    IRP_MN_STOP_DEVICE = 0x04,
    IRP_MN_QUERY_STOP_DEVICE = 0x05,
    IRP_MN_CANCEL_STOP_DEVICE = 0x06,
    IRP_MN_QUERY_DEVICE_RELATIONS = 0x07,
    IRP_MN_QUERY_CAPABILITIES = 0x09,
    IRP_MN_QUERY_ID = 0x13,
    IRP_MN_QUERY_PNP_DEVICE_STATE = 0x14,
    IRP_MN_SURPRISE_REMOVAL = 0x17,
};
// Power minor functions.
enum : std::uint8_t {
    IRP_MN_WAIT_WAKE = 0x00,
    IRP_MN_POWER_SEQUENCE = 0x01,
    IRP_MN_SET_POWER = 0x02,
    IRP_MN_QUERY_POWER = 0x03,
};
// WMI minor functions.
enum : std::uint8_t {
    IRP_MN_QUERY_ALL_DATA = 0x00,
    IRP_MN_QUERY_SINGLE_INSTANCE = 0x01,
    IRP_MN_CHANGE_SINGLE_INSTANCE = 0x02,
    IRP_MN_CHANGE_SINGLE_ITEM = 0x03,
    IRP_MN_ENABLE_EVENTS = 0x04,
    IRP_MN_DISABLE_EVENTS = 0x05,
    IRP_MN_REGINFO = 0x08,
};

enum class BusQueryIdType : std::uint32_t {
    DeviceID = 0,
    HardwareIDs = 1,
    CompatibleIDs = 2,
    InstanceID = 3,
};
enum class DeviceRelationType : std::uint32_t {
    BusRelations = 0,
    EjectionRelations = 1,
    PowerRelations = 2,
    RemovalRelations = 3,
    TargetDeviceRelation = 4,
};
enum class PowerStateType : std::uint32_t { SystemPowerState = 0, DevicePowerState = 1 };
// System states S0 (working, 1) to S5 (shut down, 6); device states D0 (1) to D3 (4); 0 is
// unspecified.
enum : std::uint32_t {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7,
};
enum : std::uint32_t {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
};

// What a bus reports of a device (IRP_MN_QUERY_CAPABILITIES).
struct DeviceCapabilities {
    bool LockSupported = false;
    bool EjectSupported = false;
    bool Removable = true;
    bool SurpriseRemovalOK = false;
    bool WakeFromD0 = false;
    bool WakeFromD3 = false;
    std::uint32_t DeviceState[PowerSystemMaximum] = {};  // indexed by system state
    std::uint32_t SystemWake = PowerSystemUnspecified;
    std::uint32_t DeviceWake = PowerDeviceUnspecified;
};

// Plug-and-play device states (IRP_MN_QUERY_PNP_DEVICE_STATE).
inline constexpr std::uint32_t PNP_DEVICE_DISABLED = 0x01;
inline constexpr std::uint32_t PNP_DEVICE_DONT_DISPLAY_IN_UI = 0x02;
inline constexpr std::uint32_t PNP_DEVICE_FAILED = 0x04;
inline constexpr std::uint32_t PNP_DEVICE_REMOVED = 0x08;
inline constexpr std::uint32_t PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED = 0x10;
inline constexpr std::uint32_t PNP_DEVICE_NOT_DISABLEABLE = 0x20;

// File information classes answered by the serial driver.
enum : std::uint32_t {
    FileBasicInformation = 4,
    FileStandardInformation = 5,
    FilePositionInformation = 14,
    FileEndOfFileInformation = 20,
    FileAllocationInformation = 19,
};

class DeviceObject;

// An open handle as the driver sees it.
struct FileObject {
    DeviceObject* Device = nullptr;
    void* FsContext = nullptr;
};

struct IoStatusBlock {
    NTSTATUS Status = STATUS_SUCCESS;
    std::uintptr_t Information = 0;
};

class DeviceObject;
class DriverObject;
class Irp;
struct FileObject;

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
        struct {
            std::uint32_t Options;
            std::uint16_t FileAttributes;
            std::uint16_t ShareAccess;
        } Create{};
        struct {
            std::uint32_t Length;
            std::uint32_t FileInformationClass;
        } QueryFile{}, SetFile{};
        struct {
            BusQueryIdType IdType;
        } QueryId{};
        struct {
            DeviceRelationType Type;
        } QueryDeviceRelations{};
        struct {
            ::vm::drv::DeviceCapabilities* Capabilities;
        } DeviceCapabilities{};
        struct {
            std::uint32_t SystemContext;
            PowerStateType Type;
            std::uint32_t State;  // a system or a device state, after Type
            std::uint32_t ShutdownType;
        } Power{};
        struct {
            std::uint32_t PowerState;  // the lowest system state to wake from
        } WaitWake{};
        struct {
            std::uintptr_t ProviderId;
            const void* DataPath;  // the data block's identifier (a GUID)
            std::uint32_t BufferSize;
            void* Buffer;
        } WMI{};
    } Parameters;
    DeviceObject* Device = nullptr;
    FileObject* File = nullptr;
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

// Passes the request to a device's driver through the next stack location. Set-power and
// query-power requests go with PoCallDriver instead (a bug check otherwise).
NTSTATUS IoCallDriver(DeviceObject* device, Irp* irp);
namespace detail {
// IoCallDriver without the check, for PoCallDriver.
NTSTATUS CallDriver(DeviceObject* device, Irp* irp);
}  // namespace detail
// Completes a request: runs the completion routines from the current location upward until one
// returns STATUS_MORE_PROCESSING_REQUIRED; past the top, fills UserIosb and sets UserEvent.
void IoCompleteRequest(Irp* irp);
// Marks the request cancelled and calls its cancel routine (with the cancel spin lock held;
// the routine releases it with IoReleaseCancelSpinLock). Returns whether a routine was called.
bool IoCancelIrp(Irp* irp);
DriverCancel IoSetCancelRoutine(Irp* irp, DriverCancel routine);
void IoAcquireCancelSpinLock(Kernel& kernel, Irql* old) ACQUIRE(kernel.cancelSpinLock());
void IoReleaseCancelSpinLock(Kernel& kernel, Irql old) RELEASE(kernel.cancelSpinLock());

// Builds a device-control request for `device` with the given buffers (buffered: one system
// buffer of the larger length holds the input and receives the output). When the request
// completes its status block is copied to *iosb and *event is set; the issuer then frees it
// with IoFreeIrp. Returns null when it cannot be allocated.
Irp* IoBuildDeviceIoControlRequest(std::uint32_t code, DeviceObject* device, void* systemBuffer,
                                   std::uint32_t inputLength, std::uint32_t outputLength,
                                   bool internal, KEvent* event, IoStatusBlock* iosb);

// ---------------------------------------------------------------------------------------------
using DriverAddDevice = NTSTATUS (*)(DriverObject* driver, DeviceObject* pdo);
using DriverUnload = void (*)(DriverObject* driver);

class DriverObject {
public:
    DriverObject(Kernel& kernel, std::string name);
    Kernel& kernel() const { return kernel_; }
    const std::string& name() const { return name_; }

    std::array<DriverDispatch, IRP_MJ_MAXIMUM_FUNCTION + 1> MajorFunction;
    DriverAddDevice AddDevice = nullptr;
    DriverUnload Unload = nullptr;
    void* DriverExtension = nullptr;  // the driver's global state
    // The driver's service key
    // ("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\<name>").
    std::string RegistryPath;

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
    // Physical device objects: the device instance ("USB\\VID_3A71&PID_6142\\1"), which names
    // its hardware registry key and its device interfaces.
    std::string InstanceId;

    Kernel& kernel() const { return Driver->kernel(); }

    // Open handles (see ObReferenceDeviceObjectByName); guarded by the I/O manager's lock.
    std::int32_t references = 0;
    bool deletePending = false;

    // The set-power or query-power request of each kind (system, device) that has started at
    // this device and not yet been released with PoStartNextPowerIrp (see power.h).
    std::atomic<Irp*> activePowerIrp[2] = {nullptr, nullptr};

    // The extension is an object of the driver's choosing, owned by the device object and
    // allocated from the pool (tag "Devx"); null when it cannot be allocated.
    template <class T, class... Args>
    T* CreateExtension(Args&&... args) {
        DestroyExtension();
        T* ext = kernel().pool().template New<T>(kExtensionPoolTag, std::forward<Args>(args)...);
        if (!ext) return nullptr;
        DeviceExtension = ext;
        extensionDeleter_ = [](Pool& pool, void* p) { pool.Delete(static_cast<T*>(p)); };
        return ext;
    }
    template <class T>
    T& Extension() const {
        return *static_cast<T*>(DeviceExtension);
    }

    static constexpr std::uint32_t kExtensionPoolTag = PoolTag("Devx");

private:
    void DestroyExtension();
    void (*extensionDeleter_)(Pool&, void*) = nullptr;
};

inline constexpr std::uint32_t kDevicePoolTag = PoolTag("Devo");

// Creates a device object from the pool (tag "Devo"): a name already in use gives
// STATUS_OBJECT_NAME_COLLISION, a malformed name STATUS_OBJECT_NAME_INVALID, no memory
// STATUS_INSUFFICIENT_RESOURCES. An empty name makes an unnamed device.
NTSTATUS IoCreateDevice(DriverObject& driver, const std::string& name, std::uint32_t type,
                        std::uint32_t characteristics, bool exclusive, DeviceObject** device);
void IoDeleteDevice(DeviceObject* device);
// Attaches `device` on top of the stack that holds `target`; returns the device it now sits on.
DeviceObject* IoAttachDeviceToDeviceStack(DeviceObject* device, DeviceObject* target);
void IoDetachDevice(DeviceObject* lower);
// The top of the stack that holds `device`.
DeviceObject* IoGetAttachedDevice(DeviceObject* device);
// The device a name stands for (a device name or a symbolic link to one); null when none.
DeviceObject* IoGetDeviceObjectByName(Kernel& kernel, const std::string& name);

// The device a name stands for, referenced for an open handle: a device deleted while it is
// referenced stays (nameless, extension and all) until the last reference goes, as the
// platform's object manager keeps it for the handles still open. Null when there is none.
DeviceObject* ObReferenceDeviceObjectByName(Kernel& kernel, const std::string& name);
void ObDereferenceDeviceObject(DeviceObject* device);

// The device instance's hardware key ("Device Parameters" under its enumeration key).
std::string IoOpenDeviceRegistryKey(const DeviceObject* pdo);
// Registers a device interface of the class for the physical device; returns its link name.
NTSTATUS IoRegisterDeviceInterface(DeviceObject* pdo, const std::string& classGuid,
                                   std::string* link);
NTSTATUS IoSetDeviceInterfaceState(Kernel& kernel, const std::string& link, bool enable);

// Remove lock (IoAcquireRemoveLock and friends): requests take it while they run; once removal
// has begun it is refused with STATUS_DELETE_PENDING, and the remover waits until every holder
// has let go. Releasing more often than acquiring is a bug check.
class IoRemoveLock {
public:
    explicit IoRemoveLock(Kernel& kernel) : count_(kernel, 1, 0) {}
    NTSTATUS Acquire();
    void Release();
    // Marks removal begun, drops the lock's own hold and waits for the others (passive level).
    void ReleaseAndWait();
    bool Removed() const { return removed_.load(); }
    std::int32_t Holders() const { return count_.Value() - (removed_.load() ? 0 : 1); }

private:
    KCounter count_;
    std::atomic<bool> removed_{false};
};

}  // namespace vm::drv
