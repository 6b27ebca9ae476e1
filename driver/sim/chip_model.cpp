#include "driver/sim/chip_model.h"

#include <algorithm>
#include <cstring>

namespace vm::sim {

namespace {
constexpr std::uint8_t kDeviceDescriptorType = 1;
constexpr std::uint8_t kConfigurationDescriptorType = 2;
constexpr std::uint8_t kStringDescriptorType = 3;
constexpr std::uint8_t kInterfaceDescriptorType = 4;
constexpr std::uint8_t kEndpointDescriptorType = 5;
constexpr std::uint16_t kRemoteWakeupFeature = 1;

std::string WithCharAt(std::string text, std::size_t position, char c) {
    text.resize(std::max(text.size(), position + 1), ' ');
    text[position] = c;
    return text;
}

// Copies an IN reply to the data stage; the chip stalls when the host left too little room.
std::optional<std::size_t> Reply(std::span<std::uint8_t> data,
                                 std::initializer_list<std::uint8_t> bytes) {
    if (data.size() < bytes.size()) return std::nullopt;
    std::copy(bytes.begin(), bytes.end(), data.begin());
    return bytes.size();
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

ChipModel::ChipModel(ChipProfile profile) : profile_(std::move(profile)) {
    eeprom_.fill(0xFF);
}

// --- Descriptors --------------------------------------------------------------------------------

std::vector<std::uint8_t> ChipModel::DeviceDescriptor() const {
    const ChipProfile& p = profile_;
    return {18,
            kDeviceDescriptorType,
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

std::vector<std::uint8_t> ChipModel::ConfigurationDescriptor() const {
    std::vector<std::uint8_t> d = {9, kConfigurationDescriptorType, 0, 0, 0, 1, 0, 0xA0, 50};
    auto iface = [&](std::uint8_t number, std::uint8_t endpoints, std::array<std::uint8_t, 3> c) {
        d.insert(d.end(), {9, kInterfaceDescriptorType, number, 0, endpoints, c[0], c[1], c[2], 0});
    };
    auto endpoint = [&](std::uint8_t address, std::uint8_t attributes, std::uint16_t size,
                        std::uint8_t interval) {
        d.insert(d.end(),
                 {7, kEndpointDescriptorType, address, attributes, static_cast<std::uint8_t>(size),
                  static_cast<std::uint8_t>(size >> 8), interval});
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

std::vector<std::uint8_t> ChipModel::StringDescriptor(std::uint8_t index) const {
    if (index == 0) return {4, kStringDescriptorType, 0x09, 0x04};
    const std::string* text = index == 1   ? &profile_.manufacturer
                              : index == 2 ? &profile_.product
                                           : nullptr;
    if (!text) return {};
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text->size()),
                                   kStringDescriptorType};
    for (char c : *text) d.insert(d.end(), {static_cast<std::uint8_t>(c), 0});
    return d;
}

std::optional<std::size_t> ChipModel::Descriptor(std::uint8_t type, std::uint8_t index,
                                                 std::uint16_t language,
                                                 std::span<std::uint8_t> out) {
    std::vector<std::uint8_t> bytes;
    if (type == kDeviceDescriptorType) bytes = DeviceDescriptor();
    if (type == kConfigurationDescriptorType && index == 0) bytes = ConfigurationDescriptor();
    if (type == kStringDescriptorType && (index == 0 || language == 0x0409)) {
        bytes = StringDescriptor(index);
    }
    if (bytes.empty() || out.empty()) return std::nullopt;
    const auto n = std::min(bytes.size(), out.size());
    std::memcpy(out.data(), bytes.data(), n);
    return n;
}

// --- Control transfers --------------------------------------------------------------------------

std::optional<std::size_t> ChipModel::Control(const SetupPacket& setup,
                                              std::span<std::uint8_t> data) {
    switch ((setup.requestType >> 5) & 3) {
        case 0:
            return Standard(setup, data);
        case 1:
            return Class(setup, data);
        case 2:
            return Vendor(setup, data);
        default:
            return std::nullopt;
    }
}

std::optional<std::size_t> ChipModel::Standard(const SetupPacket& setup,
                                               std::span<std::uint8_t> data) {
    const bool in = setup.In();
    switch (setup.request) {
        case drv::USB_REQUEST_GET_DESCRIPTOR:
            if (!in) return std::nullopt;
            return Descriptor(static_cast<std::uint8_t>(setup.value >> 8),
                              static_cast<std::uint8_t>(setup.value), setup.index, data);
        case drv::USB_REQUEST_SET_CONFIGURATION:
            if (in || setup.value > 1) return std::nullopt;
            configured_ = setup.value == 1;
            return 0;
        case drv::USB_REQUEST_CLEAR_FEATURE:
        case drv::USB_REQUEST_SET_FEATURE:
            if (in || setup.value != kRemoteWakeupFeature) return std::nullopt;
            remoteWakeup_ = setup.request == drv::USB_REQUEST_SET_FEATURE;
            return 0;
        default:
            return std::nullopt;
    }
}

std::optional<std::size_t> ChipModel::Class(const SetupPacket& setup,
                                            std::span<std::uint8_t> data) {
    const bool in = setup.In();
    switch (setup.request) {
        case 0x02:  // SET_COMM_FEATURE
            if (in || setup.value != 1 || data.size() != 2) return std::nullopt;
            commFeature_ = static_cast<std::uint16_t>(data[0] | data[1] << 8);
            return data.size();
        case 0x03:  // GET_COMM_FEATURE
            if (!in || setup.value != 1) return std::nullopt;
            return Reply(data, {static_cast<std::uint8_t>(commFeature_),
                                static_cast<std::uint8_t>(commFeature_ >> 8)});
        case 0x04:  // CLEAR_COMM_FEATURE
            if (in || setup.value != 1) return std::nullopt;
            commFeature_ = 0;
            return data.size();
        case 0x20:  // SET_LINE_CODING
            if (in || data.size() != 7) return std::nullopt;
            std::copy(data.begin(), data.end(), lineCoding_.begin());
            return data.size();
        case 0x21:  // GET_LINE_CODING
            if (!in || data.size() < 7) return std::nullopt;
            std::copy(lineCoding_.begin(), lineCoding_.end(), data.begin());
            return 7;
        case 0x22:  // SET_CONTROL_LINE_STATE
            if (in) return std::nullopt;
            controlLines_ = setup.value;
            return data.size();
        case 0x23:  // SEND_BREAK
            if (in) return std::nullopt;
            breakOn_ = setup.value != 0;
            return data.size();
        default:
            return std::nullopt;
    }
}

std::optional<std::size_t> ChipModel::Vendor(const SetupPacket& setup,
                                             std::span<std::uint8_t> data) {
    const bool in = setup.In();
    if (setup.request != 0x01) return std::nullopt;
    auto wide = [&](int reg) {
        return Reply(data, {static_cast<std::uint8_t>(wide_[static_cast<std::size_t>(reg)]),
                            static_cast<std::uint8_t>(wide_[static_cast<std::size_t>(reg)] >> 8)});
    };
    const int variant = profile_.variant;
    const std::uint16_t v = setup.value;
    if (in) {
        if (v >= 0x80 && v <= 0xFF) return Reply(data, {registers_[v - 0x80]});
        switch (v) {
            case 0x8383: {
                if (data.empty()) return std::nullopt;
                const std::uint8_t byte = eeprom_[eepromAddress_];
                eepromAddress_ = static_cast<std::uint8_t>(eepromAddress_ + 1);
                return Reply(data, {byte});
            }
            case 0x8484: {
                if (data.empty()) return std::nullopt;
                const bool busy = eepromBusyLeft_ > 0;
                if (busy) --eepromBusyLeft_;
                return Reply(data, {static_cast<std::uint8_t>(busy ? 0x01 : 0x00)});
            }
            case 0x8686:
                if (variant >= 2) return wide(6);
                return std::nullopt;
            case 0x8787:
                if (variant >= 2) return wide(7);
                return std::nullopt;
            case 0x8C8C:
                if (variant >= 3) return wide(0x0C);
                return std::nullopt;
            case 0x8D8D:
                if (variant >= 3) return wide(0x0D);
                return std::nullopt;
            case 0x8E8E:
                if (variant >= 3) return Reply(data, {static_cast<std::uint8_t>(wide_[0x0E])});
                return std::nullopt;
            case 0x8F8F:
                if (variant >= 3) return Reply(data, {static_cast<std::uint8_t>(wide_[0x0F])});
                return std::nullopt;
            default:
                return std::nullopt;
        }
    }
    if (v < 0x80) {
        registers_[v] = static_cast<std::uint8_t>(setup.index);
        return data.size();
    }
    switch (v) {
        case 0x0303:
            if (eepromBusyLeft_ > 0) ++eepromWritesWhileBusy_;
            eeprom_[setup.index & 0xFF] = static_cast<std::uint8_t>(setup.index >> 8);
            eepromBusyLeft_ = eepromBusyReads_;
            return data.size();
        case 0x0404:
            eepromAddress_ = static_cast<std::uint8_t>(setup.index);
            eepromBusyLeft_ = eepromBusyReads_;
            return data.size();
        case 0x0505:
            if (variant < 2) return std::nullopt;
            wide_[5] = setup.index;
            return data.size();
        case 0x0606:
        case 0x0707:
            if (variant < 2) return std::nullopt;
            wide_[v & 0xFF] = setup.index;
            return data.size();
        case 0x0808:
        case 0x0909:
            if (variant < 2) return std::nullopt;
            return data.size();
        case 0x0B0B:
            if (variant < 2) return std::nullopt;
            flowThreshold_ = static_cast<std::uint8_t>(setup.index);
            return data.size();
        case 0x0C0C:
        case 0x0D0D:
        case 0x0E0E:
        case 0x0F0F:
            if (variant < 3) return std::nullopt;
            wide_[v & 0xFF] = setup.index;
            return data.size();
        default:
            return std::nullopt;
    }
}

// --- Data ---------------------------------------------------------------------------------------

void ChipModel::BulkOut(std::span<const std::uint8_t> bytes) {
    transmitted_.insert(transmitted_.end(), bytes.begin(), bytes.end());
    if (loopback_) receive_.insert(receive_.end(), bytes.begin(), bytes.end());
}

std::optional<std::size_t> ChipModel::BulkIn(std::span<std::uint8_t> out) {
    if (receive_.empty()) return std::nullopt;
    const auto n = std::min(receive_.size(), out.size());
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = receive_.front();
        receive_.pop_front();
    }
    return n;
}

std::optional<std::size_t> ChipModel::InterruptIn(std::span<std::uint8_t> out) {
    if (status_.empty()) return std::nullopt;
    const auto n = std::min(kStatusLength, out.size());
    std::memcpy(out.data(), status_.front().data(), n);
    status_.pop_front();
    return n;
}

void ChipModel::Receive(std::span<const std::uint8_t> bytes) {
    receive_.insert(receive_.end(), bytes.begin(), bytes.end());
}

void ChipModel::QueueStatus(const std::array<std::uint8_t, kStatusLength>& notification) {
    status_.push_back(notification);
}

void ChipModel::PowerOnReset() {
    registers_.fill(0);
    wide_.fill(0);
    lineCoding_.fill(0);
    controlLines_ = 0;
    breakOn_ = false;
    commFeature_ = 0;
    flowThreshold_ = 0;
    receive_.clear();
    status_.clear();
}

}  // namespace vm::sim
