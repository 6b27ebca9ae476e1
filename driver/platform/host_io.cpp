#include "driver/platform/host_io.h"

#include <algorithm>
#include <cstring>

namespace vm::drv::host {

namespace {
constexpr std::uint32_t kSystemBufferTag = PoolTag("HstB");
}

struct HostFile::Setup {
    std::uint8_t major = 0;
    std::uint32_t length = 0;  // read and write length, query length
    std::uint32_t code = 0;
    std::uint32_t inLength = 0;
    std::uint32_t outLength = 0;
    std::uint32_t infoClass = 0;
    std::uint32_t createOptions = 0;
    const void* in = nullptr;
    void* out = nullptr;
    std::uint32_t bufferLength = 0;  // the system buffer's size
    std::uint32_t copyIn = 0;        // bytes of `in` copied into it
    std::uint32_t copyOutMax = 0;    // at most this many bytes copied back to `out`
};

NTSTATUS HostFile::Open(Kernel& kernel, const std::string& name, std::unique_ptr<HostFile>* file,
                        std::uint32_t createOptions) {
    file->reset();
    DeviceObject* device = ObReferenceDeviceObjectByName(kernel, name);
    if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::unique_ptr<HostFile> handle(new HostFile(kernel, device));
    handle->file_.Device = device;
    Setup setup;
    setup.major = IRP_MJ_CREATE;
    setup.createOptions = createOptions;
    const NTSTATUS status = handle->Send(setup, nullptr);
    if (!NT_SUCCESS(status)) {
        handle->closed_ = true;
        ObDereferenceDeviceObject(device);
        return status;
    }
    *file = std::move(handle);
    return status;
}

HostFile::~HostFile() {
    Close();
}

NTSTATUS HostFile::Send(const Setup& setup, std::uintptr_t* information) {
    Irp* irp;
    void* buffer = nullptr;
    {
        // The request and its buffer are the system's, not the driver's.
        const Pool::Suspend system(kernel_.pool());
        irp = IoAllocateIrp(kernel_, device_->StackSize);
        if (setup.bufferLength > 0)
            buffer = kernel_.pool().Allocate(setup.bufferLength, kSystemBufferTag);
    }
    if (!irp || (setup.bufferLength > 0 && !buffer)) {
        if (irp) IoFreeIrp(irp);
        if (buffer) kernel_.pool().Free(buffer);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (setup.copyIn > 0) std::memcpy(buffer, setup.in, setup.copyIn);
    KEvent done(kernel_);
    IoStatusBlock iosb{STATUS_PENDING, 0};
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    irp->SystemBuffer = buffer;
    IoStackLocation* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = setup.major;
    next->File = &file_;
    switch (setup.major) {
        case IRP_MJ_CREATE:
            next->Parameters.Create.Options = setup.createOptions;
            break;
        case IRP_MJ_READ:
            next->Parameters.Read.Length = setup.length;
            break;
        case IRP_MJ_WRITE:
            next->Parameters.Write.Length = setup.length;
            break;
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            next->Parameters.DeviceIoControl.IoControlCode = setup.code;
            next->Parameters.DeviceIoControl.InputBufferLength = setup.inLength;
            next->Parameters.DeviceIoControl.OutputBufferLength = setup.outLength;
            break;
        case IRP_MJ_QUERY_INFORMATION:
            next->Parameters.QueryFile.Length = setup.length;
            next->Parameters.QueryFile.FileInformationClass = setup.infoClass;
            break;
        case IRP_MJ_SET_INFORMATION:
            next->Parameters.SetFile.Length = setup.length;
            next->Parameters.SetFile.FileInformationClass = setup.infoClass;
            break;
        default:
            break;
    }
    {
        MutexLock lock(inFlightMutex_);
        inFlight_.insert(irp);
        ++requests_;
    }
    const NTSTATUS returned = IoCallDriver(device_, irp);
    kernel_.Wait(done);
    {
        MutexLock lock(inFlightMutex_);
        inFlight_.erase(irp);
    }
    // What the caller relies on: a dispatch that did not return pending returned the status it
    // completed with; one that returned pending marked the request pending.
    VM_KASSERT(returned == STATUS_PENDING || returned == iosb.Status);
    VM_KASSERT(returned != STATUS_PENDING || irp->PendingReturned);
    const std::uintptr_t info = iosb.Information;
    if (setup.out && NT_SUCCESS(iosb.Status)) {
        VM_KASSERT(info <= setup.bufferLength);
        // Nothing to copy when there is no system buffer (both lengths 0).
        const std::uintptr_t n = std::min<std::uintptr_t>(info, setup.copyOutMax);
        if (n > 0) std::memcpy(setup.out, buffer, n);
    }
    if (information) *information = info;
    IoFreeIrp(irp);
    if (buffer) kernel_.pool().Free(buffer);
    return iosb.Status;
}

NTSTATUS HostFile::Read(void* data, std::uint32_t length, std::uint32_t* got,
                        std::uint32_t* reported) {
    Setup setup;
    setup.major = IRP_MJ_READ;
    setup.length = length;
    setup.out = data;
    setup.bufferLength = length;
    setup.copyOutMax = length;
    std::uintptr_t info = 0;
    const NTSTATUS status = Send(setup, &info);
    // A read that timed out (a success code) still returns what it got.
    *got = NT_SUCCESS(status) ? static_cast<std::uint32_t>(info) : 0;
    if (reported) *reported = static_cast<std::uint32_t>(info);
    return status;
}

NTSTATUS HostFile::Write(const void* data, std::uint32_t length, std::uint32_t* put) {
    Setup setup;
    setup.major = IRP_MJ_WRITE;
    setup.length = length;
    setup.in = data;
    setup.bufferLength = length;
    setup.copyIn = length;
    std::uintptr_t info = 0;
    const NTSTATUS status = Send(setup, &info);
    *put = static_cast<std::uint32_t>(info);
    return status;
}

NTSTATUS HostFile::Flush() {
    Setup setup;
    setup.major = IRP_MJ_FLUSH_BUFFERS;
    return Send(setup, nullptr);
}

NTSTATUS HostFile::DeviceIoControl(std::uint32_t code, const void* in, std::uint32_t inLength,
                                   void* out, std::uint32_t outLength, std::uint32_t* returned,
                                   bool internal) {
    Setup setup;
    setup.major = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    setup.code = code;
    setup.inLength = inLength;
    setup.outLength = outLength;
    setup.in = in;
    setup.out = out;
    setup.bufferLength = std::max(inLength, outLength);
    setup.copyIn = in ? inLength : 0;
    setup.copyOutMax = out ? outLength : 0;
    std::uintptr_t info = 0;
    const NTSTATUS status = Send(setup, &info);
    VM_KASSERT(!NT_SUCCESS(status) || info <= outLength);
    if (returned) *returned = static_cast<std::uint32_t>(info);
    return status;
}

NTSTATUS HostFile::QueryInformation(std::uint32_t infoClass, void* out, std::uint32_t length,
                                    std::uint32_t* returned) {
    Setup setup;
    setup.major = IRP_MJ_QUERY_INFORMATION;
    setup.length = length;
    setup.infoClass = infoClass;
    setup.out = out;
    setup.bufferLength = length;
    setup.copyOutMax = length;
    std::uintptr_t info = 0;
    const NTSTATUS status = Send(setup, &info);
    if (returned) *returned = static_cast<std::uint32_t>(info);
    return status;
}

NTSTATUS HostFile::SetInformation(std::uint32_t infoClass, const void* in, std::uint32_t length) {
    Setup setup;
    setup.major = IRP_MJ_SET_INFORMATION;
    setup.length = length;
    setup.infoClass = infoClass;
    setup.in = in;
    setup.bufferLength = length;
    setup.copyIn = in ? length : 0;
    return Send(setup, nullptr);
}

void HostFile::CancelIo() {
    MutexLock lock(inFlightMutex_);
    for (Irp* irp : inFlight_) IoCancelIrp(irp);
}

NTSTATUS HostFile::Close() {
    if (closed_) return STATUS_SUCCESS;
    closed_ = true;
    Setup cleanup;
    cleanup.major = IRP_MJ_CLEANUP;
    Send(cleanup, nullptr);
    Setup close;
    close.major = IRP_MJ_CLOSE;
    const NTSTATUS status = Send(close, nullptr);
    ObDereferenceDeviceObject(device_);
    return status;
}

}  // namespace vm::drv::host
