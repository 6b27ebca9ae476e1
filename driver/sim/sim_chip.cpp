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

std::string WithCharAt(std::string text, std::size_t position, char c) {
    text.resize(std::max(text.size(), position + 1), ' ');
    text[position] = c;
    return text;
}

constexpr std::uint8_t kInterruptIn = 0x81;
constexpr std::uint8_t kBulkOut = 0x02;
constexpr std::uint8_t kBulkIn = 0x83;

PipeHandle HandleOf(std::uint8_t endpoint) {
    return 0x5100u + endpoint;
}
}  // namespace

ChipProfile ChipProfile::ForVariant(int variant) {
    ChipProfile p;
    p.variant = variant;
    p.manufacturer = WithCharAt("VM6142 Cable Works Ltd.", 24, variant == 4 ? ' ' : '.') + "Co";
    p.product = WithCharAt("VM6142 Serial Bridge", 22, variant >= 3 ? 'C' : 'A');
    switch (variant) {
        case 0:
            p.deviceClass = 0x02;
            p.maxPacketSize0 = 8;
            p.twoInterfaces = true;
            p.interface0 = {0x02, 0x02, 0xFF};
            p.interface1 = {0x0A, 0x00, 0x00};
            break;
        case 1:
            p.deviceClass = 0xFF;
            p.maxPacketSize0 = 8;
            break;
        default:
            p.deviceClass = 0x00;
            p.maxPacketSize0 = 64;
            break;
    }
    return p;
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
    : kernel_(kernel), profile_(std::move(profile)) {
    eeprom_.fill(0xFF);
}

SimChip::~SimChip() {
    // Whatever is still held is cancelled so that its owner can free it.
    for (;;) {
        Pending p;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty()) break;
            if (!TakePending(0, p)) break;
        }
        Finish({p.irp, p.urb, STATUS_CANCELLED, USBD_STATUS_CANCELED});
    }
}

// --- Descriptors --------------------------------------------------------------------------------

std::vector<std::uint8_t> SimChip::DeviceDescriptor() const {
    const ChipProfile& p = profile_;
    return {18,
            USB_DEVICE_DESCRIPTOR_TYPE,
            0x10,
            0x01,
            p.deviceClass,
            0x00,
            0x00,
            p.maxPacketSize0,
            static_cast<std::uint8_t>(p.vendorId),
            static_cast<std::uint8_t>(p.vendorId >> 8),
            static_cast<std::uint8_t>(p.productId),
            static_cast<std::uint8_t>(p.productId >> 8),
            static_cast<std::uint8_t>(p.variant),
            0x03,
            1,
            2,
            0,
            1};
}

std::vector<std::uint8_t> SimChip::ConfigurationDescriptor() const {
    std::vector<std::uint8_t> d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, 1, 0, 0xA0, 50};
    auto iface = [&](std::uint8_t number, std::uint8_t endpoints, std::array<std::uint8_t, 3> c) {
        d.insert(d.end(),
                 {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, endpoints, c[0], c[1], c[2], 0});
    };
    auto endpoint = [&](std::uint8_t address, std::uint8_t attributes, std::uint16_t size,
                        std::uint8_t interval) {
        d.insert(d.end(),
                 {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes,
                  static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8), interval});
    };
    if (profile_.twoInterfaces) {
        iface(0, 1, profile_.interface0);
        endpoint(kInterruptIn, 0x03, 10, 1);
        iface(1, 2, profile_.interface1);
        endpoint(kBulkOut, 0x02, 64, 0);
        endpoint(kBulkIn, 0x02, 64, 0);
        d[4] = 2;
    } else {
        iface(0, 3, profile_.interface0);
        endpoint(kInterruptIn, 0x03, 10, 1);
        endpoint(kBulkOut, 0x02, 64, 0);
        endpoint(kBulkIn, 0x02, 64, 0);
        d[4] = 1;
    }
    d[2] = static_cast<std::uint8_t>(d.size());
    d[3] = static_cast<std::uint8_t>(d.size() >> 8);
    return d;
}

std::vector<std::uint8_t> SimChip::StringDescriptor(std::uint8_t index) const {
    if (index == 0) return {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
    const std::string* text = index == 1   ? &profile_.manufacturer
                              : index == 2 ? &profile_.product
                                           : nullptr;
    if (!text) return {};
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text->size()),
                                   USB_STRING_DESCRIPTOR_TYPE};
    for (char c : *text) d.insert(d.end(), {static_cast<std::uint8_t>(c), 0});
    return d;
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
        std::lock_guard lock(mutex_);
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
        std::lock_guard lock(mutex_);
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

void SimChip::CancelRoutine(DeviceObject*, Irp* irp) {
    IoReleaseCancelSpinLock(irp->kernel(), irp->CancelIrql);
    auto* chip = static_cast<SimChip*>(irp->DriverContext[0]);
    Urb* urb = nullptr;
    {
        std::lock_guard lock(chip->mutex_);
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
        std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
    beforeComplete_ = std::move(hook);
}

void SimChip::DeliverTransmitted(const std::vector<std::vector<std::uint8_t>>& transmitted) {
    std::function<void(std::span<const std::uint8_t>)> sink;
    {
        std::lock_guard lock(mutex_);
        sink = transmitSink_;
    }
    if (!sink) return;
    for (const auto& bytes : transmitted) sink(bytes);
}

// --- Request processing (lock held) -----------------------------------------------------------

SimChip::Outcome SimChip::Process(Urb* urb, std::vector<std::vector<std::uint8_t>>& transmitted) {
    Outcome stall{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    switch (urb->Hdr.Function) {
        case URB_FUNCTION_VENDOR_DEVICE:
            return Control(urb->As<UrbControlVendorOrClass>(), true);
        case URB_FUNCTION_CLASS_INTERFACE:
            return Control(urb->As<UrbControlVendorOrClass>(), false);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& d = urb->As<UrbDescriptorRequest>();
            std::vector<std::uint8_t> bytes;
            if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) bytes = DeviceDescriptor();
            if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && d.Index == 0) {
                bytes = ConfigurationDescriptor();
            }
            if (d.DescriptorType == USB_STRING_DESCRIPTOR_TYPE &&
                (d.Index == 0 || d.LanguageId == 0x0409)) {
                bytes = StringDescriptor(d.Index);
            }
            if (bytes.empty() || !d.TransferBuffer) return stall;
            const auto n = std::min<std::size_t>(bytes.size(), d.TransferBufferLength);
            std::memcpy(d.TransferBuffer, bytes.data(), n);
            d.TransferBufferLength = static_cast<std::uint32_t>(n);
            return {};
        }
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            auto& s = urb->As<UrbSelectConfiguration>();
            if (!s.ConfigurationDescriptor) {
                configured_ = false;
                return {};
            }
            const std::vector<std::uint8_t> config = ConfigurationDescriptor();
            for (UsbInterfaceInformation& info : s.Interfaces) {
                auto iface = ParseConfigurationDescriptor(config, 0, info.InterfaceNumber,
                                                          info.AlternateSetting, -1, -1, -1);
                if (!iface) return {STATUS_INVALID_PARAMETER, USBD_STATUS_STALL_PID};
                const auto endpoints = InterfaceEndpoints(config, *iface);
                if (info.Pipes.size() != endpoints.size()) {
                    return {STATUS_INVALID_PARAMETER, USBD_STATUS_STALL_PID};
                }
                info.Class = iface->Class;
                info.SubClass = iface->SubClass;
                info.Protocol = iface->Protocol;
                info.InterfaceHandle = 0x1F00u + iface->InterfaceNumber;
                for (std::size_t i = 0; i < endpoints.size(); ++i) {
                    UsbPipeInformation& pipe = info.Pipes[i];
                    pipe.EndpointAddress = endpoints[i].EndpointAddress;
                    pipe.MaximumPacketSize = endpoints[i].MaxPacketSize;
                    pipe.Interval = endpoints[i].Interval;
                    pipe.Type =
                        (endpoints[i].Attributes & 3) == 3 ? PipeType::Interrupt : PipeType::Bulk;
                    pipe.Handle = HandleOf(endpoints[i].EndpointAddress);
                }
            }
            s.ConfigurationHandle = 0xC0F1;
            configured_ = true;
            return {};
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: {
            auto& f = urb->As<UrbFeatureRequest>();
            if (f.FeatureSelector != USB_FEATURE_REMOTE_WAKEUP) return stall;
            remoteWakeup_ = urb->Hdr.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE;
            return {};
        }
        case URB_FUNCTION_RESET_PIPE:
            return configured_ ? Outcome{} : stall;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& t = urb->As<UrbBulkOrInterruptTransfer>();
            const auto endpoint = static_cast<std::uint8_t>(t.Pipe - HandleOf(0));
            if (!configured_ ||
                (endpoint != kInterruptIn && endpoint != kBulkIn && endpoint != kBulkOut)) {
                return {STATUS_INVALID_PARAMETER, USBD_STATUS_STALL_PID};
            }
            if (endpoint == kBulkOut) {
                auto* bytes = static_cast<const std::uint8_t*>(t.TransferBuffer);
                std::vector<std::uint8_t> data(bytes, bytes + (bytes ? t.TransferBufferLength : 0));
                transmitted_.insert(transmitted_.end(), data.begin(), data.end());
                if (loopback_) receive_.insert(receive_.end(), data.begin(), data.end());
                transmitted.push_back(std::move(data));
                return {};
            }
            if (endpoint == kInterruptIn) {
                if (status_.empty())
                    return {STATUS_SUCCESS, USBD_STATUS_SUCCESS, true, Wait::Status};
                const auto n = std::min<std::size_t>(10, t.TransferBufferLength);
                std::memcpy(t.TransferBuffer, status_.front().data(), n);
                status_.pop_front();
                t.TransferBufferLength = static_cast<std::uint32_t>(n);
                return {};
            }
            if (receive_.empty()) return {STATUS_SUCCESS, USBD_STATUS_SUCCESS, true, Wait::Data};
            const auto n = std::min<std::size_t>(receive_.size(), t.TransferBufferLength);
            auto* out = static_cast<std::uint8_t*>(t.TransferBuffer);
            for (std::size_t i = 0; i < n; ++i) {
                out[i] = receive_.front();
                receive_.pop_front();
            }
            t.TransferBufferLength = static_cast<std::uint32_t>(n);
            return {};
        }
        default:
            return stall;
    }
}

SimChip::Outcome SimChip::Control(UrbControlVendorOrClass& c, bool vendor) {
    const Outcome stall{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    const bool in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    auto* buffer = static_cast<std::uint8_t*>(c.TransferBuffer);
    auto reply = [&](std::initializer_list<std::uint8_t> bytes) -> Outcome {
        if (!buffer || c.TransferBufferLength < bytes.size()) return stall;
        std::copy(bytes.begin(), bytes.end(), buffer);
        c.TransferBufferLength = static_cast<std::uint32_t>(bytes.size());
        return {};
    };
    auto wide = [&](int reg) {
        return reply(
            {static_cast<std::uint8_t>(wide_[reg]), static_cast<std::uint8_t>(wide_[reg] >> 8)});
    };
    const int variant = profile_.variant;
    if (!vendor) {
        switch (c.Request) {
            case 0x02:  // SET_COMM_FEATURE
                if (in || c.Value != 1 || !buffer || c.TransferBufferLength != 2) return stall;
                commFeature_ = static_cast<std::uint16_t>(buffer[0] | buffer[1] << 8);
                return {};
            case 0x03:  // GET_COMM_FEATURE
                if (!in || c.Value != 1) return stall;
                return reply({static_cast<std::uint8_t>(commFeature_),
                              static_cast<std::uint8_t>(commFeature_ >> 8)});
            case 0x04:  // CLEAR_COMM_FEATURE
                if (in || c.Value != 1) return stall;
                commFeature_ = 0;
                return {};
            case 0x20:  // SET_LINE_CODING
                if (in || !buffer || c.TransferBufferLength != 7) return stall;
                std::copy(buffer, buffer + 7, lineCoding_.begin());
                return {};
            case 0x21:  // GET_LINE_CODING
                if (!in || !buffer || c.TransferBufferLength < 7) return stall;
                std::copy(lineCoding_.begin(), lineCoding_.end(), buffer);
                c.TransferBufferLength = 7;
                return {};
            case 0x22:  // SET_CONTROL_LINE_STATE
                if (in) return stall;
                controlLines_ = c.Value;
                return {};
            case 0x23:  // SEND_BREAK
                if (in) return stall;
                breakOn_ = c.Value != 0;
                return {};
            default:
                return stall;
        }
    }
    if (c.Request != 0x01) return stall;
    const std::uint16_t v = c.Value;
    if (in) {
        if (v >= 0x80 && v <= 0xFF) return reply({registers_[v - 0x80]});
        switch (v) {
            case 0x8383: {
                const std::uint8_t byte = eeprom_[eepromAddress_];
                eepromAddress_ = static_cast<std::uint8_t>(eepromAddress_ + 1);
                return reply({byte});
            }
            case 0x8484: {
                const bool busy = eepromBusyLeft_ > 0;
                if (busy) --eepromBusyLeft_;
                return reply({static_cast<std::uint8_t>(busy ? 0x01 : 0x00)});
            }
            case 0x8686:
                return variant >= 2 ? wide(6) : stall;
            case 0x8787:
                return variant >= 2 ? wide(7) : stall;
            case 0x8C8C:
                return variant >= 3 ? wide(0x0C) : stall;
            case 0x8D8D:
                return variant >= 3 ? wide(0x0D) : stall;
            case 0x8E8E:
                return variant >= 3 ? reply({static_cast<std::uint8_t>(wide_[0x0E])}) : stall;
            case 0x8F8F:
                return variant >= 3 ? reply({static_cast<std::uint8_t>(wide_[0x0F])}) : stall;
            default:
                return stall;
        }
    }
    if (v < 0x80) {
        registers_[v] = static_cast<std::uint8_t>(c.Index);
        return {};
    }
    switch (v) {
        case 0x0303:
            if (eepromBusyLeft_ > 0) ++eepromWritesWhileBusy_;
            eeprom_[c.Index & 0xFF] = static_cast<std::uint8_t>(c.Index >> 8);
            eepromBusyLeft_ = eepromBusyReads_;
            return {};
        case 0x0404:
            eepromAddress_ = static_cast<std::uint8_t>(c.Index);
            eepromBusyLeft_ = eepromBusyReads_;
            return {};
        case 0x0505:
            if (variant < 2) return stall;
            wide_[5] = c.Index;
            return {};
        case 0x0606:
        case 0x0707:
            if (variant < 2) return stall;
            wide_[v & 0xFF] = c.Index;
            return {};
        case 0x0808:
        case 0x0909:
            return variant >= 2 ? Outcome{} : stall;
        case 0x0B0B:
            if (variant < 2) return stall;
            flowThreshold_ = static_cast<std::uint8_t>(c.Index);
            return {};
        case 0x0C0C:
        case 0x0D0D:
        case 0x0E0E:
        case 0x0F0F:
            if (variant < 3) return stall;
            wide_[v & 0xFF] = c.Index;
            return {};
        default:
            return stall;
    }
}

void SimChip::SatisfyWaiters(std::vector<Completion>& done) {
    std::vector<std::vector<std::uint8_t>> unused;
    for (std::size_t i = 0; i < pending_.size();) {
        const Pending& p = pending_[i];
        const bool ready = (p.wait == Wait::Data && !receive_.empty()) ||
                           (p.wait == Wait::Status && !status_.empty());
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
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
    log_.clear();
}

std::uint8_t SimChip::Register(int reg) const {
    std::lock_guard lock(mutex_);
    return registers_.at(static_cast<std::size_t>(reg));
}

void SimChip::SetRegister(int reg, std::uint8_t value) {
    std::lock_guard lock(mutex_);
    registers_.at(static_cast<std::size_t>(reg)) = value;
}

std::uint16_t SimChip::WideRegister(int reg) const {
    std::lock_guard lock(mutex_);
    return wide_.at(static_cast<std::size_t>(reg));
}

void SimChip::SetWideRegister(int reg, std::uint16_t value) {
    std::lock_guard lock(mutex_);
    wide_.at(static_cast<std::size_t>(reg)) = value;
}

std::uint8_t SimChip::Eeprom(std::uint8_t address) const {
    std::lock_guard lock(mutex_);
    return eeprom_[address];
}

void SimChip::SetEeprom(std::uint8_t address, std::uint8_t value) {
    std::lock_guard lock(mutex_);
    eeprom_[address] = value;
}

void SimChip::SetEepromMarker(std::uint8_t address) {
    SetEeprom(address, 0x71);
    SetEeprom(static_cast<std::uint8_t>(address + 1), 0x3A);
}

void SimChip::SetEepromBusyReads(int reads) {
    std::lock_guard lock(mutex_);
    eepromBusyReads_ = reads;
    eepromBusyLeft_ = reads;
}

int SimChip::EepromWritesWhileBusy() const {
    std::lock_guard lock(mutex_);
    return eepromWritesWhileBusy_;
}

std::array<std::uint8_t, 7> SimChip::LineCodingBytes() const {
    std::lock_guard lock(mutex_);
    return lineCoding_;
}

std::uint16_t SimChip::ControlLineState() const {
    std::lock_guard lock(mutex_);
    return controlLines_;
}

bool SimChip::BreakOn() const {
    std::lock_guard lock(mutex_);
    return breakOn_;
}

std::uint16_t SimChip::CommFeature() const {
    std::lock_guard lock(mutex_);
    return commFeature_;
}

std::uint8_t SimChip::FlowThreshold() const {
    std::lock_guard lock(mutex_);
    return flowThreshold_;
}

bool SimChip::RemoteWakeup() const {
    std::lock_guard lock(mutex_);
    return remoteWakeup_;
}

bool SimChip::Configured() const {
    std::lock_guard lock(mutex_);
    return configured_;
}

int SimChip::PortResets() const {
    std::lock_guard lock(mutex_);
    return portResets_;
}

void SimChip::SetLoopback(bool on) {
    std::lock_guard lock(mutex_);
    loopback_ = on;
}

void SimChip::SetTransmitSink(std::function<void(std::span<const std::uint8_t>)> sink) {
    std::lock_guard lock(mutex_);
    transmitSink_ = std::move(sink);
}

std::vector<std::uint8_t> SimChip::Transmitted() const {
    std::lock_guard lock(mutex_);
    return transmitted_;
}

void SimChip::InjectReceive(std::span<const std::uint8_t> bytes) {
    std::vector<Completion> done;
    {
        std::lock_guard lock(mutex_);
        receive_.insert(receive_.end(), bytes.begin(), bytes.end());
        SatisfyWaiters(done);
    }
    for (const Completion& c : done) Finish(c);
}

void SimChip::ClearReceived() {
    std::lock_guard lock(mutex_);
    receive_.clear();
}

void SimChip::InjectStatus(const std::array<std::uint8_t, 10>& notification) {
    std::vector<Completion> done;
    {
        std::lock_guard lock(mutex_);
        status_.push_back(notification);
        SatisfyWaiters(done);
    }
    for (const Completion& c : done) Finish(c);
}

void SimChip::StallWhen(Match match, int times) {
    std::lock_guard lock(mutex_);
    faults_.push_back({std::move(match), times, false});
}

void SimChip::HangWhen(Match match, int times) {
    std::lock_guard lock(mutex_);
    faults_.push_back({std::move(match), times, true});
}

void SimChip::Unplug() {
    std::vector<Completion> done;
    {
        std::lock_guard lock(mutex_);
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
        std::lock_guard lock(mutex_);
        const bool on = deviceState == PowerDeviceD0;
        if (on && !powered_) {
            // Power-on values: what the chip was told before is gone.
            registers_.fill(0);
            wide_.fill(0);
            lineCoding_.fill(0);
            controlLines_ = 0;
            breakOn_ = false;
            commFeature_ = 0;
            flowThreshold_ = 0;
            receive_.clear();
            status_.clear();
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
    std::lock_guard lock(mutex_);
    return powered_;
}

int SimChip::PowerLosses() const {
    std::lock_guard lock(mutex_);
    return powerLosses_;
}

void SimChip::SetDeferred(bool on) {
    std::lock_guard lock(mutex_);
    deferred_ = on;
}

std::size_t SimChip::PendingCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

std::size_t SimChip::WaitingReceives() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        pending_.begin(), pending_.end(), [](const Pending& p) { return p.wait == Wait::Data; }));
}

std::size_t SimChip::WaitingStatusReads() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        pending_.begin(), pending_.end(), [](const Pending& p) { return p.wait == Wait::Status; }));
}

bool SimChip::CompleteOne() {
    std::vector<Completion> done;
    std::vector<std::vector<std::uint8_t>> transmitted;
    bool found = false;
    {
        std::lock_guard lock(mutex_);
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
