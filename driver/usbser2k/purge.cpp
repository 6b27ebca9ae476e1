// Purge: the queues and the receive ring emptied on request.
#include "driver/usbser2k/serial_private.h"

namespace vm::drv::usbser2k {

void Purge(Device& dev, std::uint32_t mask) {
    SerialState& s = dev.serial;
    Done done;
    {
        CancelLock lock(dev.kernel);
        if (mask & SERIAL_PURGE_TXABORT) {
            AbortQueue(dev, s.writeQueue, done);
            BeginEnd(dev, s.xoffCounterQueue, STATUS_CANCELLED, done);
        }
        if (mask & SERIAL_PURGE_RXABORT) AbortQueue(dev, s.readQueue, done);
    }
    Settle(dev, done);
    if (mask & SERIAL_PURGE_RXCLEAR) {
        Release release;
        {
            SpinLockGuard rx(dev.serial.receiveLock);
            dev.receiveCount = 0;
            dev.receiveFirst = 0;
            ReleaseReceiveHolds(dev, release);
        }
        ApplyRelease(dev, release);
    }
}

}  // namespace vm::drv::usbser2k
