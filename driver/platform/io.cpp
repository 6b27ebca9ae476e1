#include "driver/platform/io.h"

#include <mutex>

namespace vm::drv {

Irp::Irp(Kernel& kernel, std::int8_t stackSize)
    : StackCount(stackSize),
      CurrentLocation(static_cast<std::int8_t>(stackSize + 1)),
      kernel_(kernel),
      stack_(static_cast<std::size_t>(stackSize)) {}

Irp* IoAllocateIrp(Kernel& kernel, std::int8_t stackSize) {
    VM_KASSERT(stackSize >= 1);
    return kernel.pool().New<Irp>(kIrpPoolTag, kernel, stackSize);
}

void IoFreeIrp(Irp* irp) {
    irp->kernel().pool().Delete(irp);
}

IoStackLocation* IoGetCurrentIrpStackLocation(Irp* irp) {
    VM_KASSERT(irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount);
    return &irp->Location(irp->CurrentLocation);
}

IoStackLocation* IoGetNextIrpStackLocation(Irp* irp) {
    VM_KASSERT(irp->CurrentLocation >= 2);
    return &irp->Location(static_cast<std::int8_t>(irp->CurrentLocation - 1));
}

void IoSetNextIrpStackLocation(Irp* irp) {
    VM_KASSERT(irp->CurrentLocation >= 2);
    --irp->CurrentLocation;
}

void IoSkipCurrentIrpStackLocation(Irp* irp) {
    ++irp->CurrentLocation;
}

void IoCopyCurrentIrpStackLocationToNext(Irp* irp) {
    IoStackLocation copy = *IoGetCurrentIrpStackLocation(irp);
    copy.CompletionRoutine = nullptr;
    copy.Context = nullptr;
    copy.Control = 0;
    *IoGetNextIrpStackLocation(irp) = copy;
}

void IoSetCompletionRoutine(Irp* irp, IoCompletionRoutine routine, void* context, bool onSuccess,
                            bool onError, bool onCancel) {
    IoStackLocation* next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (onSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (onError) next->Control |= SL_INVOKE_ON_ERROR;
    if (onCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

void IoMarkIrpPending(Irp* irp) {
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}

namespace {
bool SerialisedPowerRequest(const IoStackLocation& next) {
    return next.MajorFunction == IRP_MJ_POWER &&
           (next.MinorFunction == IRP_MN_SET_POWER || next.MinorFunction == IRP_MN_QUERY_POWER);
}
}  // namespace

NTSTATUS IoCallDriver(DeviceObject* device, Irp* irp) {
    if (SerialisedPowerRequest(*IoGetNextIrpStackLocation(irp))) {
        KeBugCheck(
            "a set-power or query-power request was passed with IoCallDriver, not "
            "PoCallDriver");
    }
    return detail::CallDriver(device, irp);
}

NTSTATUS detail::CallDriver(DeviceObject* device, Irp* irp) {
    VM_KASSERT(irp->CurrentLocation >= 2);
    --irp->CurrentLocation;
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    location->Device = device;
    DriverDispatch dispatch = device->Driver->MajorFunction[location->MajorFunction];
    VM_KASSERT(dispatch != nullptr);
    return dispatch(device, irp);
}

void IoCompleteRequest(Irp* irp) {
    VM_KASSERT(irp->IoStatus.Status != STATUS_PENDING);
    VM_KASSERT(irp->CurrentLocation <= irp->StackCount);  // completed twice
    VM_KASSERT(irp->CancelRoutine.load() == nullptr);
    while (irp->CurrentLocation <= irp->StackCount) {
        IoStackLocation& location = irp->Location(irp->CurrentLocation);
        irp->PendingReturned = (location.Control & SL_PENDING_RETURNED) != 0;
        const IoCompletionRoutine routine = location.CompletionRoutine;
        void* const context = location.Context;
        const std::uint8_t control = location.Control;
        location.CompletionRoutine = nullptr;
        location.Control = 0;
        ++irp->CurrentLocation;
        DeviceObject* upper = irp->CurrentLocation <= irp->StackCount
                                  ? irp->Location(irp->CurrentLocation).Device
                                  : nullptr;
        const NTSTATUS status = irp->IoStatus.Status;
        const bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                        (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                        (irp->Cancel.load() && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            if (routine(upper, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            IoMarkIrpPending(irp);
        }
    }
    // Past the top: the issuer's status block and event. Setting the event is the last touch:
    // the issuer may free the request as soon as it sees it.
    VM_KASSERT(!irp->completed_);
    irp->completed_ = true;
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    if (irp->UserEvent) irp->UserEvent->Set();
}

void IoAcquireCancelSpinLock(Kernel& kernel, Irql* old) {
    *old = kernel.cancelSpinLock().Acquire();
}

void IoReleaseCancelSpinLock(Kernel& kernel, Irql old) {
    kernel.cancelSpinLock().Release(old);
}

DriverCancel IoSetCancelRoutine(Irp* irp, DriverCancel routine) {
    return irp->CancelRoutine.exchange(routine);
}

// The cancel spin lock taken here is let go by the cancel routine it calls (or here when there
// is none): the lock crosses the call, so this is unchecked.
bool IoCancelIrp(Irp* irp) NO_THREAD_SAFETY_ANALYSIS {
    Kernel& kernel = irp->kernel();
    Irql old;
    IoAcquireCancelSpinLock(kernel, &old);
    irp->Cancel.store(true);
    DriverCancel routine = irp->CancelRoutine.exchange(nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(kernel, old);
        return false;
    }
    irp->CancelIrql = old;
    DeviceObject* device = irp->CurrentLocation <= irp->StackCount
                               ? irp->Location(irp->CurrentLocation).Device
                               : nullptr;
    routine(device, irp);
    return true;
}

Irp* IoBuildDeviceIoControlRequest(std::uint32_t code, DeviceObject* device, void* systemBuffer,
                                   std::uint32_t inputLength, std::uint32_t outputLength,
                                   bool internal, KEvent* event, IoStatusBlock* iosb) {
    Irp* irp = IoAllocateIrp(device->kernel(), device->StackSize);
    if (!irp) return nullptr;
    irp->SystemBuffer = systemBuffer;
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    IoStackLocation* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    return irp;
}

// ---------------------------------------------------------------------------------------------
namespace {
NTSTATUS InvalidDeviceRequest(DeviceObject*, Irp* irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp);
    return STATUS_INVALID_DEVICE_REQUEST;
}
}  // namespace

DriverObject::DriverObject(Kernel& kernel, std::string name)
    : kernel_(kernel), name_(std::move(name)) {
    MajorFunction.fill(&InvalidDeviceRequest);
}

DeviceObject::DeviceObject(DriverObject& driver, std::string name, std::uint32_t type,
                           std::uint32_t characteristics)
    : Driver(&driver), Name(std::move(name)), DeviceType(type), Characteristics(characteristics) {}

DeviceObject::~DeviceObject() {
    DestroyExtension();
}

void DeviceObject::DestroyExtension() {
    if (extensionDeleter_) extensionDeleter_(kernel().pool(), DeviceExtension);
    extensionDeleter_ = nullptr;
    DeviceExtension = nullptr;
}

NTSTATUS IoCreateDevice(DriverObject& driver, const std::string& name, std::uint32_t type,
                        std::uint32_t characteristics, bool exclusive, DeviceObject** device) {
    *device = nullptr;
    Kernel& kernel = driver.kernel();
    if (!name.empty() && !Kernel::ValidObjectName(name)) return STATUS_OBJECT_NAME_INVALID;
    auto* created =
        kernel.pool().New<DeviceObject>(kDevicePoolTag, driver, name, type, characteristics);
    if (!created) return STATUS_INSUFFICIENT_RESOURCES;
    if (!name.empty() && !kernel.ReserveName(name, created)) {
        created->Name.clear();
        kernel.pool().Delete(created);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (exclusive) created->Flags |= DO_EXCLUSIVE;
    *device = created;
    return STATUS_SUCCESS;
}

namespace {
// Guards device references and deletion against lookups by name.
Mutex g_deviceReferences;
}  // namespace

void IoDeleteDevice(DeviceObject* device) {
    if (!device) return;
    Kernel& kernel = device->kernel();
    {
        MutexLock lock(g_deviceReferences);
        if (!device->Name.empty()) kernel.ReleaseName(device->Name);
        if (device->references > 0) {
            device->deletePending = true;
            return;
        }
    }
    kernel.pool().Delete(device);
}

DeviceObject* ObReferenceDeviceObjectByName(Kernel& kernel, const std::string& name) {
    MutexLock lock(g_deviceReferences);
    DeviceObject* device = IoGetDeviceObjectByName(kernel, name);
    if (device) ++device->references;
    return device;
}

void ObDereferenceDeviceObject(DeviceObject* device) {
    bool free = false;
    {
        MutexLock lock(g_deviceReferences);
        VM_KASSERT(device->references > 0);
        free = --device->references == 0 && device->deletePending;
    }
    if (free) device->kernel().pool().Delete(device);
}

DeviceObject* IoAttachDeviceToDeviceStack(DeviceObject* device, DeviceObject* target) {
    DeviceObject* top = target;
    while (top->AttachedDevice) top = top->AttachedDevice;
    top->AttachedDevice = device;
    device->LowerDevice = top;
    device->StackSize = static_cast<std::int8_t>(top->StackSize + 1);
    return top;
}

void IoDetachDevice(DeviceObject* lower) {
    if (lower->AttachedDevice) lower->AttachedDevice->LowerDevice = nullptr;
    lower->AttachedDevice = nullptr;
}

DeviceObject* IoGetAttachedDevice(DeviceObject* device) {
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

DeviceObject* IoGetDeviceObjectByName(Kernel& kernel, const std::string& name) {
    return static_cast<DeviceObject*>(kernel.LookupObject(name));
}

std::string IoOpenDeviceRegistryKey(const DeviceObject* pdo) {
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + pdo->InstanceId +
           "\\Device Parameters";
}

NTSTATUS IoRegisterDeviceInterface(DeviceObject* pdo, const std::string& classGuid,
                                   std::string* link) {
    if (!pdo || pdo->InstanceId.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    *link = pdo->kernel().RegisterDeviceInterface(pdo->InstanceId, classGuid);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(Kernel& kernel, const std::string& link, bool enable) {
    return kernel.SetDeviceInterfaceState(link, enable);
}

NTSTATUS IoRemoveLock::Acquire() {
    count_.Increment();
    if (removed_.load()) {
        count_.Decrement();
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

void IoRemoveLock::Release() {
    count_.Decrement();
}

void IoRemoveLock::ReleaseAndWait() {
    VM_KASSERT(!removed_.exchange(true));  // removal begins once
    count_.Decrement();
    Kernel& kernel = count_.ZeroEvent().kernel();
    kernel.Wait(count_.ZeroEvent());
}

}  // namespace vm::drv
