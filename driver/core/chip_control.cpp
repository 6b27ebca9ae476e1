#include "driver/core/chip_control.h"

namespace vm::drv {

// --- Rates --------------------------------------------------------------------------------------

void USB2SER_FindAvailBaudRate(std::uint32_t& rate, int& index) {
    const int last = static_cast<int>(kRateTable.size()) - 1;
    for (int i = 0; i <= last; ++i) {
        if (kRateTable[static_cast<std::size_t>(i)].rate == rate) {
            index = i;
            return;
        }
    }
    // The last pair's midpoint has no lower pair to go on to: it goes to the lower rate too.
    index = last;
    for (int j = 0; j < last; ++j) {
        const std::uint32_t upper = kRateTable[static_cast<std::size_t>(j)].rate;
        const std::uint32_t lower = kRateTable[static_cast<std::size_t>(j + 1)].rate;
        const std::uint32_t mid = (upper + lower) / 2;
        if (rate > mid) {
            index = j;
            break;
        }
        if (rate < mid && rate > lower) {
            index = j + 1;
            break;
        }
    }
    rate = kRateTable[static_cast<std::size_t>(index)].rate;
}

namespace {
std::optional<std::uint32_t> ParseDecimal(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}
}  // namespace

void ExtendedRateTable::Load(std::string_view text) {
    count = 0;
    std::size_t pos = 0;
    while (count < kCapacity && pos < text.size()) {
        const std::string_view rateWindow = text.substr(pos, kFieldScan);
        const std::size_t comma = rateWindow.find(',');
        if (comma == std::string_view::npos) return;
        const std::optional<std::uint32_t> rate = ParseDecimal(rateWindow.substr(0, comma));
        if (!rate) return;
        pos += comma + 1;
        const std::string_view wordWindow = text.substr(pos, kFieldScan);
        std::size_t end = wordWindow.find(' ');
        if (end == std::string_view::npos) {
            if (pos + wordWindow.size() != text.size()) return;  // neither space nor end
            end = wordWindow.size();
        }
        const std::optional<std::uint32_t> word = ParseDecimal(wordWindow.substr(0, end));
        if (!word) return;
        pairs[count++] = RatePair{*rate, *word};
        pos += end + 1;
    }
}

bool USB2SER_FindAvailExtBaudRate(const ExtendedRateTable& table, std::uint32_t rate, int& index) {
    for (std::size_t i = 0; i < table.count; ++i) {
        if (table.pairs[i].rate == rate) {
            index = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

// --- Initialisation ---------------------------------------------------------------------------

NTSTATUS USB2SER_InitHW(UsbDevice& dev) {
    const std::uint8_t values[3] = {0x01, 0x00,
                                    static_cast<std::uint8_t>(dev.ChipAtLeast(2) ? 0x44 : 0x24)};
    if (dev.policy.initStoresShadow) {
        SpinLockGuard lock(dev.controlLock);
        for (int r = 0; r < 3; ++r) dev.chip.shadow[static_cast<std::size_t>(r)] = values[r];
    }
    // All three are written; the first failure is what the caller hears of.
    NTSTATUS result = STATUS_SUCCESS;
    for (int r = 0; r < 3; ++r) {
        const NTSTATUS status = USB2SER_SetDCR(dev, r, values[r]);
        if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
    }
    return result;
}

NTSTATUS InitializeChip(UsbDevice& dev, bool* initialised) {
    const bool fromEeprom = USB2SER_IsEEPROM3A71(dev);
    if (initialised) *initialised = !fromEeprom;
    return fromEeprom ? STATUS_SUCCESS : USB2SER_InitHW(dev);
}

namespace {
// Holds the device's line mutex at passive level; above it nothing waits (those callers send
// asynchronously or are refused). Whether it holds the mutex is known only at run time, which
// the lock analysis cannot follow: its two ends are unchecked.
class LineGuard {
public:
    explicit LineGuard(UsbDevice& dev) NO_THREAD_SAFETY_ANALYSIS
        : mutex_(KeGetCurrentIrql() == Irql::Passive ? &dev.lineMutex : nullptr) {
        if (mutex_) mutex_->Acquire();
    }
    ~LineGuard() { Release(); }
    void Release() NO_THREAD_SAFETY_ANALYSIS {
        if (mutex_) mutex_->Release();
        mutex_ = nullptr;
    }
    LineGuard(const LineGuard&) = delete;
    LineGuard& operator=(const LineGuard&) = delete;

private:
    KMutex* mutex_;
};
}  // namespace

NTSTATUS USB2SER_RestoreState(UsbDevice& dev) {
    LineGuard line(dev);
    LineCoding coding;
    {
        SpinLockGuard lock(dev.controlLock);
        coding = dev.chip.lineCoding;
    }
    return USB2SER_SetLineCoding(dev, coding);
}

// --- Baud rate and line control ----------------------------------------------------------------

NTSTATUS SetBaudRate(UsbDevice& dev, std::uint32_t requested) {
    if (requested == 0) return STATUS_SUCCESS;
    LineGuard line(dev);
    LineCoding coding;
    std::uint32_t previous;
    {
        SpinLockGuard lock(dev.controlLock);
        coding = dev.chip.lineCoding;
        previous = dev.chip.currentRate;
    }
    if (dev.policy.skipUnchangedRate && requested == previous) return STATUS_SUCCESS;
    if (KeGetCurrentIrql() != Irql::Passive) return STATUS_UNSUCCESSFUL;

    std::uint32_t rate = requested;
    int index = 0;
    if (!dev.ChipAtLeast(2)) {
        USB2SER_FindAvailBaudRate(rate, index);
        coding.rate = rate;
    } else if (dev.extendedRates &&
               USB2SER_FindAvailExtBaudRate(*dev.extendedRates, requested, index)) {
        coding.rate = dev.extendedRates->pairs[static_cast<std::size_t>(index)].divisor;
    } else {
        USB2SER_FindAvailBaudRate(rate, index);
        coding.rate = rate <= 115200 ? rate : kRateTable[static_cast<std::size_t>(index)].divisor;
    }

    const NTSTATUS status = USB2SER_SetLineCoding(dev, coding);
    // A rate the chip did not take is not recorded: asking for it again sends it again.
    if (!NT_SUCCESS(status)) return status;
    {
        SpinLockGuard lock(dev.controlLock);
        dev.chip.lineCoding = coding;
        dev.chip.currentRate = rate;
        if (dev.policy.setsTransmitChunk) {
            dev.chip.maxTransmitChunk = dev.ChipAtLeast(2) && rate >= 115200 ? 4096 : 256;
        }
    }
    line.Release();
    if (!dev.policy.rateWaitOnlyWhenChanged || rate != previous) {
        dev.kernel.Delay(dev.policy.rateSettleWait);
    }
    return status;
}

namespace {
constexpr std::uint8_t kParityBits[5] = {0x00, 0x08, 0x18, 0x28, 0x38};
constexpr std::uint8_t kReceiveMasks[4] = {0x1F, 0x3F, 0x7F, 0xFF};
}  // namespace

bool LineControlValid(const LineControl& lc) {
    if (lc.wordLength < 5 || lc.wordLength > 8 || lc.parity > 4 || lc.stopBits > 2) return false;
    if (lc.stopBits == 1 && lc.wordLength > 5) return false;
    if (lc.stopBits == 2 && lc.wordLength == 5) return false;
    return true;
}

std::uint8_t EncodeLineControl(const LineControl& lc) {
    return static_cast<std::uint8_t>((lc.wordLength - 5) | (lc.stopBits != 0 ? 0x04 : 0x00) |
                                     kParityBits[lc.parity]);
}

LineControl DecodeLineControl(std::uint8_t byte) {
    LineControl lc;
    lc.wordLength = static_cast<std::uint8_t>((byte & 0x03) + 5);
    lc.stopBits = (byte & 0x04) == 0 ? 0 : (lc.wordLength == 5 ? 1 : 2);
    switch (byte & 0x38) {
        case 0x08:
            lc.parity = 1;
            break;
        case 0x18:
            lc.parity = 2;
            break;
        case 0x28:
            lc.parity = 3;
            break;
        case 0x38:
            lc.parity = 4;
            break;
        default:
            lc.parity = 0;
            break;
    }
    return lc;
}

NTSTATUS SetLineControl(UsbDevice& dev, const LineControl& lc) {
    LineGuard line(dev);
    LineCoding coding;
    std::uint8_t byte = 0;
    {
        SpinLockGuard lock(dev.controlLock);
        coding = dev.chip.lineCoding;
        if (dev.policy.validateLineControl) {
            if (!LineControlValid(lc)) return STATUS_INVALID_PARAMETER;
            byte = EncodeLineControl(lc);
            if (byte == dev.chip.lineControl) return STATUS_SUCCESS;
        }
    }
    if (dev.policy.validateLineControl) {
        const LineControl sent = DecodeLineControl(byte);
        coding.stopBits = sent.stopBits;
        coding.parity = sent.parity;
        coding.dataBits = sent.wordLength;
    } else {
        coding.stopBits = lc.stopBits;
        coding.parity = lc.parity;
        coding.dataBits = lc.wordLength;
    }
    const NTSTATUS status = USB2SER_SetLineCoding(dev, coding);
    if (!NT_SUCCESS(status)) return status;
    SpinLockGuard lock(dev.controlLock);
    dev.chip.lineCoding = coding;
    if (dev.policy.validateLineControl) {
        dev.chip.lineControl = byte;
        dev.chip.receiveMask = kReceiveMasks[lc.wordLength - 5];
    }
    return status;
}

// --- Modem lines and break -----------------------------------------------------------------------

namespace {
NTSTATUS SetModemLine(UsbDevice& dev, std::uint16_t bit, bool on) {
    const bool raised = KeGetCurrentIrql() != Irql::Passive;
    if (raised && !dev.policy.asyncLinesAbovePassive) return STATUS_UNSUCCESSFUL;
    LineGuard line(dev);
    std::uint16_t word;
    {
        SpinLockGuard lock(dev.controlLock);
        dev.chip.lineState =
            static_cast<std::uint16_t>(on ? dev.chip.lineState | bit : dev.chip.lineState & ~bit);
        word = dev.chip.lineState;
    }
    return USB2SER_SendCtrlState(dev, word, raised);
}
}  // namespace

NTSTATUS USB2SER_SetDTRState(UsbDevice& dev, bool on) {
    return SetModemLine(dev, 0x01, on);
}

NTSTATUS USB2SER_SetRTSState(UsbDevice& dev, bool on) {
    return SetModemLine(dev, 0x02, on);
}

NTSTATUS SetBreak(UsbDevice& dev, bool on) {
    const NTSTATUS status = USB2SER_SendBreak(dev, on, dev.policy.asyncBreak);
    if (NT_SUCCESS(status)) {
        SpinLockGuard lock(dev.controlLock);
        dev.chip.breakOn = on;
    }
    return status;
}

// --- Flow-control registers --------------------------------------------------------------------

namespace {
// A read-modify-write of registers 0 and (optionally) 1: both are read (refreshing the shadow),
// then register 1 is written when it changes, then register 0. A failed read stops it: nothing
// is written from a value the chip did not give.
struct RegisterEdit {
    UsbDevice& dev;
    bool withR1;
    std::uint8_t r0 = 0;
    std::uint8_t r1 = 0;

    NTSTATUS Read() REQUIRES(dev.registerMutex) {
        NTSTATUS status = USB2SER_GetDCR_NoCOM(dev, 0);
        if (NT_SUCCESS(status) && withR1) status = USB2SER_GetDCR_NoCOM(dev, 1);
        if (!NT_SUCCESS(status)) return status;
        SpinLockGuard lock(dev.controlLock);
        r0 = dev.chip.shadow[0];
        r1 = dev.chip.shadow[1];
        return status;
    }

    NTSTATUS Write(int reg, std::uint8_t value, bool async = false) {
        {
            SpinLockGuard lock(dev.controlLock);
            dev.chip.shadow[static_cast<std::size_t>(reg)] = value;
        }
        return USB2SER_SetDCR(dev, reg, value, async);
    }

    NTSTATUS WriteBoth(std::optional<std::uint8_t> newR1, std::uint8_t newR0) {
        if (newR1) {
            const NTSTATUS status = Write(1, *newR1);
            if (!NT_SUCCESS(status)) return status;
        }
        return Write(0, newR0);
    }
};

struct Handshakes {
    bool cts, dsr, xonXoff;
};

Handshakes CurrentHandshakes(UsbDevice& dev) {
    SpinLockGuard lock(dev.controlLock);
    return {dev.chip.ctsHandshake, dev.chip.dsrHandshake, dev.chip.chipXonXoff};
}

// usbser2k: bits 6-7 of register 0 are one field for the chip's output flow: 0xC0 XON/XOFF,
// 0x40 an output handshake (CTS or DSR), 0 neither. Each of the three settings writes the field
// from what all three ask for after the change, so that switching one of them never switches
// another off in the chip (XON/XOFF off leaves a CTS handshake on; a CTS or DSR change leaves
// XON/XOFF on; with every output handshake off the field says so).
std::uint8_t WithFlowField(std::uint8_t r0, bool xonXoff, bool outputHandshake) {
    const int field = xonXoff ? 0xC0 : outputHandshake ? 0x40 : 0x00;
    return static_cast<std::uint8_t>((r0 & 0x3F) | field);
}

void Remember(UsbDevice& dev, bool ChipState::*flag, bool on) {
    SpinLockGuard lock(dev.controlLock);
    dev.chip.*flag = on;
}

// The new values of register 0 and, when given, register 1.
struct NewRegisters {
    std::optional<std::uint8_t> r1;
    std::uint8_t r0;
};

// One flow-control row: read the registers, write what `compute` makes of them (register 1
// first), and remember the setting once the chip has taken it.
template <class Compute>
NTSTATUS ApplyFlowRow(UsbDevice& dev, bool with_r1, bool ChipState::*flag, bool on,
                      Compute compute) {
    // Two read-modify-writes at once would each write back what the other had not yet changed.
    if (KeGetCurrentIrql() != Irql::Passive) return STATUS_UNSUCCESSFUL;
    KMutexGuard serialised(dev.registerMutex);
    RegisterEdit edit{dev, with_r1};
    NTSTATUS status = edit.Read();
    if (!NT_SUCCESS(status)) return status;
    const NewRegisters n = compute(edit);
    status = edit.WriteBoth(n.r1, n.r0);
    if (NT_SUCCESS(status)) Remember(dev, flag, on);
    return status;
}

std::uint8_t Byte(int v) {
    return static_cast<std::uint8_t>(v);
}
}  // namespace

NTSTATUS USB2SER_SetCTSState(UsbDevice& dev, bool on) {
    const bool variant3 = dev.chipVariant == 3;
    return ApplyFlowRow(dev, variant3, &ChipState::ctsHandshake, on, [&](const RegisterEdit& e) {
        if (!dev.ChipAtLeast(2))
            return NewRegisters{std::nullopt, Byte(on ? (e.r0 & 0x3F) | 0x40 : e.r0 & 0x3F)};
        return NewRegisters{variant3 ? std::optional(Byte(e.r1 & 0xF8)) : std::nullopt,
                            Byte(on ? e.r0 | 0x60 : e.r0 & 0x0F)};
    });
}

NTSTATUS USB2SER_SetDSRState(UsbDevice& dev, bool on) {
    if (!dev.ChipAtLeast(3)) return STATUS_NOT_SUPPORTED;
    return ApplyFlowRow(dev, true, &ChipState::dsrHandshake, on, [&](const RegisterEdit& e) {
        return NewRegisters{Byte(on ? (e.r1 & 0xF8) | 0x05 : e.r1 & 0xF8),
                            Byte(on ? (e.r0 & 0x33) | 0x48 : e.r0 & 0x33)};
    });
}

NTSTATUS USB2SER_SetCTSDSRState(UsbDevice& dev, bool on) {
    if (!dev.ChipAtLeast(3)) return USB2SER_SetCTSState(dev, on);
    return ApplyFlowRow(dev, true, &ChipState::ctsDsrHandshake, on, [&](const RegisterEdit& e) {
        return NewRegisters{Byte(on ? e.r1 | 0x07 : e.r1 & 0xF8),
                            Byte(on ? (e.r0 & 0xDA) | 0x1A : e.r0 & 0xC0)};
    });
}

NTSTATUS USB2SER_SetXonXoffState(UsbDevice& dev, bool on) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    RegisterEdit edit{dev, false};
    auto write = [&] {
        const auto r0 = static_cast<std::uint8_t>(on ? edit.r0 | 0xC0 : edit.r0 & 0x3F);
        const NTSTATUS status = edit.Write(0, r0, true);
        if (NT_SUCCESS(status)) Remember(dev, &ChipState::chipXonXoff, on);
        return status;
    };
    if (KeGetCurrentIrql() != Irql::Passive) {
        // No synchronous read above passive level: the shadow stands in for register 0.
        {
            SpinLockGuard lock(dev.controlLock);
            edit.r0 = dev.chip.shadow[0];
        }
        return write();
    }
    KMutexGuard serialised(dev.registerMutex);
    const NTSTATUS status = edit.Read();
    if (!NT_SUCCESS(status)) return status;
    return write();
}

NTSTATUS SetCtsHandshake(UsbDevice& dev, bool on) {
    const bool withR1 = dev.ChipAtLeast(3);
    return ApplyFlowRow(dev, withR1, &ChipState::ctsHandshake, on, [&](const RegisterEdit& e) {
        const Handshakes hs = CurrentHandshakes(dev);  // under the register mutex
        NewRegisters n{std::nullopt, Byte(e.r0 & 0x3F)};
        if (withR1) n.r1 = Byte(hs.dsr ? e.r1 | 0x07 : e.r1 & 0xF8);
        if (on) n.r0 = hs.dsr ? Byte((e.r0 & 0x03) | 0x58) : Byte((e.r0 & 0x3F) | 0x40);
        n.r0 = WithFlowField(n.r0, hs.xonXoff, on || hs.dsr);
        return n;
    });
}

NTSTATUS SetDsrHandshake(UsbDevice& dev, bool on) {
    if (!dev.ChipAtLeast(3)) return STATUS_NOT_SUPPORTED;
    return ApplyFlowRow(dev, true, &ChipState::dsrHandshake, on, [&](const RegisterEdit& e) {
        const Handshakes hs = CurrentHandshakes(dev);
        if (on)
            return NewRegisters{
                Byte((e.r1 & 0xF8) | (hs.cts ? 0x07 : 0x05)),
                WithFlowField(Byte(hs.cts ? (e.r0 & 0x03) | 0x58 : (e.r0 & 0x33) | 0x48),
                              hs.xonXoff, true)};
        return NewRegisters{(e.r1 & 0x04) ? std::optional(Byte(e.r1 & 0xFC)) : std::nullopt,
                            WithFlowField(Byte(e.r0 & 0xF3), hs.xonXoff, hs.cts)};
    });
}

NTSTATUS SetRtsHandshake(UsbDevice& dev, bool on) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    const Handshakes hs = CurrentHandshakes(dev);
    const bool withR1 = dev.ChipAtLeast(3);
    return ApplyFlowRow(dev, withR1, &ChipState::rtsHandshake, on, [&](const RegisterEdit& e) {
        return NewRegisters{
            withR1 ? std::optional(Byte(hs.dsr ? e.r1 | 0x07 : e.r1 & 0xF8)) : std::nullopt,
            Byte(on ? (e.r0 & 0xEF) | 0x20 : e.r0 & 0xCF)};
    });
}

NTSTATUS SetChipXonXoff(UsbDevice& dev, bool on) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return ApplyFlowRow(dev, false, &ChipState::chipXonXoff, on, [&](const RegisterEdit& e) {
        const Handshakes hs = CurrentHandshakes(dev);
        return NewRegisters{std::nullopt, WithFlowField(e.r0, on, hs.cts || hs.dsr)};
    });
}

}  // namespace vm::drv
