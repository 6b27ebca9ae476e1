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
}  // namespace

WireRecord WireRecord::ForControl(const SetupPacket& setup, std::span<const std::uint8_t> stage) {
    WireRecord r;
    const bool standard = (setup.requestType & 0x60) == drv::kUsbTypeStandard;
    r.kind = !standard                                          ? Kind::Control
             : setup.request == drv::USB_REQUEST_GET_DESCRIPTOR ? Kind::GetDescriptor
                                                                : Kind::Feature;
    r.requestType = setup.requestType;
    r.request = setup.request;
    r.value = setup.value;
    r.index = setup.index;
    r.length = setup.length;
    if (!setup.In()) r.data.assign(stage.begin(), stage.end());
    return r;
}

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
    EndAllKept(kCancelled);
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

// --- Requests -----------------------------------------------------------------------------------

namespace {
WireRecord Describe(const UsbRequest& request) {
    WireRecord r;
    r.urbLength = request.urbLength;
    r.function = request.function;
    r.transferFlags = request.transferFlags;
    switch (request.kind) {
        case UsbRequest::Kind::Control:
            r = WireRecord::ForControl(request.setup, request.data);
            r.urbLength = request.urbLength;
            r.function = request.function;
            r.transferFlags = request.transferFlags;
            break;
        case UsbRequest::Kind::SelectConfiguration:
        case UsbRequest::Kind::Unconfigure:
            r.kind = request.kind == UsbRequest::Kind::SelectConfiguration
                         ? WireRecord::Kind::SelectConfiguration
                         : WireRecord::Kind::Unconfigure;
            for (auto& i : request.configuration->Interfaces)
                r.interfaces.push_back(i.InterfaceNumber);
            break;
        case UsbRequest::Kind::Transfer:
            r.endpoint = request.endpoint.value_or(0);
            r.length = static_cast<std::uint16_t>(request.data.size());
            r.kind = r.endpoint == ChipModel::kInterruptIn ? WireRecord::Kind::InterruptIn
                     : request.In()                        ? WireRecord::Kind::BulkIn
                                                           : WireRecord::Kind::BulkOut;
            if (r.kind == WireRecord::Kind::BulkOut)
                r.data.assign(request.data.begin(), request.data.end());
            break;
        case UsbRequest::Kind::ResetPipe:
            r.kind = WireRecord::Kind::ResetPipe;
            r.endpoint = request.endpoint.value_or(0);
            break;
        case UsbRequest::Kind::Unsupported:
            break;
    }
    return r;
}
}  // namespace

void SimChip::Carry(Irp* irp, Urb* urb, UsbRequest& request, Completions& done) {
    const WireRecord record = Describe(request);
    Outgoing transmitted;
    {
        MutexLock lock(mutex_);
        log_.push_back(record);
        bool faulted = false;
        for (Fault& fault : faults_) {
            if (fault.times <= 0 || !fault.match(record)) continue;
            --fault.times;
            faulted = true;
            if (fault.hang) {
                Keep(irp, urb, request, kHung, nullptr, done);
            } else {
                done.Add(irp, urb, kStall);
            }
            break;
        }
        if (!faulted) {
            if (unplugged_) {
                done.Add(irp, urb, kDeviceGone);
            } else if (!powered_) {
                done.Add(irp, urb, {STATUS_DEVICE_POWERED_OFF, USBD_STATUS_DEVICE_GONE});
            } else if (deferred_) {
                Keep(irp, urb, request, kDeferred, nullptr, done);
            } else {
                const Outcome outcome = Process(request, transmitted);
                if (outcome.wait) {
                    Keep(irp, urb, request, outcome.waitFor, nullptr, done);
                } else {
                    done.Add(irp, urb, outcome.result);
                }
                SatisfyWaiters(done);
            }
        }
    }
    DeliverTransmitted(transmitted);
}

NTSTATUS SimChip::ResetDevice() {
    MutexLock lock(mutex_);
    WireRecord r;
    r.kind = WireRecord::Kind::ResetPort;
    log_.push_back(r);
    if (unplugged_) return STATUS_DEVICE_NOT_CONNECTED;
    ++portResets_;
    return STATUS_SUCCESS;
}

void SimChip::BeforeComplete(Irp* irp) {
    std::function<void(Irp*)> hook;
    {
        MutexLock lock(mutex_);
        hook = beforeComplete_;
    }
    if (hook) hook(irp);
}

void SimChip::SetBeforeComplete(std::function<void(Irp*)> hook) {
    MutexLock lock(mutex_);
    beforeComplete_ = std::move(hook);
}

void SimChip::DeliverTransmitted(const Outgoing& transmitted) {
    std::function<void(std::span<const std::uint8_t>)> sink;
    {
        MutexLock lock(mutex_);
        sink = transmitSink_;
    }
    if (!sink) return;
    for (const auto& bytes : transmitted) sink(bytes);
}

// --- Request processing (lock held) -----------------------------------------------------------

SimChip::Outcome SimChip::Process(UsbRequest& request, Outgoing& transmitted) {
    switch (request.kind) {
        case UsbRequest::Kind::Control: {
            const auto n = model_.Control(request.setup, request.data);
            if (!n) return {kStall};
            return {{STATUS_SUCCESS, USBD_STATUS_SUCCESS, *n}};
        }
        case UsbRequest::Kind::SelectConfiguration: {
            UrbSelectConfiguration& s = *request.configuration;
            if (!FillConfiguration(s)) return {{STATUS_INVALID_PARAMETER, USBD_STATUS_STALL_PID}};
            model_.SetConfigured(true);
            return {};
        }
        case UsbRequest::Kind::Unconfigure:
            model_.SetConfigured(false);
            return {};
        case UsbRequest::Kind::ResetPipe:
            return model_.Configured() ? Outcome{} : Outcome{kStall};
        case UsbRequest::Kind::Transfer:
            return Transfer(request, transmitted);
        case UsbRequest::Kind::Unsupported:
            break;
    }
    return {kStall};
}

SimChip::Outcome SimChip::Transfer(UsbRequest& request, Outgoing& transmitted) {
    if (!request.endpoint || !model_.Configured() || !model_.HasEndpoint(*request.endpoint)) {
        return {{STATUS_INVALID_PARAMETER, USBD_STATUS_STALL_PID}};
    }
    const std::uint8_t endpoint = *request.endpoint;
    const std::span<std::uint8_t> bytes = request.data;
    if (endpoint == ChipModel::kBulkOut) {
        model_.BulkOut(bytes);
        transmitted.emplace_back(bytes.begin(), bytes.end());
        return {{STATUS_SUCCESS, USBD_STATUS_SUCCESS, bytes.size()}};
    }
    const bool status = endpoint == ChipModel::kInterruptIn;
    const auto n = status ? model_.InterruptIn(bytes) : model_.BulkIn(bytes);
    if (!n) return {{}, true, status ? kStatus : kData};
    return {{STATUS_SUCCESS, USBD_STATUS_SUCCESS, *n}};
}

void SimChip::SatisfyWaiters(Completions& done) {
    Outgoing unused;
    for (std::size_t i = 0; i < pending_.size();) {
        const Kept& k = pending_[i];
        const bool ready =
            (k.wait == kData && model_.HasReceived()) || (k.wait == kStatus && model_.HasStatus());
        Kept taken;
        if (!ready || !Take(i, taken)) {
            ++i;
            continue;
        }
        done.Add(taken.irp, taken.urb, Process(taken.request, unused).result);
    }
}

template <class Selects>
void SimChip::FailKept(Selects fails, const Result& result, Completions& done) {
    for (std::size_t i = 0; i < pending_.size();) {
        Kept k;
        if (!fails(pending_[i]) || !Take(i, k)) {
            ++i;
            continue;
        }
        done.Add(k.irp, k.urb, result);
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
    Completions done;
    {
        MutexLock lock(mutex_);
        model_.Receive(bytes);
        SatisfyWaiters(done);
    }
    Finish(done);
}

void SimChip::ClearReceived() {
    MutexLock lock(mutex_);
    model_.ClearReceived();
}

void SimChip::InjectStatus(const std::array<std::uint8_t, 10>& notification) {
    Completions done;
    {
        MutexLock lock(mutex_);
        model_.QueueStatus(notification);
        SatisfyWaiters(done);
    }
    Finish(done);
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
    Completions done;
    {
        MutexLock lock(mutex_);
        unplugged_ = true;
        FailKept([](const Kept&) { return true; }, kDeviceGone, done);
    }
    Finish(done);
}

void SimChip::SetDevicePower(std::uint32_t deviceState) {
    Completions done;
    {
        MutexLock lock(mutex_);
        const bool on = deviceState == PowerDeviceD0;
        if (on && !powered_) {
            // Power-on values: what the chip was told before is gone.
            model_.PowerOnReset();
            ++powerLosses_;
        }
        if (!on && powered_) {
            FailKept([](const Kept& k) { return k.wait != kDeferred; },
                     {STATUS_DEVICE_POWERED_OFF, USBD_STATUS_DEVICE_GONE}, done);
        }
        powered_ = on;
    }
    Finish(done);
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

std::size_t SimChip::WaitingReceives() const {
    MutexLock lock(mutex_);
    return static_cast<std::size_t>(std::count_if(pending_.begin(), pending_.end(),
                                                  [](const Kept& k) { return k.wait == kData; }));
}

std::size_t SimChip::WaitingStatusReads() const {
    MutexLock lock(mutex_);
    return static_cast<std::size_t>(std::count_if(pending_.begin(), pending_.end(),
                                                  [](const Kept& k) { return k.wait == kStatus; }));
}

bool SimChip::CompleteOne() {
    Completions done;
    Outgoing transmitted;
    bool found = false;
    {
        MutexLock lock(mutex_);
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            if (pending_[i].wait != kDeferred) continue;
            Kept k;
            if (!Take(i, k)) continue;
            found = true;
            const Outcome outcome = Process(k.request, transmitted);
            if (outcome.wait) {
                Keep(k.irp, k.urb, k.request, outcome.waitFor, nullptr, done);
            } else {
                done.Add(k.irp, k.urb, outcome.result);
            }
            SatisfyWaiters(done);
            break;
        }
    }
    DeliverTransmitted(transmitted);
    Finish(done);
    return found;
}

void SimChip::CompleteAll() {
    while (CompleteOne()) {
    }
}

}  // namespace vm::sim
