// Chip set-up and line control: register initialisation, the rate table and its snapping, the
// extended-rate table, baud rate, line control, modem-control lines, break and the
// flow-control register settings of both drivers.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "driver/core/usb_transport.h"

namespace vm::drv {

struct RatePair {
    std::uint32_t rate;
    std::uint32_t divisor;
};

// 35 pairs, descending, ending with (0, 0).
inline constexpr std::array<RatePair, 35> kRateTable = {{
    {6000000, 0x80000040}, {3000000, 0x80000080}, {2457600, 0x8000009C}, {1228800, 0x8000024E},
    {921600, 0x80000268},  {812500, 0x80000276},  {806400, 0x80000277},  {614400, 0x8000029C},
    {460800, 0x800002D0},  {406250, 0x800002EC},  {403200, 0x800002EE},  {268800, 0x80000459},
    {230400, 0x80000468},  {201600, 0x80000477},  {161280, 0x80000494},  {134400, 0x800004B2},
    {128000, 0x800004BB},  {115200, 0x800004D0},  {57600, 0x80000668},   {38400, 0x8000069C},
    {28800, 0x800006D0},   {19200, 0x8000084E},   {14400, 0x80000868},   {9600, 0x8000089C},
    {7200, 0x800008D0},    {4800, 0x80000A4E},    {3600, 0x80000A68},    {2400, 0x80000A9C},
    {1800, 0x80000AD0},    {1200, 0x80000C4E},    {600, 0x80000C9C},     {300, 0x80000E4E},
    {150, 0x80000E9C},     {75, 0x80000F38},      {0, 0x00000000},
}};

// Snaps `rate` to the rate table: an exact rate is kept; otherwise the nearer of the two table
// rates around it, an exact midpoint going to the lower. Replaces the rate; returns the index.
void USB2SER_FindAvailBaudRate(std::uint32_t& rate, int& index);

// Up to 10 (rate, divisor word) pairs given as text: "rate,word rate,word ...".
struct ExtendedRateTable {
    static constexpr std::size_t kCapacity = 10;
    static constexpr std::size_t kFieldScan = 21;  // characters searched for a separator
    std::array<RatePair, kCapacity> pairs{};
    std::size_t count = 0;

    // Replaces the table with the pairs of the text. Parsing stops at the end of the text, after
    // 10 pairs, or at a field that has no separator within 21 characters or is not a decimal
    // number of 32 bits; the pairs complete so far stay.
    void Load(std::string_view text);
};

bool USB2SER_FindAvailExtBaudRate(const ExtendedRateTable& table, std::uint32_t rate, int& index);

// Register initialisation: registers 0, 1, 2 = 0x01, 0x00, 0x24 (variants 0 and 1) or 0x44.
NTSTATUS USB2SER_InitHW(UsbDevice& dev);

// The start's chip set-up: the register initialisation, skipped when the chip's EEPROM holds
// its own configuration (USB2SER_IsEEPROM3A71). `initialised` tells whether it ran.
NTSTATUS InitializeChip(UsbDevice& dev, bool* initialised = nullptr);

// Sets the baud rate: the rate word is the snapped rate on variants 0 and 1; on variants 2 and
// above an extended-table entry's word, else the snapped rate up to 115200 and the table's
// divisor word above. Passive level only.
NTSTATUS SetBaudRate(UsbDevice& dev, std::uint32_t rate);

// Serial line control values: StopBits 0 one, 1 one and a half, 2 two; Parity 0 none, 1 odd,
// 2 even, 3 mark, 4 space; WordLength 5-8.
struct LineControl {
    std::uint8_t stopBits = 0;
    std::uint8_t parity = 0;
    std::uint8_t wordLength = 8;
    bool operator==(const LineControl&) const = default;
};

// usbser2k's line-control byte and back.
std::uint8_t EncodeLineControl(const LineControl& lc);
LineControl DecodeLineControl(std::uint8_t byte);
bool LineControlValid(const LineControl& lc);

NTSTATUS SetLineControl(UsbDevice& dev, const LineControl& lc);

// Modem-control lines: change bit 0 (DTR) or bit 1 (RTS) and send the whole line-state word.
NTSTATUS USB2SER_SetDTRState(UsbDevice& dev, bool on);
NTSTATUS USB2SER_SetRTSState(UsbDevice& dev, bool on);

NTSTATUS SetBreak(UsbDevice& dev, bool on);

// Flow-control register settings, usbser9x.
NTSTATUS USB2SER_SetCTSState(UsbDevice& dev, bool on);
NTSTATUS USB2SER_SetDSRState(UsbDevice& dev, bool on);
NTSTATUS USB2SER_SetCTSDSRState(UsbDevice& dev, bool on);
NTSTATUS USB2SER_SetXonXoffState(UsbDevice& dev, bool on);

// Flow-control register settings, usbser2k.
NTSTATUS SetCtsHandshake(UsbDevice& dev, bool on);
NTSTATUS SetDsrHandshake(UsbDevice& dev, bool on);
NTSTATUS SetRtsHandshake(UsbDevice& dev, bool on);
NTSTATUS SetChipXonXoff(UsbDevice& dev, bool on);

// Re-sends the kept line coding.
NTSTATUS USB2SER_RestoreState(UsbDevice& dev);

}  // namespace vm::drv
