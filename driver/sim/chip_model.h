// The bridge chip as the USB wire sees it: what it answers to control setup packets (standard,
// class and vendor requests), what it does with bulk OUT data, and what bulk IN and interrupt
// IN reads take from it; its registers, EEPROM, line coding and control lines; and its serial
// side (bytes it has transmitted, bytes received and waiting to be read).
//
// It knows nothing of how requests reach it: the simulated bus hands it URBs, an emulated USB
// device hands it usbdevfs requests. It does not lock: whoever owns it serialises the calls.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/platform/usb_setup.h"

namespace vm::sim {

// What makes the chip of one variant: its descriptors.
struct ChipProfile {
    int variant = 2;
    std::uint16_t vendorId = 0x3A71;
    std::uint16_t productId = 0x6142;
    std::uint8_t deviceClass = 0x00;
    std::uint8_t maxPacketSize0 = 64;
    bool twoInterfaces = false;
    // Class, subclass and protocol of interface 0 and (two-interface chips) interface 1.
    std::array<std::uint8_t, 3> interface0{0xFF, 0x00, 0x00};
    std::array<std::uint8_t, 3> interface1{0x0A, 0x00, 0x00};
    std::string manufacturer;  // string 1
    std::string product;       // string 2

    // Variant 0: class 0x02, two interfaces (communications + data); 1: class 0xFF, 8-byte
    // control endpoint; 2: class 0, 64-byte control endpoint; 3: as 2 with "C" as character 22
    // of the product string; 4: as 3 with a space as character 24 of the manufacturer string.
    static ChipProfile ForVariant(int variant);
};

// The eight bytes of a control transfer's setup stage.
using SetupPacket = drv::UsbSetupPacket;

class ChipModel {
public:
    static constexpr std::uint8_t kInterruptIn = 0x81;
    static constexpr std::uint8_t kBulkOut = 0x02;
    static constexpr std::uint8_t kBulkIn = 0x83;
    static constexpr std::size_t kStatusLength = 10;

    explicit ChipModel(ChipProfile profile);

    const ChipProfile& profile() const { return profile_; }
    std::vector<std::uint8_t> DeviceDescriptor() const;
    std::vector<std::uint8_t> ConfigurationDescriptor() const;
    std::vector<std::uint8_t> StringDescriptor(std::uint8_t index) const;
    // GET_DESCRIPTOR: the descriptor (cut to `out`'s size) copied to `out`, its length; nullopt
    // when the chip has no such descriptor (it stalls).
    std::optional<std::size_t> Descriptor(std::uint8_t type, std::uint8_t index,
                                          std::uint16_t language, std::span<std::uint8_t> out);

    // A control transfer. `data` is the data stage: the OUT bytes, or room for the IN bytes.
    // Returns the bytes moved, or nullopt when the chip stalls the request.
    std::optional<std::size_t> Control(const SetupPacket& setup, std::span<std::uint8_t> data);

    // The configuration: SET_CONFIGURATION 1 configures, 0 unconfigures.
    bool Configured() const { return configured_; }
    void SetConfigured(bool on) { configured_ = on; }
    bool HasEndpoint(std::uint8_t endpoint) const {
        return endpoint == kInterruptIn || endpoint == kBulkIn || endpoint == kBulkOut;
    }

    // Bulk OUT: the bytes go out on the serial side (and come back with loopback on).
    void BulkOut(std::span<const std::uint8_t> bytes);
    // Bulk IN: received bytes, at most out.size(); nullopt when none are waiting (the transfer
    // waits).
    std::optional<std::size_t> BulkIn(std::span<std::uint8_t> out);
    // Interrupt IN: the oldest status notification (cut to out.size()); nullopt when none.
    std::optional<std::size_t> InterruptIn(std::span<std::uint8_t> out);
    bool HasReceived() const { return !receive_.empty(); }
    bool HasStatus() const { return !status_.empty(); }

    // --- The serial side and notifications.
    void Receive(std::span<const std::uint8_t> bytes);
    void ClearReceived() { receive_.clear(); }
    void QueueStatus(const std::array<std::uint8_t, kStatusLength>& notification);
    void SetLoopback(bool on) { loopback_ = on; }
    const std::vector<std::uint8_t>& Transmitted() const { return transmitted_; }

    // Power coming back: what the chip was told is lost (the EEPROM and configuration stay).
    void PowerOnReset();

    // --- State.
    std::uint8_t Register(int reg) const { return registers_.at(static_cast<std::size_t>(reg)); }
    void SetRegister(int reg, std::uint8_t value) {
        registers_.at(static_cast<std::size_t>(reg)) = value;
    }
    std::uint16_t WideRegister(int reg) const { return wide_.at(static_cast<std::size_t>(reg)); }
    void SetWideRegister(int reg, std::uint16_t value) {
        wide_.at(static_cast<std::size_t>(reg)) = value;
    }
    std::uint8_t Eeprom(std::uint8_t address) const { return eeprom_[address]; }
    void SetEeprom(std::uint8_t address, std::uint8_t value) { eeprom_[address] = value; }
    void SetEepromBusyReads(int reads) {
        eepromBusyReads_ = reads;
        eepromBusyLeft_ = reads;
    }
    int EepromWritesWhileBusy() const { return eepromWritesWhileBusy_; }
    const std::array<std::uint8_t, 7>& LineCodingBytes() const { return lineCoding_; }
    std::uint16_t ControlLineState() const { return controlLines_; }
    bool BreakOn() const { return breakOn_; }
    std::uint16_t CommFeature() const { return commFeature_; }
    std::uint8_t FlowThreshold() const { return flowThreshold_; }
    bool RemoteWakeup() const { return remoteWakeup_; }

private:
    std::optional<std::size_t> Standard(const SetupPacket& setup, std::span<std::uint8_t> data);
    std::optional<std::size_t> Class(const SetupPacket& setup, std::span<std::uint8_t> data);
    std::optional<std::size_t> Vendor(const SetupPacket& setup, std::span<std::uint8_t> data);

    ChipProfile profile_;
    bool configured_ = false;
    bool loopback_ = false;
    std::array<std::uint8_t, 128> registers_{};
    std::array<std::uint16_t, 16> wide_{};
    std::array<std::uint8_t, 256> eeprom_{};
    std::uint8_t eepromAddress_ = 0;
    int eepromBusyReads_ = 0;
    int eepromBusyLeft_ = 0;
    int eepromWritesWhileBusy_ = 0;
    std::array<std::uint8_t, 7> lineCoding_{};
    std::uint16_t controlLines_ = 0;
    bool breakOn_ = false;
    std::uint16_t commFeature_ = 0;
    std::uint8_t flowThreshold_ = 0;
    bool remoteWakeup_ = false;
    std::deque<std::uint8_t> receive_;
    std::deque<std::array<std::uint8_t, kStatusLength>> status_;
    std::vector<std::uint8_t> transmitted_;
};

}  // namespace vm::sim
