#include "driver/sim/sim_chip.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vm::sim {

using namespace vm::drv;

namespace {
std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

constexpr std::uint8_t kInterruptIn = ChipModel::kInterruptIn;

PipeHandle HandleOf(std::uint8_t endpoint) {
    return 0x5100u + endpoint;
}
}  // namespace

std::string WireRecord::ToString() const {
    switch (kind) {
        case Kind::Control:
            return Hex(requestType, 2) + " " + Hex(request, 2) + " " + Hex(value, 4) + " " +
                   Hex(index, 4) + " " + Hex(length, 4);
        case Kind::GetDescriptor:
            return "GET_DESCRIPTOR type " + std::to_string(value >> 8) + " index " +
                   std::to_string(value & 0xFF) + " lang " + Hex(index, 4) + " length " +
                   std::to_string(length);
        case Kind::SelectConfiguration: {
            std::string text = "SELECT_CONFIGURATION";
            for (int i : interfaces) text += " if" + std::to_string(i);
            return text;
        }
        case Kind::Unconfigure:
            return "UNCONFIGURE";
        case Kind::Feature:
            return std::string(function == URB_FUNCTION_SET_FEATURE_TO_DEVICE ? "SET" : "CLEAR") +
                   "_FEATURE " + std::to_string(value);
        case Kind::BulkOut:
            return "BULK_OUT " + Hex(endpoint, 2) + " " + std::to_string(length);
        case Kind::BulkIn:
            return "BULK_IN " + Hex(endpoint, 2) + " " + std::to_string(length);
        case Kind::InterruptIn:
            return "INTERRUPT_IN " + Hex(endpoint, 2) + " " + std::to_string(length);
        case Kind::ResetPipe:
            return "RESET_PIPE " + Hex(endpoint, 2);
        case Kind::ResetPort:
            return "RESET_PORT";
    }
    return "?";
}

SimChip::SimChip(Kernel& kernel, ChipProfile profile)
    : kernel_(kernel), profile_(profile), model_(std::move(profile)) {}

SimChip::~SimChip() {
    // Whatever is still held is cancelled so that its owner can free it.
    for (;;) {
        Pending p;
        {
            MutexLock lock(mutex_);
            if (pending_.empty()) break;
            if (!TakePending(0, p)) break;
        }
        Finish({p.irp, p.urb, STATUS_CANCELLED, USBD_STATUS_CANCELED});
    }
}

// --- Descriptors --------------------------------------------------------------------------------

std::vector<std::uint8_t> SimChip::DeviceDescriptor() const {
    MutexLock lock(mutex_);
    return model_.DeviceDescriptor();
}

std::vector<std::uint8_t> SimChip::ConfigurationDescriptor() const {
    MutexLock lock(mutex_);
    return model_.ConfigurationDescriptor();
}

std::vector<std::uint8_t> SimChip::StringDescriptor(std::uint8_t index) const {
    MutexLock lock(mutex_);
    return model_.StringDescriptor(index);
}

// --- Submission ---------------------------------------------------------------------------------

WireRecord SimChip::Describe(Urb* urb) const {
    WireRecord r;
    r.urbLength = urb->Hdr.Length;
    r.function = urb->Hdr.Function;
    switch (urb->Hdr.Function) {
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE: {
            auto& c = urb->As<UrbControlVendorOrClass>();
            const bool in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            r.kind = WireRecord::Kind::Control;
            r.requestType = static_cast<std::uint8_t>(
                (urb->Hdr.Function == URB_FUNCTION_VENDOR_DEVICE ? 0x40 : 0x21) | (in ? 0x80 : 0) |
                c.RequestTypeReservedBits);
            r.request = c.Request;
            r.value = c.Value;
            r.index = c.Index;
            r.length = static_cast<std::uint16_t>(c.TransferBufferLength);
            r.transferFlags = c.TransferFlags;
            if (!in && c.TransferBuffer && c.TransferBufferLength) {
                auto* bytes = static_cast<const std::uint8_t*>(c.TransferBuffer);
                r.data.assign(bytes, bytes + c.TransferBufferLength);
            }
            break;
        }
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& d = urb->As<UrbDescriptorRequest>();
            r.kind = WireRecord::Kind::GetDescriptor;
            r.requestType = 0x80;
            r.request = 0x06;
            r.value = static_cast<std::uint16_t>(d.DescriptorType << 8 | d.Index);
            r.index = d.LanguageId;
            r.length = static_cast<std::uint16_t>(d.TransferBufferLength);
            break;
        }
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            auto& s = urb->As<UrbSelectConfiguration>();
            r.kind = s.ConfigurationDescriptor ? WireRecord::Kind::SelectConfiguration
                                               : WireRecord::Kind::Unconfigure;
            for (auto& i : s.Interfaces) r.interfaces.push_back(i.InterfaceNumber);
            break;
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: {
            auto& f = urb->As<UrbFeatureRequest>();
            r.kind = WireRecord::Kind::Feature;
            r.value = f.FeatureSelector;
            r.index = f.Index;
            break;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& t = urb->As<UrbBulkOrInterruptTransfer>();
            r.endpoint = static_cast<std::uint8_t>(t.Pipe - HandleOf(0));
            r.length = static_cast<std::uint16_t>(t.TransferBufferLength);
            r.transferFlags = t.TransferFlags;
            if (r.endpoint == kInterruptIn) {
                r.kind = WireRecord::Kind::InterruptIn;
            } else if (r.endpoint & 0x80) {
                r.kind = WireRecord::Kind::BulkIn;
            } else {
                r.kind = WireRecord::Kind::BulkOut;
                if (t.TransferBuffer && t.TransferBufferLength) {
                    auto* bytes = static_cast<const std::uint8_t*>(t.TransferBuffer);
                    r.data.assign(bytes, bytes + t.TransferBufferLength);
                }
            }
            break;
        }
        case URB_FUNCTION_RESET_PIPE:
            r.kind = WireRecord::Kind::ResetPipe;
            r.endpoint = static_cast<std::uint8_t>(urb->As<UrbPipeRequest>().Pipe - HandleOf(0));
            break;
        default:
            break;
    }
    return r;
}

NTSTATUS SimChip::SubmitUrb(Irp* irp, Urb* urb) {
    const WireRecord record = Describe(urb);
    std::vector<Completion> done;
    std::vector<std::vector<std::uint8_t>> transmitted;
    NTSTATUS result = STATUS_PENDING;
    {
        MutexLock lock(mutex_);
        log_.push_back(record);
        bool faulted = false;
        for (Fault& fault : faults_) {
            if (fault.times <= 0 || !fault.match(record)) continue;
            --fault.times;
            faulted = true;
            if (fault.hang) {
                result = Keep(irp, urb, Wait::Hung);
            } else {
                done.push_back({irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID});
            }
            break;
        }
        if (!faulted) {
            if (unplugged_) {
                done.push_back({irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE});
            } else if (!powered_) {
                done.push_back({irp, urb, STATUS_DEVICE_POWERED_OFF, USBD_STATUS_DEVICE_GONE});
            } else if (deferred_) {
                result = Keep(irp, urb, Wait::Deferred);
            } else {
                const Outcome outcome = Process(urb, transmitted);
                if (outcome.wait) {
                    result = Keep(irp, urb, outcome.waitFor);
                } else {
                    done.push_back({irp, urb, outcome.status, outcome.usbd});
                }
                SatisfyWaiters(done);
            }
        }
        if (result != STATUS_PENDING) done.push_back({irp, urb, result, USBD_STATUS_CANCELED});
    }
    DeliverTransmitted(transmitted);
    NTSTATUS own = STATUS_PENDING;
    for (const Completion& c : done) {
        if (c.irp == irp) own = c.status;
        Finish(c);
    }
    return own;
}

NTSTATUS SimChip::ResetPort(Irp* irp) {
    NTSTATUS status = STATUS_SUCCESS;
    {
        MutexLock lock(mutex_);
        WireRecord r;
        r.kind = WireRecord::Kind::ResetPort;
        log_.push_back(r);
        if (unplugged_) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            ++portResets_;
        }
    }
    irp->IoStatus.Status = status;
    IrqlScope atDispatch(Irql::Dispatch);
    IoCompleteRequest(irp);
    return status;
}

NTSTATUS SimChip::Keep(Irp* irp, Urb* urb, Wait wait) {
    IoMarkIrpPending(irp);
    irp->DriverContext[0] = this;
    pending_.push_back({irp, urb, wait});
    IoSetCancelRoutine(irp, &SimChip::CancelRoutine);
    if (irp->Cancel.load() && IoSetCancelRoutine(irp, nullptr)) {
        pending_.pop_back();
        return STATUS_CANCELLED;
    }
    return STATUS_PENDING;
}

bool SimChip::TakePending(std::size_t index, Pending& out) {
    Pending p = pending_[index];
    if (!IoSetCancelRoutine(p.irp, nullptr)) return false;  // its cancel routine is on the way
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(index));
    out = p;
    return true;
}

// Called with the cancel spin lock held, which it lets go (taken in IoCancelIrp): unchecked.
void SimChip::CancelRoutine(DeviceObject*, Irp* irp) NO_THREAD_SAFETY_ANALYSIS {
    IoReleaseCancelSpinLock(irp->kernel(), irp->CancelIrql);
    auto* chip = static_cast<SimChip*>(irp->DriverContext[0]);
    Urb* urb = nullptr;
    {
        MutexLock lock(chip->mutex_);
        auto it = std::find_if(chip->pending_.begin(), chip->pending_.end(),
                               [&](const Pending& p) { return p.irp == irp; });
        VM_KASSERT(it != chip->pending_.end());
        urb = it->urb;
        chip->pending_.erase(it);
    }
    chip->Finish({irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED});
}

void SimChip::Finish(const Completion& c) {
    c.urb->Hdr.Status = c.usbd;
    if (!NT_SUCCESS(c.status) && c.urb->Hdr.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        c.urb->As<UrbBulkOrInterruptTransfer>().TransferBufferLength = 0;
    }
    c.irp->IoStatus.Status = c.status;
    c.irp->IoStatus.Information = 0;
    std::function<void(Irp*)> hook;
    {
        MutexLock lock(mutex_);
        hook = beforeComplete_;
    }
    if (hook) hook(c.irp);
    // A host controller completes transfers at dispatch level: a completion routine that waits
    // or sends a synchronous request is caught here as it would be on a real stack.
    IrqlScope atDispatch(Irql::Dispatch);
    IoCompleteRequest(c.irp);
}

std::vector<std::string> SimChip::HardwareIds() const {
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_%04X", profile_.vendorId,
                  profile_.productId, 0x0300u + static_cast<unsigned>(profile_.variant));
    std::vector<std::string> ids{text};
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", profile_.vendorId,
                  profile_.productId);
    ids.emplace_back(text);
    return ids;
}

void SimChip::SetBeforeComplete(std::function<void(Irp*)> hook) {
    MutexLock lock(mutex_);
    beforeComplete_ = std::move(hook);
}

void SimChip::DeliverTransmitted(const std::vector<std::vector<std::uint8_t>>& transmitted) {
    std::function<void(std::span<const std::uint8_t>)> sink;
    {
        MutexLock lock(mutex_);
        sink = transmitSink_;
    }
    if (!sink) return;
    for (const auto& bytes : transmitted) sink(bytes);
}

// --- Request processing (lock held) -----------------------------------------------------------

namespace {
std::span<std::uint8_t> BytesOf(void* buffer, std::uint32_t length) {
    return buffer ? std::span<std::uint8_t>(static_cast<std::uint8_t*>(buffer), length)
                  : std::span<std::uint8_t>();
}
}  // namespace

SimChip::Outcome SimChip::Process(Urb* urb, std::vector<std::vector<std::uint8_t>>& transmitted) {
    const Outcome stall{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    switch (urb->Hdr.Function) {
        case URB_FUNCTION_VENDOR_DEVICE:
            return Control(urb->As<UrbControlVendorOrClass>(), true);
        case URB_FUNCTION_CLASS_INTERFACE:
            return Control(urb->As<UrbControlVendorOrClass>(), false);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& d = urb->As<UrbDescriptorRequest>();
            const auto n = model_.Descriptor(d.DescriptorType, d.Index, d.LanguageId,
                                             BytesOf(d.TransferBuffer, d.TransferBufferLength));
            if (!n) return stall;
            d.TransferBufferLength = static_cast<std::uint32_t>(*n);
            return {};
        }
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            auto& s = urb->As<UrbSelectConfiguration>();
            if (!s.ConfigurationDescriptor) {
                model_.SetConfigured(false);
                return {};
            }
            const std::vector<std::uint8_t> config = model_.ConfigurationDescriptor();
            for (UsbInterfaceInformation& info : s.Interfaces) {
                if (!FillInterfaceInformation(config, info, &HandleOf)) {
                    return {STATUS_INVALID_PARAMETER, USBD_STATUS_STALL_PID};
                }
            }
            s.ConfigurationHandle = 0xC0F1;
            model_.SetConfigured(true);
            return {};
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: {
            auto& f = urb->As<UrbFeatureRequest>();
            SetupPacket setup;
            setup.request = urb->Hdr.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE ? 0x03 : 0x01;
            setup.value = f.FeatureSelector;
            setup.index = f.Index;
            return model_.Control(setup, {}) ? Outcome{} : stall;
        }
        case URB_FUNCTION_RESET_PIPE:
            return model_.Configured() ? Outcome{} : stall;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return Transfer(urb->As<UrbBulkOrInterruptTransfer>(), transmitted);
        default:
            return stall;
    }
}

SimChip::Outcome SimChip::Transfer(UrbBulkOrInterruptTransfer& t,
                                   std::vector<std::vector<std::uint8_t>>& transmitted) {
    const auto endpoint = static_cast<std::uint8_t>(t.Pipe - HandleOf(0));
    if (!model_.Configured() || !model_.HasEndpoint(endpoint)) {
        return {STATUS_INVALID_PARAMETER, USBD_STATUS_STALL_PID};
    }
    const std::span<std::uint8_t> bytes = BytesOf(t.TransferBuffer, t.TransferBufferLength);
    if (endpoint == ChipModel::kBulkOut) {
        model_.BulkOut(bytes);
        transmitted.emplace_back(bytes.begin(), bytes.end());
        return {};
    }
    const auto n = endpoint == kInterruptIn ? model_.InterruptIn(bytes) : model_.BulkIn(bytes);
    if (!n) {
        return {STATUS_SUCCESS, USBD_STATUS_SUCCESS, true,
                endpoint == kInterruptIn ? Wait::Status : Wait::Data};
    }
    t.TransferBufferLength = static_cast<std::uint32_t>(*n);
    return {};
}

SimChip::Outcome SimChip::Control(UrbControlVendorOrClass& c, bool vendor) {
    const bool in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    SetupPacket setup;
    setup.requestType = static_cast<std::uint8_t>((vendor ? 0x40 : 0x21) | (in ? 0x80 : 0) |
                                                  c.RequestTypeReservedBits);
    setup.request = c.Request;
    setup.value = c.Value;
    setup.index = c.Index;
    setup.length = static_cast<std::uint16_t>(c.TransferBufferLength);
    const auto n = model_.Control(setup, BytesOf(c.TransferBuffer, c.TransferBufferLength));
    if (!n) return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    c.TransferBufferLength = static_cast<std::uint32_t>(*n);
    return {};
}

void SimChip::SatisfyWaiters(std::vector<Completion>& done) {
    std::vector<std::vector<std::uint8_t>> unused;
    for (std::size_t i = 0; i < pending_.size();) {
        const Pending& p = pending_[i];
        const bool ready = (p.wait == Wait::Data && model_.HasReceived()) ||
                           (p.wait == Wait::Status && model_.HasStatus());
        Pending taken;
        if (!ready || !TakePending(i, taken)) {
            ++i;
            continue;
        }
        const Outcome outcome = Process(taken.urb, unused);
        done.push_back({taken.irp, taken.urb, outcome.status, outcome.usbd});
    }
}

// --- Test controls ------------------------------------------------------------------------------

std::vector<WireRecord> SimChip::Log() const {
    MutexLock lock(mutex_);
    return log_;
}

std::vector<std::string> SimChip::ControlLog() const {
    std::vector<std::string> lines;
    for (const WireRecord& r : Log()) {
        if (r.kind == WireRecord::Kind::Control) lines.push_back(r.ToString());
    }
    return lines;
}

void SimChip::ClearLog() {
    MutexLock lock(mutex_);
    log_.clear();
}

std::uint8_t SimChip::Register(int reg) const {
    MutexLock lock(mutex_);
    return model_.Register(reg);
}

void SimChip::SetRegister(int reg, std::uint8_t value) {
    MutexLock lock(mutex_);
    model_.SetRegister(reg, value);
}

std::uint16_t SimChip::WideRegister(int reg) const {
    MutexLock lock(mutex_);
    return model_.WideRegister(reg);
}

void SimChip::SetWideRegister(int reg, std::uint16_t value) {
    MutexLock lock(mutex_);
    model_.SetWideRegister(reg, value);
}

std::uint8_t SimChip::Eeprom(std::uint8_t address) const {
    MutexLock lock(mutex_);
    return model_.Eeprom(address);
}

void SimChip::SetEeprom(std::uint8_t address, std::uint8_t value) {
    MutexLock lock(mutex_);
    model_.SetEeprom(address, value);
}

void SimChip::SetEepromMarker(std::uint8_t address) {
    SetEeprom(address, 0x71);
    SetEeprom(static_cast<std::uint8_t>(address + 1), 0x3A);
}

void SimChip::SetEepromBusyReads(int reads) {
    MutexLock lock(mutex_);
    model_.SetEepromBusyReads(reads);
}

int SimChip::EepromWritesWhileBusy() const {
    MutexLock lock(mutex_);
    return model_.EepromWritesWhileBusy();
}

std::array<std::uint8_t, 7> SimChip::LineCodingBytes() const {
    MutexLock lock(mutex_);
    return model_.LineCodingBytes();
}

std::uint16_t SimChip::ControlLineState() const {
    MutexLock lock(mutex_);
    return model_.ControlLineState();
}

bool SimChip::BreakOn() const {
    MutexLock lock(mutex_);
    return model_.BreakOn();
}

std::uint16_t SimChip::CommFeature() const {
    MutexLock lock(mutex_);
    return model_.CommFeature();
}

std::uint8_t SimChip::FlowThreshold() const {
    MutexLock lock(mutex_);
    return model_.FlowThreshold();
}

bool SimChip::RemoteWakeup() const {
    MutexLock lock(mutex_);
    return model_.RemoteWakeup();
}

bool SimChip::Configured() const {
    MutexLock lock(mutex_);
    return model_.Configured();
}

int SimChip::PortResets() const {
    MutexLock lock(mutex_);
    return portResets_;
}

void SimChip::SetLoopback(bool on) {
    MutexLock lock(mutex_);
    model_.SetLoopback(on);
}

void SimChip::SetTransmitSink(std::function<void(std::span<const std::uint8_t>)> sink) {
    MutexLock lock(mutex_);
    transmitSink_ = std::move(sink);
}

std::vector<std::uint8_t> SimChip::Transmitted() const {
    MutexLock lock(mutex_);
    return model_.Transmitted();
}

void SimChip::InjectReceive(std::span<const std::uint8_t> bytes) {
    std::vector<Completion> done;
    {
        MutexLock lock(mutex_);
        model_.Receive(bytes);
        SatisfyWaiters(done);
    }
    for (const Completion& c : done) Finish(c);
}

void SimChip::ClearReceived() {
    MutexLock lock(mutex_);
    model_.ClearReceived();
}

void SimChip::InjectStatus(const std::array<std::uint8_t, 10>& notification) {
    std::vector<Completion> done;
    {
        MutexLock lock(mutex_);
        model_.QueueStatus(notification);
        SatisfyWaiters(done);
    }
    for (const Completion& c : done) Finish(c);
}

void SimChip::StallWhen(Match match, int times) {
    MutexLock lock(mutex_);
    faults_.push_back({std::move(match), times, false});
}

void SimChip::HangWhen(Match match, int times) {
    MutexLock lock(mutex_);
    faults_.push_back({std::move(match), times, true});
}

void SimChip::Unplug() {
    std::vector<Completion> done;
    {
        MutexLock lock(mutex_);
        unplugged_ = true;
        for (std::size_t i = 0; i < pending_.size();) {
            Pending p;
            if (!TakePending(i, p)) {
                ++i;
                continue;
            }
            done.push_back({p.irp, p.urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE});
        }
    }
    for (const Completion& c : done) Finish(c);
}

void SimChip::SetDevicePower(std::uint32_t deviceState) {
    std::vector<Completion> done;
    {
        MutexLock lock(mutex_);
        const bool on = deviceState == PowerDeviceD0;
        if (on && !powered_) {
            // Power-on values: what the chip was told before is gone.
            model_.PowerOnReset();
            ++powerLosses_;
        }
        if (!on && powered_) {
            for (std::size_t i = 0; i < pending_.size();) {
                Pending p;
                if (pending_[i].wait == Wait::Deferred || !TakePending(i, p)) {
                    ++i;
                    continue;
                }
                done.push_back({p.irp, p.urb, STATUS_DEVICE_POWERED_OFF, USBD_STATUS_DEVICE_GONE});
            }
        }
        powered_ = on;
    }
    for (const Completion& c : done) Finish(c);
}

bool SimChip::Powered() const {
    MutexLock lock(mutex_);
    return powered_;
}

int SimChip::PowerLosses() const {
    MutexLock lock(mutex_);
    return powerLosses_;
}

void SimChip::SetDeferred(bool on) {
    MutexLock lock(mutex_);
    deferred_ = on;
}

std::size_t SimChip::PendingCount() const {
    MutexLock lock(mutex_);
    return pending_.size();
}

std::size_t SimChip::WaitingReceives() const {
    MutexLock lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        pending_.begin(), pending_.end(), [](const Pending& p) { return p.wait == Wait::Data; }));
}

std::size_t SimChip::WaitingStatusReads() const {
    MutexLock lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        pending_.begin(), pending_.end(), [](const Pending& p) { return p.wait == Wait::Status; }));
}

bool SimChip::CompleteOne() {
    std::vector<Completion> done;
    std::vector<std::vector<std::uint8_t>> transmitted;
    bool found = false;
    {
        MutexLock lock(mutex_);
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            if (pending_[i].wait != Wait::Deferred) continue;
            Pending p;
            if (!TakePending(i, p)) continue;
            found = true;
            const Outcome outcome = Process(p.urb, transmitted);
            if (outcome.wait) {
                const NTSTATUS kept = Keep(p.irp, p.urb, outcome.waitFor);
                if (kept != STATUS_PENDING) {
                    done.push_back({p.irp, p.urb, kept, USBD_STATUS_CANCELED});
                }
            } else {
                done.push_back({p.irp, p.urb, outcome.status, outcome.usbd});
            }
            SatisfyWaiters(done);
            break;
        }
    }
    DeliverTransmitted(transmitted);
    for (const Completion& c : done) Finish(c);
    return found;
}

void SimChip::CompleteAll() {
    while (CompleteOne()) {
    }
}

}  // namespace vm::sim
