// The host's I/O manager as an application's handle sees it: open a device by name (through
// its symbolic link), read, write, flush, device control and file information with buffered
// system buffers of exactly the requested size, cancel what the handle has in flight, and close
// as cleanup then close. Every call is synchronous, as the Win32 calls without overlap are.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "driver/platform/io.h"

namespace vm::drv::host {

class HostFile {
public:
    // Opens the device a name stands for ("\\DosDevices\\COM5" or "\\Device\\Serial0"): the
    // create request's status; `file` is set only when it succeeded.
    static NTSTATUS Open(Kernel& kernel, const std::string& name, std::unique_ptr<HostFile>* file,
                         std::uint32_t createOptions = 0);
    ~HostFile();
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;

    // `got`: the bytes read (0 on failure, as the data of a failed read is not copied back);
    // `reported`, when given: the count the driver completed the read with, failed or not.
    NTSTATUS Read(void* data, std::uint32_t length, std::uint32_t* got,
                  std::uint32_t* reported = nullptr);
    NTSTATUS Write(const void* data, std::uint32_t length, std::uint32_t* put);
    NTSTATUS Flush();
    // Buffered device control: one system buffer of max(in, out) bytes carries the input in and
    // the output (`returned` bytes, never more than outLength) back.
    NTSTATUS DeviceIoControl(std::uint32_t code, const void* in, std::uint32_t inLength, void* out,
                             std::uint32_t outLength, std::uint32_t* returned = nullptr,
                             bool internal = false);
    NTSTATUS QueryInformation(std::uint32_t infoClass, void* out, std::uint32_t length,
                              std::uint32_t* returned = nullptr);
    NTSTATUS SetInformation(std::uint32_t infoClass, const void* in, std::uint32_t length);
    // Cancels every request of this handle in flight (from any thread).
    void CancelIo();
    // Cleanup, then close; returns the close's status. Done once; the destructor does it too.
    NTSTATUS Close();

    DeviceObject* device() const { return device_; }
    // Requests sent and requests whose dispatch broke the completion rules (none expected).
    std::uint64_t requests() const { return requests_; }

private:
    HostFile(Kernel& kernel, DeviceObject* device) : kernel_(kernel), device_(device) {}
    struct Setup;
    NTSTATUS Send(const Setup& setup, std::uintptr_t* information);

    Kernel& kernel_;
    DeviceObject* device_;
    FileObject file_;
    bool closed_ = false;
    Mutex inFlightMutex_;
    std::set<Irp*> inFlight_ GUARDED_BY(inFlightMutex_);
    std::uint64_t requests_ = 0;
};

}  // namespace vm::drv::host
