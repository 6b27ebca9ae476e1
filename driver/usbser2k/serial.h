// usbser2k's serial port: the state applications set and read (rate, line control, special
// characters, handshake, time-outs, wait mask, errors and statistics), the request queues with
// their current requests, and the data path (receive ring fed by the standing bulk transfers,
// transmit in chunks, time-outs, events, flow control).
//
// Completion of a current request: every party that may still touch it (the dispatch that
// started it, its cancel routine, its timers, its USB transfer, the receive path copying into
// it) holds a reference bit on it. Whoever decides that it ends (full, time-out, cancel, purge,
// cleanup, error abort, a failed transfer) marks it ending and takes back what it can (the cancel
// routine, the timers); the party that drops the last reference completes it, once.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "driver/platform/io.h"
#include "driver/usbser2k/handflow.h"

namespace vm::drv::usbser2k {

class Device;

// --- Control codes ------------------------------------------------------------------------------
inline constexpr std::uint32_t IOCTL_SERIAL_SET_BAUD_RATE = 0x1B0004;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_QUEUE_SIZE = 0x1B0008;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_LINE_CONTROL = 0x1B000C;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_BREAK_ON = 0x1B0010;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_BREAK_OFF = 0x1B0014;
inline constexpr std::uint32_t IOCTL_SERIAL_IMMEDIATE_CHAR = 0x1B0018;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_TIMEOUTS = 0x1B001C;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_TIMEOUTS = 0x1B0020;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_DTR = 0x1B0024;
inline constexpr std::uint32_t IOCTL_SERIAL_CLR_DTR = 0x1B0028;
inline constexpr std::uint32_t IOCTL_SERIAL_RESET_DEVICE = 0x1B002C;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_RTS = 0x1B0030;
inline constexpr std::uint32_t IOCTL_SERIAL_CLR_RTS = 0x1B0034;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_XOFF = 0x1B0038;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_XON = 0x1B003C;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_WAIT_MASK = 0x1B0040;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_WAIT_MASK = 0x1B0044;
inline constexpr std::uint32_t IOCTL_SERIAL_WAIT_ON_MASK = 0x1B0048;
inline constexpr std::uint32_t IOCTL_SERIAL_PURGE = 0x1B004C;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_BAUD_RATE = 0x1B0050;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_LINE_CONTROL = 0x1B0054;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_CHARS = 0x1B0058;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_CHARS = 0x1B005C;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_HANDFLOW = 0x1B0060;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_HANDFLOW = 0x1B0064;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_MODEMSTATUS = 0x1B0068;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_COMMSTATUS = 0x1B006C;
inline constexpr std::uint32_t IOCTL_SERIAL_XOFF_COUNTER = 0x1B0070;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_PROPERTIES = 0x1B0074;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_DTRRTS = 0x1B0078;
inline constexpr std::uint32_t IOCTL_SERIAL_LSRMST_INSERT = 0x1B007C;
inline constexpr std::uint32_t IOCTL_SERIAL_CONFIG_SIZE = 0x1B0080;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_STATS = 0x1B008C;
inline constexpr std::uint32_t IOCTL_SERIAL_CLEAR_STATS = 0x1B0090;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_MODEM_CONTROL = 0x1B0094;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_MODEM_CONTROL = 0x1B0098;
inline constexpr std::uint32_t IOCTL_SERIAL_SET_FIFO_CONTROL = 0x1B009C;
// Internal device control (other kernel components).
inline constexpr std::uint32_t IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE = 0x1B0004;
inline constexpr std::uint32_t IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE = 0x1B0008;
inline constexpr std::uint32_t IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS = 0x1B000C;
inline constexpr std::uint32_t IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS = 0x1B0010;

// Wait-mask events.
inline constexpr std::uint32_t SERIAL_EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t SERIAL_EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t SERIAL_EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t SERIAL_EV_CTS = 0x0008;
inline constexpr std::uint32_t SERIAL_EV_DSR = 0x0010;
inline constexpr std::uint32_t SERIAL_EV_RLSD = 0x0020;
inline constexpr std::uint32_t SERIAL_EV_BREAK = 0x0040;
inline constexpr std::uint32_t SERIAL_EV_ERR = 0x0080;
inline constexpr std::uint32_t SERIAL_EV_RING = 0x0100;
inline constexpr std::uint32_t SERIAL_EV_RX80FULL = 0x0400;
inline constexpr std::uint32_t kWaitMaskLimit = 0x1FFF;
// Purge bits.
inline constexpr std::uint32_t SERIAL_PURGE_TXABORT = 1;
inline constexpr std::uint32_t SERIAL_PURGE_RXABORT = 2;
inline constexpr std::uint32_t SERIAL_PURGE_TXCLEAR = 4;
inline constexpr std::uint32_t SERIAL_PURGE_RXCLEAR = 8;
// Error bits.
inline constexpr std::uint32_t SERIAL_ERROR_BREAK = 0x01;
inline constexpr std::uint32_t SERIAL_ERROR_FRAMING = 0x02;
inline constexpr std::uint32_t SERIAL_ERROR_OVERRUN = 0x04;
inline constexpr std::uint32_t SERIAL_ERROR_QUEUEOVERRUN = 0x08;
inline constexpr std::uint32_t SERIAL_ERROR_PARITY = 0x10;
// Hold reasons as GET_COMMSTATUS reports them.
inline constexpr std::uint32_t SERIAL_TX_WAITING_FOR_CTS = 0x01;
inline constexpr std::uint32_t SERIAL_TX_WAITING_FOR_DSR = 0x02;
inline constexpr std::uint32_t SERIAL_TX_WAITING_FOR_DCD = 0x04;
inline constexpr std::uint32_t SERIAL_TX_WAITING_FOR_XON = 0x08;
inline constexpr std::uint32_t SERIAL_TX_WAITING_XOFF_SENT = 0x10;
inline constexpr std::uint32_t SERIAL_TX_WAITING_ON_BREAK = 0x20;
inline constexpr std::uint32_t SERIAL_RX_WAITING_FOR_DSR = 0x40;

// --- Records as the requests carry them ---------------------------------------------------------
#pragma pack(push, 1)
struct SerialTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};
struct SerialChars {
    std::uint8_t EofChar = 0;
    std::uint8_t ErrorChar = 0;
    std::uint8_t BreakChar = 0;
    std::uint8_t EventChar = 0;
    std::uint8_t XonChar = 0x11;
    std::uint8_t XoffChar = 0x13;
};
struct SerialLineControlRecord {
    std::uint8_t StopBits;
    std::uint8_t Parity;
    std::uint8_t WordLength;
};
struct SerialStatistics {
    std::uint32_t ReceivedCount = 0;
    std::uint32_t TransmittedCount = 0;
    std::uint32_t FrameErrorCount = 0;
    std::uint32_t SerialOverrunErrorCount = 0;
    std::uint32_t BufferOverrunErrorCount = 0;
    std::uint32_t ParityErrorCount = 0;
};
struct SerialStatus {
    std::uint32_t Errors;
    std::uint32_t HoldReasons;
    std::uint32_t AmountInInQueue;
    std::uint32_t AmountInOutQueue;
    std::uint8_t EofReceived;
    std::uint8_t WaitForImmediate;
    std::uint8_t Reserved[2];
};
struct SerialCommProp {
    std::uint16_t PacketLength;
    std::uint16_t PacketVersion;
    std::uint32_t ServiceMask;
    std::uint32_t Reserved1;
    std::uint32_t MaxTxQueue;
    std::uint32_t MaxRxQueue;
    std::uint32_t MaxBaud;
    std::uint32_t ProvSubType;
    std::uint32_t ProvCapabilities;
    std::uint32_t SettableParams;
    std::uint32_t SettableBaud;
    std::uint16_t SettableData;
    std::uint16_t SettableStopParity;
    std::uint32_t CurrentTxQueue;
    std::uint32_t CurrentRxQueue;
    std::uint32_t ProvSpec1;
    std::uint32_t ProvSpec2;
    std::uint16_t ProvChar[2];
};
struct SerialQueueSize {
    std::uint32_t InSize;
    std::uint32_t OutSize;
};
struct SerialXoffCounter {
    std::uint32_t Timeout;
    std::int32_t Counter;
    std::uint8_t XoffChar;
};
struct SerialBasicSettings {
    SerialTimeouts Timeouts;
    SerialHandflow HandFlow;
    std::uint32_t RxFifo;
    std::uint32_t TxFifo;
};
#pragma pack(pop)
static_assert(sizeof(SerialTimeouts) == 20);
static_assert(sizeof(SerialChars) == 6);
static_assert(sizeof(SerialStatistics) == 24);
static_assert(sizeof(SerialStatus) == 20);
static_assert(sizeof(SerialCommProp) == 64);
static_assert(sizeof(SerialXoffCounter) == 9);
static_assert(sizeof(SerialBasicSettings) == 44);

inline constexpr std::uint32_t kXoffCounterInputLength = 12;  // the record as padded
inline constexpr std::uint32_t kSupportedRates = 0x10067FF9;
// SET_QUEUE_SIZE larger than this is refused (STATUS_INSUFFICIENT_RESOURCES).
inline constexpr std::uint32_t kMaxQueueSize = 1u << 20;
// Close waits at most this long for each of its line-time waits.
inline constexpr TimeUnits kMaxCloseWait = kSecond;
// Interval-timer amounts.
inline constexpr TimeUnits kShortInterval = -1;
inline constexpr TimeUnits kLongInterval = -10'000'000;
inline constexpr TimeUnits kIntervalCutOver = 200'000'000;
// Total time-outs beyond this many 100-ns units (about 29 000 years) are not armed at all.
inline constexpr TimeUnits kNeverTimeout = TimeUnits{1} << 62;

// (count × multiplier + constant) milliseconds in 100-ns units, saturating at kNeverTimeout.
TimeUnits TotalTimeout(std::uint64_t count, std::uint32_t multiplier, std::uint32_t constant);
// One character time at `rate` (0 counts as 9600) for the line-control byte, in 100-ns units.
TimeUnits CharacterTime(std::uint32_t rate, std::uint8_t lineControl);
// `bits` bit times at `rate` (0 counts as 9600), in 100-ns units.
TimeUnits BitTimes(std::uint32_t rate, std::uint64_t bits);

// What the request queues hold of a current request: its reference bits live in the request
// (DriverContext[0]), its ending flag in DriverContext[1].
enum RequestRef : std::uintptr_t {
    kRefStarting = 0x01,  // the path that made it current has not finished setting it up
    kRefCancel = 0x02,    // its cancel routine is set
    kRefTotalTimer = 0x04,
    kRefIntervalTimer = 0x08,
    kRefTransfer = 0x10,  // a USB transfer for it is in flight
};

// A queue of requests and the one being worked on, with the timers of the current one.
struct RequestQueue {
    explicit RequestQueue(Kernel& k) : kernel(k), totalTimer(k), intervalTimer(k) {}
    Kernel& kernel;  // its cancel spin lock guards the queue
    std::deque<Irp*> waiting GUARDED_BY(kernel.cancelSpinLock());
    Irp* current GUARDED_BY(kernel.cancelSpinLock()) = nullptr;
    KTimer totalTimer;
    KTimer intervalTimer;
};

// Tags of the transmit transfers.
enum TransmitTag : std::uintptr_t {
    kTagWrite = 1,
    kTagImmediate = 2,
    kTagFlowCharacter = 3,
    kTagXoffCounter = 4,
};

// The serial side of the device extension. Settings are guarded by the device's control lock
// (usb.controlLock); the queues, the pending wait and the wait mask by the cancel spin lock; the
// receive ring (Device::receiveBuffer and its counts), the direct read, the holds, the errors and
// the statistics by the receive lock.
struct SerialState {
    SerialState(Kernel& kernel, UsbDevice& usb, Device* owner);

    // The kernel whose cancel spin lock guards the queues (kernel.cancelSpinLock()).
    Kernel& kernel;
    // The device whose control lock guards the settings (usb.controlLock).
    UsbDevice& usb;

    // Settings.
    std::uint32_t currentRate GUARDED_BY(usb.controlLock) = 0;  // as last set; 0 until then
    // The time-outs: the request starters take a copy under the control lock.
    SerialTimeouts timeouts GUARDED_BY(usb.controlLock);
    // What the receive path looks at for every byte it stores is guarded by the receive lock:
    // the special characters, the handshake record with the hold reasons and the flow
    // characters, and the escape character.
    SerialChars chars GUARDED_BY(receiveLock);
    FlowState flow GUARDED_BY(receiveLock);  // the handshake record and the hold reasons
    std::uint8_t escapeChar GUARDED_BY(receiveLock) = 0;

    // Wait on mask.
    std::uint32_t waitMask GUARDED_BY(kernel.cancelSpinLock()) = 0;
    std::uint32_t history GUARDED_BY(kernel.cancelSpinLock()) = 0;
    Irp* pendingWait GUARDED_BY(kernel.cancelSpinLock()) = nullptr;

    // Errors and statistics.
    std::uint32_t errors GUARDED_BY(receiveLock) = 0;
    SerialStatistics stats GUARDED_BY(receiveLock);
    // The modem-status-register byte, with change bits, and the last notification's status
    // word, as the status path keeps them.
    std::uint8_t modemStatus GUARDED_BY(receiveLock) = 0;
    std::uint16_t statusWord GUARDED_BY(receiveLock) = 0;
    // The ring's fill level at which SERIAL_EV_RX80FULL is recorded.
    std::uint32_t eightyPercent GUARDED_BY(receiveLock) = 0;

    // Queues.
    RequestQueue readQueue;
    RequestQueue writeQueue;
    RequestQueue immediateQueue;    // the pending immediate character only
    RequestQueue xoffCounterQueue;  // the current XOFF counter only
    KDpc readTotalDpc;
    KDpc readIntervalDpc;
    KDpc writeTotalDpc;
    KDpc immediateTotalDpc;
    KDpc xoffCounterTotalDpc;

    KSpinLock receiveLock;

    // The current read as the receive path fills it.
    Irp* directRead GUARDED_BY(receiveLock) = nullptr;
    std::uint8_t* readBuffer GUARDED_BY(receiveLock) = nullptr;
    std::uint32_t readLength GUARDED_BY(receiveLock) = 0;
    std::uint32_t readCount GUARDED_BY(receiveLock) = 0;
    bool readAnyByte GUARDED_BY(receiveLock) = false;  // completes once it holds any byte
    TimeUnits lastByteTime GUARDED_BY(receiveLock) = 0;
    TimeUnits readInterval GUARDED_BY(receiveLock) = 0;  // 0: no interval limit
    // Bytes the current XOFF counter still waits for.
    std::int32_t xoffCounterLeft GUARDED_BY(receiveLock) = 0;

    // The current write as the transmitter sends it.
    std::uint32_t writeSent GUARDED_BY(kernel.cancelSpinLock()) = 0;
    std::uint32_t chunkInFlight GUARDED_BY(kernel.cancelSpinLock()) = 0;
    // Held by CTS, DSR or XOFF received.
    bool transmitWaiting GUARDED_BY(kernel.cancelSpinLock()) = false;
    // Bytes of writes waiting in the queue.
    std::uint32_t queuedWriteBytes GUARDED_BY(kernel.cancelSpinLock()) = 0;
    // An XOFF counter whose character has gone, waiting at the head of the write queue for the
    // counter before it to retire.
    Irp* xoffCounterWaiting GUARDED_BY(kernel.cancelSpinLock()) = nullptr;

    // Work at passive level the receive path and the timers ask for (modem lines of the
    // receive handshake and the RTS toggle).
    KWorkItem* lineWork = nullptr;
    std::atomic<bool> lineWorkQueued{false};
    // A standing transfer that failed is started again from a work item, after its pipe is
    // reset, at most kMaxRearms times in a row (a success starts the count again).
    KWorkItem* rearmWork = nullptr;
    std::atomic<bool> rearmQueued{false};
    std::atomic<bool> rearmReceive{false};
    std::atomic<bool> rearmStatus{false};
    std::atomic<std::int32_t> receiveFailures{0};
    std::atomic<std::int32_t> statusFailures{0};
    std::atomic<std::int32_t> deferredRunning{0};

    // The port is ready for requests (the open has completed).
    std::atomic<bool> ready{false};
};

// Where a request's starter stops between making it current and arming it, for tests that act
// in that window (Kernel::ArmPause); and where a dispatch stops between its admission and its
// queue.
inline constexpr std::string_view kPauseStart = "usbser2k.start";
inline constexpr std::string_view kPauseAdmitted = "usbser2k.admitted";
// Where a write's starter stops after letting go of its request, which may have completed.
inline constexpr std::string_view kPauseStarted = "usbser2k.started";
// Where a restore after power-up stops once it has taken what it restores and before it sends
// the line coding (it holds the device-requests mutex there, as it does throughout).
inline constexpr std::string_view kPauseRestore = "usbser2k.restore";

inline constexpr std::int32_t kMaxRearms = 3;

// Counts a request in flight; one for a device that is removed, surprise removed or failed is
// completed with STATUS_DELETE_PENDING (and not counted). Returns whether it may go on.
bool Admit(Device& dev, Irp* irp);

// Dispatch routines of the serial requests.
NTSTATUS DispatchRead(DeviceObject* fdo, Irp* irp);
NTSTATUS DispatchWrite(DeviceObject* fdo, Irp* irp);
NTSTATUS DispatchFlush(DeviceObject* fdo, Irp* irp);
NTSTATUS DispatchDeviceControl(DeviceObject* fdo, Irp* irp);
NTSTATUS DispatchInternalDeviceControl(DeviceObject* fdo, Irp* irp);
NTSTATUS DispatchQueryInformation(DeviceObject* fdo, Irp* irp);
NTSTATUS DispatchSetInformation(DeviceObject* fdo, Irp* irp);

// Open: resets the serial state for a new handle and re-applies it to the chip; starts the
// standing transfers.
NTSTATUS OpenPort(Device& dev);
// Cleanup: every queued and current request of every queue completes with STATUS_CANCELLED.
void CancelAllRequests(Device& dev);
// The close's line work: 10 character times, break off, handshakes off, DTR and RTS off.
void ClosePortLines(Device& dev);
// The close's last wait: 1280 bit times (each wait at most kMaxCloseWait).
void ClosePortWait(Device& dev);
// Frees the port's work item once no work of it is queued or running.
void FreeLineWork(Device& dev);
// A transfer of the device's pipes has completed.
void OnTransferDone(Device& dev, int pipe, std::uintptr_t tag, NTSTATUS status,
                    std::span<const std::uint8_t> data);
// Brings the device to D0 before a request that needs the chip; the power code fills this in.
NTSTATUS EnsureD0(Device& dev);

// The data path, from the transfer completions.
void OnReceive(Device& dev, NTSTATUS status, std::span<const std::uint8_t> data);
void OnStatus(Device& dev, NTSTATUS status, std::span<const std::uint8_t> data);
void OnTransmit(Device& dev, std::uintptr_t tag, NTSTATUS status);
// Starts the standing receive transfer unless one is in flight or receive is held.
void ArmReceive(Device& dev);
// After power returns: the chip's registers, modem lines, line coding and handshakes as the
// port had them, and (port open) the standing transfers again. Passive level.
NTSTATUS RestoreAfterPowerUp(Device& dev);

}  // namespace vm::drv::usbser2k
