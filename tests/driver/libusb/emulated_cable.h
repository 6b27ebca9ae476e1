// Cables emulated with umockdev: each is a USB device node whose usbdevfs requests the chip
// model answers (control setup packets, bulk OUT data, bulk and interrupt IN reads), so that
// libusb in this process drives it as it would drive a real cable. Needs the process to run
// under umockdev-wrapper.
//
// The chip's serial side can be a terminal device (a simulated radio's pseudo-terminal): what
// the chip transmits is written there, what is read from there is received.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "driver/sim/sim_chip.h"

namespace vm::testing {

class EmulatedCable {
public:
    // Sets up the testbed. `ok()` is false (and `error()` says why) outside umockdev-wrapper.
    EmulatedCable();
    ~EmulatedCable();
    EmulatedCable(const EmulatedCable&) = delete;
    EmulatedCable& operator=(const EmulatedCable&) = delete;
    bool ok() const;
    const std::string& error() const;

    // Plugs a cable of the variant in at bus 1 with the device address; returns its number
    // (from 0), or -1 when it could not be added.
    int Plug(int variant, int address);
    // Pulls the cable out: its device goes away and every request fails from then on.
    // `announce`: udev is told (a "remove" event) as well.
    void Unplug(int cable, bool announce = false);
    // Takes the pulled cable's device away (its node, its sysfs entry; udev hears "remove"), so
    // that a cable can be plugged in at its place again. Call it once nothing has the node open
    // (a handle kept open would wait on the emulation forever).
    void Remove(int cable);
    // Called with the bytes of every bulk OUT transfer (on the emulation's thread, no lock
    // held): a test can act on what the host sends. Set it before the host starts.
    using TransmitHook = std::function<void(std::span<const std::uint8_t> bytes)>;
    void OnTransmit(int cable, TransmitHook hook);

    // The requests the chip has seen, in order (control requests from setup packets, bulk and
    // interrupt transfers by endpoint).
    std::vector<sim::WireRecord> Log(int cable) const;
    std::vector<std::string> ControlLog(int cable) const;
    std::vector<std::uint8_t> Transmitted(int cable) const;
    void InjectReceive(int cable, const std::vector<std::uint8_t>& bytes);
    // The chip's serial side on a terminal device; false when it cannot be opened.
    bool ConnectLine(int cable, const std::string& device);

    // What a thread does after a reap that found nothing done: it pauses 500 us, so that libusb,
    // which reaps again at once while a transfer is pending (the emulated node always reads as
    // ready), does not take a whole core. The pause is taken outside the node's turn: requests
    // from other threads go through meanwhile. A test can put its own pause there (an empty
    // function: the default again).
    static void SetIdlePause(std::function<void()> pause);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vm::testing
