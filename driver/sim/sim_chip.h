// A simulated USB-serial bridge chip on the USB bus base: the bus (usb_bus.h) hands the chip
// model (chip_model.h) each request as the wire carries it.
//
// It answers the standard, vendor and class requests the drivers make, as a chip of the given
// variant would: descriptors, registers 0-2, 6, 7 and 0x0C-0x0F, the EEPROM with its busy bit,
// line coding, control lines, break, comm feature, data-path resets and flow threshold; it moves
// bulk data to a peer (loopback or a sink) and delivers 10-byte status notifications a test
// injects. Faults: stalls, requests that never complete (until cancelled), unplugging.
//
// Every request is recorded in arrival order so that tests can assert what went over the wire.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "driver/platform/usb_bus.h"
#include "driver/sim/chip_model.h"

namespace vm::sim {

struct WireRecord {
    enum class Kind {
        Control,  // vendor or class request
        GetDescriptor,
        SelectConfiguration,
        Unconfigure,
        Feature,  // set/clear feature to device
        BulkOut,
        BulkIn,
        InterruptIn,
        ResetPipe,
        ResetPort,
    };
    Kind kind = Kind::Control;
    std::uint16_t urbLength = 0;
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    std::vector<std::uint8_t> data;  // OUT data
    std::uint8_t endpoint = 0;
    std::uint16_t function = 0;
    std::uint32_t transferFlags = 0;
    std::vector<int> interfaces;  // select configuration: interface numbers

    // A control transfer as the wire carries it: a standard GET_DESCRIPTOR, another standard
    // request (set or clear feature), or a vendor or class request, with its OUT data.
    static WireRecord ForControl(const SetupPacket& setup, std::span<const std::uint8_t> stage);

    // Control requests print as "40 01 0003 0044 0000" (type, request, value, index, length);
    // other kinds by name.
    std::string ToString() const;
};

class SimChip : public drv::UsbBusBase {
public:
    SimChip(drv::Kernel& kernel, ChipProfile profile);
    ~SimChip() override;

    // "USB\\VID_3A71&PID_6142&REV_03nn" (nn the variant) and "USB\\VID_3A71&PID_6142".
    std::vector<std::string> HardwareIds() const override;
    // Below D0 the chip is unpowered: transfers waiting for data fail and every request fails
    // (STATUS_DEVICE_POWERED_OFF). Power coming back from there leaves the chip as at power-on:
    // registers, line coding, control lines, break, comm feature and flow threshold are lost
    // (the EEPROM and the configuration stay).
    void SetDevicePower(std::uint32_t deviceState) override;
    bool Powered() const;
    int PowerLosses() const;

    const ChipProfile& profile() const { return profile_; }
    drv::Kernel& kernel() const { return kernel_; }
    std::vector<std::uint8_t> DeviceDescriptor() const;
    std::vector<std::uint8_t> ConfigurationDescriptor() const;
    std::vector<std::uint8_t> StringDescriptor(std::uint8_t index) const;

    // --- Recorded requests.
    std::vector<WireRecord> Log() const;
    // The control requests only, as ToString() texts.
    std::vector<std::string> ControlLog() const;
    void ClearLog();

    // --- Chip state.
    std::uint8_t Register(int reg) const;
    void SetRegister(int reg, std::uint8_t value);
    std::uint16_t WideRegister(int reg) const;  // 6, 7, 0x0C-0x0F
    void SetWideRegister(int reg, std::uint16_t value);
    std::uint8_t Eeprom(std::uint8_t address) const;
    void SetEeprom(std::uint8_t address, std::uint8_t value);
    // Writes 0x3A71 (little-endian) at the address.
    void SetEepromMarker(std::uint8_t address);
    // After each EEPROM write or address set, the status reports busy for this many reads.
    void SetEepromBusyReads(int reads);
    // EEPROM writes that arrived while the busy bit was set.
    int EepromWritesWhileBusy() const;
    std::array<std::uint8_t, 7> LineCodingBytes() const;
    std::uint16_t ControlLineState() const;
    bool BreakOn() const;
    std::uint16_t CommFeature() const;
    std::uint8_t FlowThreshold() const;
    bool RemoteWakeup() const;
    bool RemoteWakeupEnabled() const override { return RemoteWakeup(); }
    bool Configured() const;
    int PortResets() const;

    // --- Data peer.
    void SetLoopback(bool on);
    void SetTransmitSink(std::function<void(std::span<const std::uint8_t>)> sink);
    std::vector<std::uint8_t> Transmitted() const;
    void InjectReceive(std::span<const std::uint8_t> bytes);
    // Drops received bytes that no read has taken yet.
    void ClearReceived();
    void InjectStatus(const std::array<std::uint8_t, 10>& notification);

    // --- Faults and completion mode.
    using Match = std::function<bool(const WireRecord&)>;
    // The next `times` matching requests stall.
    void StallWhen(Match match, int times = 1);
    // The next `times` matching requests never complete unless cancelled.
    void HangWhen(Match match, int times = 1);
    // Unplugs: requests in flight and every later one fail with STATUS_DEVICE_NOT_CONNECTED.
    void Unplug();
    // Deferred mode: requests are kept pending until CompleteOne/CompleteAll.
    void SetDeferred(bool on);
    // Bulk-in transfers waiting for received data, interrupt transfers waiting for a status
    // notification.
    std::size_t WaitingReceives() const;
    std::size_t WaitingStatusReads() const;
    // Completes the oldest deferred request (it may turn into a waiting read); returns false when
    // there is none.
    bool CompleteOne();
    void CompleteAll();
    // Called with each request the chip has taken up (no longer cancellable) just before it is
    // completed: lets a test act in that window.
    void SetBeforeComplete(std::function<void(drv::Irp*)> hook);

private:
    // What a kept request waits for.
    enum Wait : int { kDeferred, kHung, kData, kStatus };
    // How the chip answers a request: a result, or a wait.
    struct Outcome {
        Result result;
        bool wait = false;
        Wait waitFor = kData;
    };
    struct Fault {
        Match match;
        int times;
        bool hang;
    };
    using Outgoing = std::vector<std::vector<std::uint8_t>>;

    void Carry(drv::Irp* irp, drv::Urb* urb, drv::UsbRequest& request, Completions& done) override;
    drv::NTSTATUS ResetDevice() override;
    void BeforeComplete(drv::Irp* irp) override;

    Outcome Process(drv::UsbRequest& request, Outgoing& transmitted) REQUIRES(mutex_);
    Outcome Transfer(drv::UsbRequest& request, Outgoing& transmitted) REQUIRES(mutex_);
    // Completes the kept reads that the data or notifications now waiting can serve.
    void SatisfyWaiters(Completions& done) REQUIRES(mutex_);
    // Completes every kept request that `fails` selects with `result`.
    template <class Selects>
    void FailKept(Selects fails, const Result& result, Completions& done) REQUIRES(mutex_);
    void DeliverTransmitted(const Outgoing& transmitted);

    drv::Kernel& kernel_;
    const ChipProfile profile_;  // as the model was made with; never changes

    ChipModel model_ GUARDED_BY(mutex_);
    std::vector<WireRecord> log_ GUARDED_BY(mutex_);
    std::vector<Fault> faults_ GUARDED_BY(mutex_);
    bool deferred_ GUARDED_BY(mutex_) = false;
    bool unplugged_ GUARDED_BY(mutex_) = false;
    bool powered_ GUARDED_BY(mutex_) = true;
    int powerLosses_ GUARDED_BY(mutex_) = 0;
    int portResets_ GUARDED_BY(mutex_) = 0;
    std::function<void(std::span<const std::uint8_t>)> transmitSink_ GUARDED_BY(mutex_);
    std::function<void(drv::Irp*)> beforeComplete_ GUARDED_BY(mutex_);
};

}  // namespace vm::sim
