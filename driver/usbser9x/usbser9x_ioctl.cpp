// usbser9x's device-control codes: the port driver's requests that are not calls of its
// interface (port state, lines, capture, power, the private codes).
#include <cstring>

#include "driver/core/private_ioctl.h"
#include "driver/usbser9x/usbser9x.h"
#include "driver/usbser9x/usbser9x_private.h"

namespace vm::drv::usbser9x {

NTSTATUS ProcessIoctl(Device& dev, std::uint32_t code, std::uint8_t* buffer,
                      std::uint32_t inputLength, std::uint32_t outputLength,
                      std::uintptr_t& information) {
    information = 0;
    auto needIn = [&](std::uint32_t n) { return buffer && inputLength >= n; };
    switch (code) {
        case ioctl::kSetBaudRate:
        case ioctl::kSetLineControl: {
            const bool rate = code == ioctl::kSetBaudRate;
            if (!needIn(rate ? 4 : 3)) return STATUS_BUFFER_TOO_SMALL;
            if (!AtPassive()) return STATUS_UNSUCCESSFUL;
            std::array<std::uint8_t, kDcbSize> block;
            {
                KMutexGuard serialised(dev.stateMutex);
                block = dev.keptBlock;
            }
            if (rate) {
                std::memcpy(block.data() + kDcbBaudRate, buffer, 4);
            } else {
                block[kDcbStopBits] = buffer[0];
                block[kDcbParity] = buffer[1];
                block[kDcbByteSize] = buffer[2];
            }
            return ApplyState(dev, block.data(), rate ? 2 : 1) ? STATUS_SUCCESS
                                                               : STATUS_INVALID_PARAMETER;
        }
        case ioctl::kSetDtr:
        case ioctl::kClrDtr:
            RecordD0(dev);
            return USB2SER_SetDTRState(dev.usb, code == ioctl::kSetDtr);
        case ioctl::kSetRts:
        case ioctl::kClrRts:
            RecordD0(dev);
            return USB2SER_SetRTSState(dev.usb, code == ioctl::kSetRts);
        case ioctl::kPurge: {
            SpinLockGuard lock(dev.captureLock);
            dev.captureLength = 0;
            dev.captureOn = true;
            return STATUS_SUCCESS;
        }
        case ioctl::kGetModemStatus:
            if (!buffer || outputLength < 4) return STATUS_BUFFER_TOO_SMALL;
            Write32(buffer, dev.lastStatus.load());
            information = 4;
            return STATUS_SUCCESS;
        case ioctl::kOpenPort: {
            {
                SpinLockGuard lock(dev.captureLock);
                dev.captureOn = true;
            }
            if (LookupPort(*dev.globals, dev.comNumber.load()) != &dev) {
                return STATUS_INVALID_PARAMETER;
            }
            dev.portOpen.store(true);
            dev.readingEnabled.store(true);
            StartStandingTransfers(dev);
            return STATUS_SUCCESS;
        }
        case ioctl::kClosePort:
            dev.portOpen.store(false);
            StopStandingTransfers(dev);
            dev.kernel.Wait(dev.usb.dataIoCount.IdleEvent(), kTwoSeconds);
            dev.kernel.Wait(dev.usb.controlIoCount.ZeroEvent(), kTwoSeconds);
            // No device state 5 exists: D3 is what an idle port is in.
            dev.devicePowerState.store(PowerDeviceD3);
            return STATUS_SUCCESS;
        case ioctl::kNothing:
            return STATUS_SUCCESS;
        case ioctl::kTakeCapture: {
            SpinLockGuard lock(dev.captureLock);
            const std::size_t n =
                buffer ? std::min<std::size_t>(dev.captureLength, outputLength) : 0;
            if (n) std::memcpy(buffer, dev.capture.data(), n);
            information = n;
            dev.captureLength = 0;
            dev.captureOn = false;
            return STATUS_SUCCESS;
        }
        case ioctl::kSetPortNumber: {
            if (!needIn(1)) return STATUS_BUFFER_TOO_SMALL;
            if (buffer[0] == 0) return STATUS_INVALID_PARAMETER;
            EnterPortTable(dev, buffer[0], false);
            return STATUS_SUCCESS;
        }
        case ioctl::kGetDevNode:
            if (!buffer || outputLength < 4) return STATUS_BUFFER_TOO_SMALL;
            Write32(buffer, dev.devNode);
            information = 4;
            return STATUS_SUCCESS;
        default:
            if (USB2SER_IsPrivateIoctl(dev.usb.policy, code)) {
                return USB2SER_ProcessPrivateIoctl(dev.usb, code, buffer, inputLength, outputLength,
                                                   information);
            }
            return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace vm::drv::usbser9x
