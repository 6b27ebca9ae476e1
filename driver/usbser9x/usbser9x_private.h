// What usbser9x.cpp and usbser9x_ioctl.cpp share: the helpers of the port state, the port
// table and the standing transfers. Private to the driver.
#pragma once

#include <cstdint>

#include "driver/usbser9x/usbser9x.h"

namespace vm::drv::usbser9x {

// How long a close or a power change waits for transfers in flight to end.
inline constexpr TimeUnits kTwoSeconds = 2 * kSecond;

void Write32(std::uint8_t* p, std::uint32_t v);
void RecordD0(Device& dev);
// Cancels the status and receive transfers once no completion is about to resubmit one.
void StopStandingTransfers(Device& dev);
// Enters the device for a COM number; `onlyIfFree` leaves an entry another device holds.
bool EnterPortTable(Device& dev, std::int32_t number, bool onlyIfFree);
bool AtPassive();
// Applies a device control block as a change of kind 2 (rate), 1 (line) or another (the kept
// coding sent again). Passive level.
bool ApplyState(Device& dev, std::uint8_t* block, std::uint32_t kind);

}  // namespace vm::drv::usbser9x
