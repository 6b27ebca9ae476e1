// The USB side of a cable device, shared by usbser2k and usbser9x: synchronous and
// asynchronous submission, descriptors and configuration, the vendor register and EEPROM
// requests, the communications-class requests, the resets and the three logical pipes.
//
// Where the two drivers differ, DriverPolicy says how; there is one transport. Submission is in
// usb_transport.cpp, the requests built on it in usb_requests.cpp.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>

#include "driver/platform/io.h"
#include "driver/platform/kernel.h"
#include "driver/platform/ntstatus.h"
#include "driver/platform/usb.h"

namespace vm::drv {

enum class DriverKind { Usbser2k, Usbser9x };

// Everything the transport and the chip set-up do differently in the two drivers.
struct DriverPolicy {
    DriverKind kind;
    const char* name;
    std::uint32_t poolTag;
    TimeUnits syncTimeout;          // synchronous submission time-out
    std::int32_t maxChipVariant;    // highest variant the driver detects
    bool resetPipeSendsRequest;     // false: the pipe reset sends nothing and succeeds
    bool dataBufferAtLeastOneByte;  // pipe transfer buffers never have length 0
    std::int32_t dataIoIdleLevel;   // the data I/O event is set at or below this count
    bool extendedRegisterCodes;     // private codes for registers 0x0C-0x0F, 0x2220A4-0x2220AC
    bool eepromStatusCodeReads;     // 0x222030 reads the status (else succeeds with no data)
    bool clearFeatureCode;          // 0x222038 is accepted
    // Chip set-up.
    bool initStoresShadow;         // the register initialisation also sets the shadow
    bool validateLineControl;      // line control is checked and kept as a line-control byte
    bool skipUnchangedRate;        // setting the rate in force sends nothing
    bool asyncLinesAbovePassive;   // modem lines above passive level go out asynchronously
                                   // (false: the change is refused)
    bool asyncBreak;               // break on/off are sent asynchronously
    TimeUnits rateSettleWait;      // wait after a rate change
    bool rateWaitOnlyWhenChanged;  // ... only when the rate differs from the previous one
    bool setsTransmitChunk;        // a rate change sets the maximum transmit chunk
    std::uint8_t flowThresholdAfterStart;
};

extern const DriverPolicy kUsbser2kPolicy;
extern const DriverPolicy kUsbser9xPolicy;

inline constexpr int kPipeStatus = 0;    // interrupt IN, status notifications
inline constexpr int kPipeTransmit = 1;  // bulk OUT
inline constexpr int kPipeReceive = 2;   // bulk IN
inline constexpr int kLogicalPipes = 3;
inline constexpr std::uint32_t kStatusTransferSize = 10;
inline constexpr std::uint32_t kReceiveTransferSize = 384;
// The transfer flags of a logical pipe's transfers.
std::uint32_t TransferFlagsOf(int pipe);
// Asynchronous transfers that may be in flight on one logical pipe at a time.
inline constexpr std::size_t kSlotsPerPipe = 4;

// One asynchronous transfer in flight on a pipe: the packet (null once the completion or a
// canceller has taken it) and the completion-ran flag. Whichever of the completion and the
// canceller comes second frees the packet and releases the slot.
struct PipeSlot {
    std::atomic<Irp*> irp{nullptr};
    std::atomic<std::int32_t> completionRan{0};
    std::atomic<bool> inUse{false};
    std::atomic<std::uintptr_t> tag{0};  // what the submitter said the transfer is for
};

// Line coding: the 7 bytes of SET_LINE_CODING.
struct LineCoding {
    std::uint32_t rate = 0;  // rate, or divisor word
    std::uint8_t stopBits = 0;
    std::uint8_t parity = 0;
    std::uint8_t dataBits = 0;

    std::array<std::uint8_t, 7> Encode() const;
    static LineCoding Decode(std::span<const std::uint8_t, 7> bytes);
    bool operator==(const LineCoding&) const = default;
};

// What the driver keeps of the chip's state.
struct ChipState {
    std::array<std::uint8_t, 3> shadow{};  // registers 0, 1, 2
    std::uint16_t lineState = 0;           // bit 0 DTR, bit 1 RTS
    // The last sent; until then the default line control (7 data bits, even parity, 1 stop bit),
    // so that a rate set first does not send a coding of 0 data bits.
    LineCoding lineCoding{0, 0, 2, 7};
    std::uint32_t currentRate = 0;
    std::uint8_t lineControl = 0x1A;  // usbser2k's line-control byte
    std::uint8_t receiveMask = 0x7F;
    std::uint32_t maxTransmitChunk = 256;
    bool breakOn = false;
    // Handshakes switched on in the chip.
    bool ctsHandshake = false;
    bool dsrHandshake = false;
    bool ctsDsrHandshake = false;
    bool rtsHandshake = false;
    bool chipXonXoff = false;
};

class UsbDevice;

// Receives what asynchronous pipe transfers bring back (the data path). Called from the
// completion routine, after the packet is released and before the data buffer is freed; the
// data is valid only during the call.
class TransferSink {
public:
    virtual ~TransferSink() = default;
    virtual void OnTransferComplete(UsbDevice& device, int pipe, NTSTATUS status,
                                    std::span<const std::uint8_t> data) = 0;
    // The same for a transfer started with a tag (USB2SER_AsyncTransferTagged); by default the
    // tag is ignored.
    virtual void OnTaggedTransferComplete(UsbDevice& device, int pipe, std::uintptr_t tag,
                                          NTSTATUS status, std::span<const std::uint8_t> data) {
        (void)tag;
        OnTransferComplete(device, pipe, status, data);
    }
};

struct ExtendedRateTable;

// The USB part of a device extension.
class UsbDevice {
public:
    UsbDevice(Kernel& kernel, const DriverPolicy& policy, DeviceObject* fdo, DeviceObject* lower);
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    Kernel& kernel;
    const DriverPolicy& policy;
    DeviceObject* fdo;
    DeviceObject* lower;  // every request goes here

    std::int32_t chipVariant;  // 0..4; usbser2k holds -1 until detected
    std::array<std::uint8_t, 18> deviceDescriptor{};
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;

    bool singleInterface = false;
    std::optional<UsbInterfaceInformation> interfaces[2];

    std::array<std::array<PipeSlot, kSlotsPerPipe>, kLogicalPipes> slots;
    KCounter ioCount;            // dispatched requests; starts at 1
    KCounter dataIoCount;        // asynchronous pipe transfers in flight
    KCounter controlIoCount;     // asynchronous control requests in flight
    KCounter pendingWriteCount;  // transmit transfers in flight
    std::atomic<bool> removing{false};

    TransferSink* sink = nullptr;
    const ExtendedRateTable* extendedRates = nullptr;

    KSpinLock controlLock;  // guards `chip`
    ChipState chip GUARDED_BY(controlLock);
    // Serialises the read-modify-writes of the chip's registers (passive level).
    KMutex registerMutex;
    // Serialises every change of the line coding and of the line state (passive level): the
    // kept record changes with what the chip is sent, so the two always agree.
    KMutex lineMutex;

    void* Allocate(std::size_t bytes) { return kernel.pool().Allocate(bytes, policy.poolTag); }
    void Free(void* block) { kernel.pool().Free(block); }
    bool ChipAtLeast(std::int32_t variant) const { return chipVariant >= variant; }
    // The pipe handle of a logical pipe, from the kept interface records.
    std::optional<PipeHandle> PipeHandleOf(int pipe) const;
    // Whether an asynchronous transfer is in flight on the pipe.
    bool PipeBusy(int pipe) const;

    // The standing transfer of each pipe that has one (receive, status): the ticket of the one
    // armed, 0 when none is. See USB2SER_ArmStanding.
    std::array<std::atomic<std::uint64_t>, kLogicalPipes> standing{};
    std::atomic<std::uint64_t> nextTicket{1};
};

// --- Submission -------------------------------------------------------------------------------
// Submits and waits, at most the policy's time-out: then STATUS_IO_TIMEOUT after the request was
// cancelled and its completion waited for.
NTSTATUS USB2SER_CallUSBD(UsbDevice& dev, Urb* urb);
// Allocates a transfer context and a data buffer of `length` (for the transmit pipe filled from
// `data`) and starts the transfer; returns the status of the submission.
NTSTATUS USB2SER_AsyncTransfer(UsbDevice& dev, int pipe, const std::uint8_t* data,
                               std::uint32_t length);
// The same with a tag that the completion hands to the sink. `submitted` tells whether the
// transfer reached the bus (its completion then runs, possibly before this returns); when it did
// not, the returned status is why and no completion will come.
NTSTATUS USB2SER_AsyncTransferTagged(UsbDevice& dev, int pipe, const std::uint8_t* data,
                                     std::uint32_t length, std::uintptr_t tag, bool* submitted);
// Standing transfers. A pipe has at most one armed: from its submission until its completion
// has been handled (the sink has returned), so that no second one is in flight and no bytes
// overtake the ones being stored. Every path that starts one goes through here.
// Arms the pipe's standing transfer unless one is armed; `armed` tells whether this call did.
// Called from inside the pipe's own completion (the sink re-arming), it hands the pipe over to
// the new transfer.
NTSTATUS USB2SER_ArmStanding(UsbDevice& dev, int pipe, std::uint32_t length, bool* armed = nullptr);
// From inside the pipe's own completion: the completed transfer no longer counts as armed, so
// that a following USB2SER_ArmStanding (from any thread) arms again. Without it the pipe is
// disarmed once the sink returns.
void USB2SER_StandingHandled(UsbDevice& dev, int pipe);
bool USB2SER_StandingArmed(const UsbDevice& dev, int pipe);

// Cancels the transfers in flight on one pipe that carry the tag.
void CancelTaggedTransfers(UsbDevice& dev, int pipe, std::uintptr_t tag);
// Submits a control URB without waiting; takes the URB, which the completion frees (as does a
// failure here).
NTSTATUS USB2SER_AsyncCallUSBD_Ctrl(UsbDevice& dev, Urb* urb);
// Cancels the transfers in flight on one pipe.
void CancelTheIrp(UsbDevice& dev, int pipe);
// Cancels the transfers on pipes 0, 1 and 2, in that order.
void USB2SER_CancelAllIrps(UsbDevice& dev);

// --- Requests -----------------------------------------------------------------------------------
NTSTATUS VendorWrite(UsbDevice& dev, std::uint16_t value, std::uint16_t index, bool async = false);
NTSTATUS VendorRead(UsbDevice& dev, std::uint16_t value, std::span<std::uint8_t> buffer,
                    std::uint32_t* bytesReturned = nullptr);
NTSTATUS ClassRequest(UsbDevice& dev, bool in, std::uint8_t request, std::uint16_t value,
                      std::span<std::uint8_t> buffer, bool async = false);

NTSTATUS USB2SER_GetDeviceDescriptor(UsbDevice& dev, std::span<std::uint8_t> buffer,
                                     std::uint32_t& bytesReturned);
NTSTATUS USB2SER_GetConfigDescriptor(UsbDevice& dev, std::span<std::uint8_t> buffer,
                                     std::uint32_t& bytesReturned);
// The string index is the first byte of the buffer; the descriptor (language 0x0409) replaces it.
NTSTATUS USB2SER_GetStringDescriptor(UsbDevice& dev, std::span<std::uint8_t> buffer,
                                     std::uint32_t& bytesReturned);
NTSTATUS USB2SER_SendEncap(UsbDevice& dev, std::uint16_t value, std::uint16_t index);
NTSTATUS USB2SER_GetEncap(UsbDevice& dev, std::uint16_t value, std::uint8_t& byte);
NTSTATUS USB2SER_ReadInterrupt(UsbDevice& dev, std::span<std::uint8_t> buffer,
                               std::uint32_t& bytesReturned);
NTSTATUS USB2SER_WriteBulk(UsbDevice& dev, std::span<const std::uint8_t> data);
NTSTATUS USB2SER_ReadBulk(UsbDevice& dev, std::span<std::uint8_t> buffer,
                          std::uint32_t& bytesReturned);
NTSTATUS USB2SER_SendCtrlState(UsbDevice& dev, std::uint16_t value, bool async = false);
NTSTATUS USB2SER_SetFeature(UsbDevice& dev, std::uint16_t data);
NTSTATUS USB2SER_GetFeature(UsbDevice& dev, std::span<std::uint8_t, 2> data);
NTSTATUS USB2SER_ClrFeature(UsbDevice& dev);
NTSTATUS USB2SER_SetLineCoding(UsbDevice& dev, const LineCoding& coding);
NTSTATUS USB2SER_GetLineCoding(UsbDevice& dev, LineCoding& coding);
NTSTATUS USB2SER_SendBreak(UsbDevice& dev, bool on, bool async);

// Registers 0, 1, 2: read into the shadow (the shadow keeps its value when the read fails).
NTSTATUS USB2SER_GetDCR_NoCOM(UsbDevice& dev, int reg);
NTSTATUS USB2SER_SetDCR(UsbDevice& dev, int reg, std::uint8_t value, bool async = false);
// Writes the shadow's value.
NTSTATUS USB2SER_SetDCR_NoCOM(UsbDevice& dev, int reg);
// Registers 0x0C-0x0F (chip variant 3 and above): 0x0C and 0x0D read 2 bytes, 0x0E and 0x0F 1.
NTSTATUS WriteExtendedRegister(UsbDevice& dev, int reg, std::uint16_t value);
NTSTATUS ReadExtendedRegister(UsbDevice& dev, int reg, std::span<std::uint8_t> out);
NTSTATUS USB2SER_SetXonXoffChars(UsbDevice& dev, std::uint8_t xon, std::uint8_t xoff);

// EEPROM.
bool USB2SER_EEPROM_IsBusy(UsbDevice& dev);
// buffer[0] is the start address, the rest the bytes to write there.
NTSTATUS USB2SER_EEPROM_Write(UsbDevice& dev, std::span<const std::uint8_t> buffer);
NTSTATUS USB2SER_EEPROM_ReadData(UsbDevice& dev, std::uint16_t start, std::span<std::uint8_t> out,
                                 std::uint32_t& bytesReturned);
NTSTATUS USB2SER_EEPROM_ReadStatus(UsbDevice& dev, std::uint8_t& status);
bool USB2SER_IsEEPROM3A71(UsbDevice& dev);

// Resets and variant-gated vendor requests.
NTSTATUS USB2SER_ResetDevice(UsbDevice& dev);
NTSTATUS USB2SER_ResetPipe(UsbDevice& dev, int pipe);
NTSTATUS USB2SER_ResetDataPipe(UsbDevice& dev, int direction);
NTSTATUS USB2SER_SetFlowThreshold(UsbDevice& dev, std::uint8_t threshold);
NTSTATUS USB2SER_SetInputSignalConfig(UsbDevice& dev, std::uint16_t value);
NTSTATUS USB2SER_GetInputSignalConfig(UsbDevice& dev, std::span<std::uint8_t, 2> out);
NTSTATUS USB2SER_SetInputSignalData(UsbDevice& dev, std::uint16_t value);
NTSTATUS USB2SER_GetInputSignalData(UsbDevice& dev, std::span<std::uint8_t, 2> out);

// Configuration.
NTSTATUS USB2SER_ConfigureDevice(UsbDevice& dev);
NTSTATUS USB2SER_SelectInterfaces(UsbDevice& dev, std::span<const std::uint8_t> config);
NTSTATUS USB2SER_SelectInterfaces1(UsbDevice& dev, std::span<const std::uint8_t> config);
NTSTATUS USB2SER_SelectInterfaces2(UsbDevice& dev, std::span<const std::uint8_t> config);
NTSTATUS USB2SER_ControlRemoteWakeup(UsbDevice& dev, bool enable);
NTSTATUS USB2SER_StopDevice(UsbDevice& dev);

// EEPROM polls before an access gives up: a chip that never clears its busy bit does not hang
// the caller.
inline constexpr int kEepromBusyPollLimit = 200;

}  // namespace vm::drv
