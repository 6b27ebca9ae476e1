#include "driver/usbser9x/usbser9x.h"
#include "driver/usbser9x/usbser9x_private.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "driver/core/lifecycle.h"
#include "driver/core/private_ioctl.h"

namespace vm::drv::usbser9x {

namespace {
constexpr std::uint32_t kTag = PoolTag("Wdm ");

Device& Ext(DeviceObject* fdo) {
    return fdo->Extension<Device>();
}

DriverGlobals& Globals(DriverObject* driver) {
    return *static_cast<DriverGlobals*>(driver->DriverExtension);
}

std::uint32_t ComOf(const Device& dev) {
    return static_cast<std::uint32_t>(std::max(dev.comNumber.load(), 0));
}
}  // namespace

Device::Device(Kernel& k, DeviceObject* f, DeviceObject* p, DeviceObject* lower)
    : kernel(k),
      fdo(f),
      pdo(p),
      usb(k, kUsbser9xPolicy, f, lower),
      killEvent(k),
      transmitDone(k, EventType::Synchronization),
      openRequest(k, EventType::Synchronization),
      powerIdle(k, EventType::Notification, true) {
    usb.sink = this;
    usb.extendedRates = &rateSnapshot;
}

Device::~Device() {
    VM_KASSERT(worker == nullptr);
}

// --- Data path ----------------------------------------------------------------------------------

void Device::OnTransferComplete(UsbDevice&, int pipe, NTSTATUS status,
                                std::span<const std::uint8_t> data) {
    if (pipe == kPipeTransmit) {
        // The completion of a submitted write ends it (a submission that failed before reaching
        // the bus ends it there).
        if (writeInFlight.exchange(false)) {
            usb.pendingWriteCount.Decrement();
            transmitDone.Set();
        }
        return;
    }
    if (!NT_SUCCESS(status) || usb.removing.load()) return;
    resubmitting.fetch_add(1);
    if (pipe == kPipeReceive) {
        bool captured = false;
        {
            SpinLockGuard lock(captureLock);
            if (captureOn) {
                const std::size_t n = std::min(data.size(), kCaptureSize - captureLength);
                std::memcpy(capture.data() + captureLength, data.data(), n);
                captureLength += n;
                captured = true;
            }
        }
        const ReceiveCallback receive = globals->receiveCallback.load();
        if (!captured && portOpen.load() && receive && !data.empty()) {
            receive(data.data(), static_cast<std::uint32_t>(data.size()), ComOf(*this));
        }
        if (readingEnabled.load() && portOpen.load()) {
            USB2SER_ArmStanding(usb, kPipeReceive, kReceiveTransferSize);
        }
    } else {
        std::uint16_t word = 0;
        if (data.size() > 8) word = data[8];
        if (data.size() > 9) word = static_cast<std::uint16_t>(word | data[9] << 8);
        const StatusCallback statusCallback = globals->statusCallback.load();
        if (portOpen.load() && statusCallback) statusCallback(&word, ComOf(*this));
        lastStatus.store(word);
        if (portOpen.load()) USB2SER_ArmStanding(usb, kPipeStatus, kStatusTransferSize);
    }
    resubmitting.fetch_sub(1);
}

void StartStandingTransfers(Device& dev) {
    for (int pipe : {kPipeStatus, kPipeReceive}) {
        if (USB2SER_StandingArmed(dev.usb, pipe)) continue;
        if (!NT_SUCCESS(USB2SER_ResetPipe(dev.usb, pipe))) continue;
        USB2SER_ArmStanding(dev.usb, pipe,
                            pipe == kPipeStatus ? kStatusTransferSize : kReceiveTransferSize);
    }
}

// Cancels the status and receive transfers once no completion is about to resubmit one.
void StopStandingTransfers(Device& dev) {
    while (dev.resubmitting.load() != 0) std::this_thread::yield();
    CancelTheIrp(dev.usb, kPipeStatus);
    CancelTheIrp(dev.usb, kPipeReceive);
}

// --- Port table -------------------------------------------------------------------------------

std::optional<std::int32_t> ComNumberOf(const std::string& name) {
    if (name.size() < 4 || name.size() > 6) return std::nullopt;
    std::int32_t number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return std::nullopt;
        number = number * 10 + (name[i] - '0');
    }
    if (number < 1 || number > 255) return std::nullopt;
    return number;
}

namespace {
// Clears this device's entry (only if it is still this device's).
void LeavePortTable(Device& dev) {
    SpinLockGuard lock(dev.globals->portLock);
    const std::int32_t com = dev.comNumber.load();
    if (com >= 0 && dev.globals->ports[static_cast<std::size_t>(com)] == &dev) {
        dev.globals->ports[static_cast<std::size_t>(com)] = nullptr;
    }
    dev.comNumber.store(-1);
}

}  // namespace

// Enters the device for a COM number; `onlyIfFree` leaves an entry another device holds.
bool EnterPortTable(Device& dev, std::int32_t number, bool onlyIfFree) {
    if (number == dev.comNumber.load()) return true;
    LeavePortTable(dev);
    SpinLockGuard lock(dev.globals->portLock);
    Device*& entry = dev.globals->ports[static_cast<std::size_t>(number)];
    if (onlyIfFree && entry != nullptr) return false;
    entry = &dev;
    dev.comNumber.store(number);
    return true;
}

namespace {

// The port name of the device node, read within the size the value has (at most 64 bytes).
std::optional<std::int32_t> ReadDevNodePortNumber(Device& dev) {
    ConfigManager* cm = ConfigManager::Of(dev.kernel);
    if (!cm || dev.devNode == 0) return std::nullopt;
    std::uint32_t size = 0;
    if (cm->ReadRegistryValue(dev.devNode, "PORTNAME", nullptr, &size) != CR_SUCCESS) {
        return std::nullopt;
    }
    std::array<char, 64> text{};
    std::uint32_t length = std::min<std::uint32_t>(size, text.size());
    if (length == 0) return std::nullopt;
    if (size > text.size()) return std::nullopt;  // longer than any port name
    if (cm->ReadRegistryValue(dev.devNode, "PORTNAME", text.data(), &length) != CR_SUCCESS) {
        return std::nullopt;
    }
    const std::size_t end = std::find(text.begin(), text.begin() + length, '\0') - text.begin();
    return ComNumberOf(std::string(text.data(), end));
}
}  // namespace

void USB2SER_QueryCOMPort(Device& dev) {
    const std::optional<std::int32_t> com = ReadDevNodePortNumber(dev);
    if (com) {
        EnterPortTable(dev, *com, false);
    } else if (dev.comNumber.load() < 0) {
        EnterPortTable(dev, 3, true);
    }
}

Device* LookupPort(DriverGlobals& globals, std::int64_t com) {
    if (com < 0 || com > 255) return nullptr;
    SpinLockGuard lock(globals.portLock);
    return globals.ports[static_cast<std::size_t>(com)];
}

// --- Device node --------------------------------------------------------------------------------

std::string DevNodeId(std::uint16_t vendorId, std::uint16_t productId, std::uint32_t number) {
    char text[64];
    std::snprintf(text, sizeof text, "USBPorts\\VID_%04X&PID_%04X\\%4.4u", vendorId, productId,
                  number);
    return text;
}

CONFIGRET EnumHandler(std::uint32_t function, DEVNODE, DEVNODE, void*, std::uint32_t) {
    switch (function) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
        case 10:
        case 15:
            return CR_SUCCESS;
        default:
            return CR_DEFAULT;
    }
}

std::array<std::uint8_t, 108> IoResourceDescriptor() {
    std::array<std::uint8_t, 108> d{};
    std::size_t at = 0;
    auto word = [&](std::uint16_t v) {
        d[at++] = static_cast<std::uint8_t>(v);
        d[at++] = static_cast<std::uint8_t>(v >> 8);
    };
    auto byte = [&](std::uint8_t v) { d[at++] = v; };
    // Header: five alternatives of the range type (12), allocation fields 0.
    word(5);
    word(12);
    word(0);
    word(0);
    word(0);
    byte(0);
    byte(0);
    const std::uint16_t ranges[5][2] = {
        {0x3F8, 0x3FF}, {0x2F8, 0x2FF}, {0x3E8, 0x3EF}, {0x2E8, 0x2EF}, {0x0000, 0xFFFF}};
    for (const auto& r : ranges) {
        word(0xFFFF);  // alignment mask
        word(8);       // ports
        word(r[0]);
        word(r[1]);
        word(0);  // flags
        byte(0xFF);
        byte(0xFF);
    }
    return d;  // the rest of the 108 bytes stays 0
}

bool USB2SER_CreateDevNode(Device& dev) {
    ConfigManager* cm = ConfigManager::Of(dev.kernel);
    if (dev.devNode != 0) return true;  // one node per device, however often asked
    if (!cm || (dev.usb.vendorId == 0 && dev.usb.productId == 0)) return false;
    DEVNODE root = 0;
    if (cm->LocateRoot(&root) != CR_SUCCESS) return false;
    DEVNODE node = 0;
    const std::string id = DevNodeId(dev.usb.vendorId, dev.usb.productId, dev.deviceNumber - 1);
    if (cm->CreateDevNode(&node, id, root) != CR_SUCCESS) return false;
    dev.devNode = node;
    LOG_CONF logConf = 0;
    bool ok = cm->AddEmptyLogConf(&logConf, node, 0x3000, BASIC_LOG_CONF) == CR_SUCCESS;
    if (ok) {
        const auto descriptor = IoResourceDescriptor();
        ok = cm->AddResDes(logConf, ResType_IO, descriptor.data(),
                           static_cast<std::uint32_t>(descriptor.size())) == CR_SUCCESS;
    }
    return cm->RegisterEnumerator(node, &EnumHandler, 1) == CR_SUCCESS && ok;
}

namespace {
// Removes the device node once; the port-table entry goes with it.
void USB2SER_DeleteDevNode(Device& dev) {
    LeavePortTable(dev);
    if (dev.devNode == 0) return;
    if (ConfigManager* cm = ConfigManager::Of(dev.kernel)) cm->RemoveSubTree(dev.devNode);
    dev.devNode = 0;
}

// --- References held by the port driver's calls -------------------------------------------------

// The device entered for the COM number, with a request counted on it (so removal waits for the
// call to end); null when there is none or it is being removed.
Device* AcquirePort(DriverGlobals& g, std::uint32_t com) {
    if (com > 255) return nullptr;
    SpinLockGuard lock(g.portLock);
    Device* dev = g.ports[com];
    if (!dev || dev->usb.removing.load()) return nullptr;
    dev->usb.ioCount.Increment();
    return dev;
}

class PortRef {
public:
    PortRef(DriverGlobals& g, std::uint32_t com) : dev_(AcquirePort(g, com)) {}
    ~PortRef() {
        if (dev_) dev_->usb.ioCount.Decrement();
    }
    PortRef(const PortRef&) = delete;
    PortRef& operator=(const PortRef&) = delete;
    Device* operator->() const { return dev_; }
    Device& operator*() const { return *dev_; }
    explicit operator bool() const { return dev_ != nullptr; }

private:
    Device* dev_;
};

}  // namespace

bool AtPassive() {
    return KeGetCurrentIrql() == Irql::Passive;
}

namespace {

// --- Open and close -----------------------------------------------------------------------------

void OpenPort(Device& dev) {
    UsbDevice& usb = dev.usb;
    dev.portOpen.store(true);
    for (int reg = 0; reg < 3; ++reg) USB2SER_GetDCR_NoCOM(usb, reg);
    if (usb.ChipAtLeast(2)) {
        USB2SER_ResetDataPipe(usb, 1);
        USB2SER_ResetDataPipe(usb, 0);
    }
    dev.readingEnabled.store(true);
    const std::uint16_t status = dev.lastStatus.load();
    bool capturing;
    {
        SpinLockGuard lock(dev.captureLock);
        capturing = dev.captureOn;
    }
    const StatusCallback callback = dev.globals->statusCallback.load();
    if (callback && status != 0 && !capturing) callback(&status, ComOf(dev));
    StartStandingTransfers(dev);
}

void ClosePort(Device& dev) {
    UsbDevice& usb = dev.usb;
    dev.portOpen.store(false);
    dev.kernel.Wait(usb.pendingWriteCount.IdleEvent(), kTwoSeconds);
    USB2SER_SetCTSState(usb, false);
    std::uint32_t rate;
    {
        SpinLockGuard lock(usb.controlLock);
        rate = usb.chip.currentRate;
    }
    if (rate != 0) {
        // 1280 bit times, in 64-bit arithmetic and at most a second.
        const TimeUnits wait = std::min<TimeUnits>(1280LL * kSecond / rate, kSecond);
        dev.kernel.Delay(wait);
    }
    USB2SER_SetDTRState(usb, false);
    USB2SER_SetRTSState(usb, false);
}

void ApplyOpen(Device& dev, bool opened) {
    if (opened) {
        OpenPort(dev);
    } else {
        ClosePort(dev);
    }
}

// --- Line settings ------------------------------------------------------------------------------

std::uint32_t Read32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

void Write32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

namespace {

// The rate a line coding's rate word stands for (a divisor word is looked up in the tables).
std::uint32_t RateOfWord(Device& dev, std::uint32_t word) REQUIRES(dev.stateMutex) {
    if ((word & 0x80000000u) == 0) return word;
    for (const RatePair& pair : dev.rateSnapshot.pairs) {
        if (pair.divisor == word && pair.rate != 0) return pair.rate;
    }
    for (const RatePair& pair : kRateTable) {
        if (pair.divisor == word) return pair.rate;
    }
    return word;
}

}  // namespace

// Applies a device control block as a change of kind 2 (rate), 1 (line) or another (the kept
// coding sent again). Passive level.
bool ApplyState(Device& dev, std::uint8_t* block, std::uint32_t kind) {
    KMutexGuard serialised(dev.stateMutex);
    std::memcpy(dev.keptBlock.data(), block, kDcbSize);
    NTSTATUS status;
    if (kind == 2) {
        const std::uint32_t rate = Read32(block + kDcbBaudRate);
        if (rate == 0) return true;
        {
            SpinLockGuard lock(dev.globals->rateLock);
            dev.rateSnapshot = dev.globals->extendedRates;
        }
        status = SetBaudRate(dev.usb, rate);
        if (NT_SUCCESS(status)) {
            std::uint32_t current;
            {
                SpinLockGuard lock(dev.usb.controlLock);
                current = dev.usb.chip.currentRate;
            }
            Write32(block + kDcbBaudRate, current);
            Write32(dev.keptBlock.data() + kDcbBaudRate, current);
        }
    } else if (kind == 1) {
        const LineControl lc{block[kDcbStopBits], block[kDcbParity], block[kDcbByteSize]};
        // What the chip cannot take is refused rather than sent.
        if (lc.wordLength < 5 || lc.wordLength > 8 || lc.parity > 4 || lc.stopBits > 2) {
            return false;
        }
        status = SetLineControl(dev.usb, lc);
    } else {
        status = USB2SER_RestoreState(dev.usb);
    }
    return NT_SUCCESS(status);
}

void RecordD0(Device& dev) {
    if (dev.devicePowerState.load() != PowerDeviceD0) dev.devicePowerState.store(PowerDeviceD0);
}

// --- The port driver's interface ----------------------------------------------------------------

bool COMOpenedForSerport(DriverGlobals& g, std::uint8_t opened, std::uint32_t com) {
    PortRef dev(g, com);
    if (!dev) return false;
    if (!AtPassive()) {
        // Nothing can wait here: the worker thread does it at passive level.
        dev->deferredOpen.store(opened ? 1 : 0);
        dev->openRequest.Set();
        return true;
    }
    ApplyOpen(*dev, opened != 0);
    return true;
}

bool ReadForSerport(DriverGlobals& g, std::uint8_t enable, std::uint32_t com) {
    PortRef dev(g, com);
    if (!dev) return false;
    dev->readingEnabled.store(enable != 0);
    if (enable && dev->portOpen.load()) {
        USB2SER_ArmStanding(dev->usb, kPipeReceive, kReceiveTransferSize);
    }
    return true;
}

bool WriteForSerport(DriverGlobals& g, const std::uint8_t* data, std::uint32_t length,
                     std::uint32_t com) {
    PortRef dev(g, com);
    if (!dev || dev->usb.removing.load()) return false;
    if (!data || length == 0 || length > kMaxWriteLength) return false;
    bool idle = false;
    if (!dev->writeInFlight.compare_exchange_strong(idle, true)) return false;  // one at a time
    if (AtPassive()) dev->kernel.Wait(dev->usb.controlIoCount.ZeroEvent(), kTwoSeconds);
    dev->usb.pendingWriteCount.Increment();
    bool submitted = false;
    const NTSTATUS status =
        USB2SER_AsyncTransferTagged(dev->usb, kPipeTransmit, data, length, 0, &submitted);
    if (!submitted) {
        // It never reached the bus, so no completion will come: the flag and the pending count
        // go back here. (A transfer the bus failed at once has had its completion already,
        // which took both, and a write the write-out callback started since owns the flag.)
        dev->writeInFlight.store(false);
        dev->usb.pendingWriteCount.Decrement();
        return false;
    }
    return NT_SUCCESS(status) || status == STATUS_PENDING;
}

bool KickTxForSerport(DriverGlobals& g, std::uint32_t com) {
    PortRef dev(g, com);
    if (!dev) return false;
    dev->transmitDone.Set();
    return true;
}

bool GetStateForSerport(DriverGlobals& g, void* dcb, std::uint32_t com) {
    PortRef dev(g, com);
    if (!dev || !dcb || !AtPassive()) return false;
    LineCoding coding;
    if (!NT_SUCCESS(USB2SER_GetLineCoding(dev->usb, coding))) return false;
    KMutexGuard serialised(dev->stateMutex);
    Write32(dev->keptBlock.data() + kDcbBaudRate, RateOfWord(*dev, coding.rate));
    dev->keptBlock[kDcbStopBits] = coding.stopBits;
    dev->keptBlock[kDcbParity] = coding.parity;
    dev->keptBlock[kDcbByteSize] = coding.dataBits;
    std::memcpy(dcb, dev->keptBlock.data(), kDcbSize);
    return true;
}

bool SetStateForSerport(DriverGlobals& g, void* dcb, std::uint32_t kind, std::uint32_t com) {
    PortRef dev(g, com);
    if (!dev || !dcb || !AtPassive()) return false;
    return ApplyState(*dev, static_cast<std::uint8_t*>(dcb), kind);
}

bool SetControlLineForSerport(DriverGlobals& g, std::uint8_t line, std::uint32_t state,
                              std::uint32_t com) {
    PortRef dev(g, com);
    if (!dev) return false;
    const bool on = state != 0;
    NTSTATUS status = STATUS_SUCCESS;
    switch (line) {
        case 1:
            status = USB2SER_SetDTRState(dev->usb, on);
            break;
        case 2:
            status = USB2SER_SetRTSState(dev->usb, on);
            break;
        case 3:
            status = USB2SER_SetCTSState(dev->usb, on);
            break;
        case 4:
            status = USB2SER_SetXonXoffState(dev->usb, on);
            break;
        case 5:
            status = USB2SER_SetDSRState(dev->usb, on);
            break;
        case 6:
            status = USB2SER_SetCTSDSRState(dev->usb, on);
            break;
        default:
            break;
    }
    return NT_SUCCESS(status);
}

bool SetBreakForSerport(DriverGlobals& g, std::uint8_t on, std::uint32_t com) {
    PortRef dev(g, com);
    if (!dev) return false;
    return NT_SUCCESS(SetBreak(dev->usb, on != 0));
}

bool ExtBaudrateForSerport(DriverGlobals& g, const char* text) {
    if (!text) return false;
    const std::size_t length = strnlen(text, 260);
    if (length > 259) return false;
    ExtendedRateTable table;
    table.Load(std::string_view(text, length));
    SpinLockGuard lock(g.rateLock);
    g.extendedRates = table;
    return true;
}

bool GetIntStatusForSerport(DriverGlobals& g, std::uint32_t com) {
    PortRef dev(g, com);
    if (!dev || !AtPassive()) return false;
    // The standing status read gets the notification; a second reader would take it away.
    if (USB2SER_StandingArmed(dev->usb, kPipeStatus)) return true;
    std::array<std::uint8_t, kStatusTransferSize> buffer{};
    std::uint32_t bytes = 0;
    if (!NT_SUCCESS(USB2SER_ReadInterrupt(dev->usb, buffer, bytes))) return false;
    if (bytes > 8) {
        std::uint16_t word = buffer[8];
        if (bytes > 9) word = static_cast<std::uint16_t>(word | buffer[9] << 8);
        dev->lastStatus.store(word);
        const StatusCallback callback = g.statusCallback.load();
        if (callback && dev->portOpen.load()) callback(&word, com);
    }
    return true;
}

// --- Worker thread ----------------------------------------------------------------------------

namespace {
void ThreadMain(void* context) {
    auto& dev = *static_cast<Device*>(context);
    KEvent* events[3] = {&dev.killEvent, &dev.transmitDone, &dev.openRequest};
    for (;;) {
        const NTSTATUS which = dev.kernel.WaitAny(events, std::nullopt);
        if (which == STATUS_WAIT_0) return;
        if (which == STATUS_WAIT_0 + 2) {
            const std::int32_t opened = dev.deferredOpen.exchange(-1);
            if (opened >= 0 && !dev.usb.removing.load()) ApplyOpen(dev, opened != 0);
            continue;
        }
        const ComCallback writeOut = dev.globals->writeOutCallback.load();
        if (writeOut && dev.portOpen.load() && !dev.usb.removing.load()) writeOut(ComOf(dev));
    }
}

// Ends the worker thread, when there is one.
void KillThread(Device& dev) {
    if (!dev.worker) return;
    dev.killEvent.Set();
    PsJoinAndFreeSystemThread(dev.worker);
    dev.worker = nullptr;
}

// --- Start, stop, removal -----------------------------------------------------------------------

NTSTATUS StartDevice(Device& dev) {
    UsbDevice& usb = dev.usb;
    // The descriptor, the configuration and the worker are what the device cannot do without:
    // any of them failing fails the start.
    NTSTATUS status = ReadAndClassifyChip(usb);
    if (NT_SUCCESS(status)) status = USB2SER_ConfigureDevice(usb);
    if (!NT_SUCCESS(status)) return status;
    USB2SER_ControlRemoteWakeup(usb, true);
    if (!dev.powerWork) {
        dev.powerWork = IoAllocateWorkItem(dev.kernel);
        if (!dev.powerWork) return STATUS_INSUFFICIENT_RESOURCES;
    }
    USB2SER_CreateDevNode(dev);  // without a node the port still works, as COM3
    USB2SER_ResetDevice(usb);
    if (!dev.worker) {
        dev.killEvent.Clear();
        status = PsCreateSystemThread(dev.kernel, &ThreadMain, &dev, &dev.worker);
        if (!NT_SUCCESS(status)) return status;
    }
    USB2SER_QueryCOMPort(dev);
    if (!USB2SER_IsEEPROM3A71(usb)) {
        status = USB2SER_InitHW(usb);
        if (!NT_SUCCESS(status)) return status;
    }
    if (usb.ChipAtLeast(2)) USB2SER_SetFlowThreshold(usb, usb.policy.flowThresholdAfterStart);
    dev.devicePowerState.store(PowerDeviceD0);
    return STATUS_SUCCESS;
}

NTSTATUS RemoveDevice(Device& dev, Irp* irp) {
    dev.usb.removing.store(true);
    const std::int32_t com = dev.comNumber.load();
    // Out of the port table first: a port driver's call that found the device holds a request
    // count, which the wait below covers; a later one finds nothing.
    LeavePortTable(dev);
    const bool portWasOpen = dev.portOpen.exchange(false);
    // The worker first (it may be opening the port), then the calls in progress, then what is
    // in flight: every count drained to 0 (not to the data count's idle level), so no completion
    // can touch the device after this.
    KillThread(dev);
    dev.usb.ioCount.Decrement();
    dev.kernel.Wait(dev.usb.ioCount.ZeroEvent());
    while (dev.resubmitting.load() != 0) std::this_thread::yield();
    CancelAndDrainTransfers(dev.usb);
    dev.kernel.DeleteSymbolicLink(dev.linkName);
    if (com >= 0) {
        if (const ComCallback removed = dev.globals->cableRemovedCallback.load()) {
            removed(static_cast<std::uint32_t>(com));
        }
    }
    if (portWasOpen && dev.devNode != 0) {
        // The port driver still has the node's port open: the node stays until unload.
        SpinLockGuard lock(dev.globals->portLock);
        if (dev.globals->orphanCount < dev.globals->orphanNodes.size()) {
            dev.globals->orphanNodes[dev.globals->orphanCount++] = dev.devNode;
            dev.devNode = 0;
        }
    }
    USB2SER_DeleteDevNode(dev);
    if (dev.powerWork) {
        IoFreeWorkItem(dev.powerWork);
        dev.powerWork = nullptr;
    }
    {
        SpinLockGuard lock(dev.globals->portLock);
        if (dev.globals->lastAdded == &dev) dev.globals->lastAdded = nullptr;
    }
    return PassDownDetachAndDelete(dev.fdo, dev.usb.lower, irp);
}

NTSTATUS DispatchPnp(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return AnswerStart(dev.usb.lower, irp, [&] { return StartDevice(dev); });
        case IRP_MN_STOP_DEVICE:
            dev.portOpen.store(false);
            while (dev.resubmitting.load() != 0) std::this_thread::yield();
            CancelAndDrainTransfers(dev.usb);
            USB2SER_StopDevice(dev.usb);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(dev.usb.lower, irp);
        case IRP_MN_REMOVE_DEVICE:
            return RemoveDevice(dev, irp);
        case IRP_MN_QUERY_ID:
            return AnswerQueryId(dev.usb.lower, dev.pdo, irp, kTag);
        case IRP_MN_QUERY_CAPABILITIES: {
            const NTSTATUS status = ForwardAndWait(dev.usb.lower, irp);
            IoCompleteRequest(irp);
            return status;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            // The node is made when there is none; the port name may have changed. Only for bus
            // relations, which is what the system asks when it enumerates.
            if (location->Parameters.QueryDeviceRelations.Type ==
                    DeviceRelationType::BusRelations &&
                !dev.usb.removing.load()) {
                USB2SER_CreateDevNode(dev);
                USB2SER_QueryCOMPort(dev);
            }
            return PassDown(dev.usb.lower, irp);
        default:
            return PassDown(dev.usb.lower, irp);
    }
}

NTSTATUS Succeed(DeviceObject*, Irp* irp) {
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS InternalIoctl(DeviceObject*, Irp* irp) {
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
}

NTSTATUS DeviceControl(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    dev.usb.ioCount.Increment();
    if (dev.usb.removing.load()) {
        CompleteRequest(irp, STATUS_DELETE_PENDING);
    } else {
        IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
        std::uintptr_t information = 0;
        const NTSTATUS status =
            ProcessIoctl(dev, location->Parameters.DeviceIoControl.IoControlCode,
                         static_cast<std::uint8_t*>(irp->SystemBuffer),
                         location->Parameters.DeviceIoControl.InputBufferLength,
                         location->Parameters.DeviceIoControl.OutputBufferLength, information);
        CompleteRequest(irp, status, information);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    dev.usb.ioCount.Decrement();
    return status;
}

NTSTATUS DispatchPassDown(DeviceObject* fdo, Irp* irp) {
    return PassDown(Ext(fdo).usb.lower, irp);
}

void Unload(DriverObject* driver) {
    DriverGlobals& g = Globals(driver);
    if (ConfigManager* cm = ConfigManager::Of(driver->kernel())) {
        std::array<DEVNODE, 32> orphans{};
        std::size_t count = 0;
        {
            SpinLockGuard lock(g.portLock);
            orphans = g.orphanNodes;
            count = g.orphanCount;
        }
        for (std::size_t i = 0; i < count; ++i) cm->RemoveSubTree(orphans[i]);
    }
    driver->kernel().pool().Delete(&g);
    driver->DriverExtension = nullptr;
}
}  // namespace

NTSTATUS DriverEntry(DriverObject* driver, const std::string& registryPath) {
    auto* globals = driver->kernel().pool().New<DriverGlobals>(kTag);
    if (!globals) return STATUS_INSUFFICIENT_RESOURCES;
    driver->DriverExtension = globals;
    driver->RegistryPath = registryPath;
    driver->MajorFunction[IRP_MJ_CREATE] = &Succeed;
    driver->MajorFunction[IRP_MJ_CLOSE] = &Succeed;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &DeviceControl;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &InternalIoctl;
    driver->MajorFunction[IRP_MJ_POWER] = &USB2SER_ProcessPowerIrp;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = &DispatchPassDown;
    driver->MajorFunction[IRP_MJ_PNP] = &DispatchPnp;
    driver->AddDevice = &AddDevice;
    driver->Unload = &Unload;
    return STATUS_SUCCESS;
}

NTSTATUS AddDevice(DriverObject* driver, DeviceObject* pdo) {
    DriverGlobals& globals = Globals(driver);
    DeviceObject* fdo = nullptr;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    std::uint32_t number = 0;
    std::string name;
    // Numbers written in decimal ("SerialPort12"); only a name in use moves on to the next.
    for (number = 1; number <= 256 && status == STATUS_OBJECT_NAME_COLLISION; ++number) {
        name = "\\Device\\SerialPort" + std::to_string(number);
        status = IoCreateDevice(*driver, name, FILE_DEVICE_SERIAL_PORT, 0, true, &fdo);
    }
    --number;
    if (!NT_SUCCESS(status)) return status;
    const std::string link = "\\DosDevices\\USBCOM-" + std::to_string(number);
    status = driver->kernel().CreateSymbolicLink(link, name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    DeviceObject* lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    Device* dev = fdo->CreateExtension<Device>(driver->kernel(), fdo, pdo, lower);
    if (!dev) {
        IoDetachDevice(lower);
        driver->kernel().DeleteSymbolicLink(link);
        IoDeleteDevice(fdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    dev->globals = &globals;
    dev->deviceName = name;
    dev->linkName = link;
    dev->deviceNumber = number;
    {
        SpinLockGuard lock(globals.portLock);
        globals.lastAdded = dev;
    }
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace vm::drv::usbser9x
