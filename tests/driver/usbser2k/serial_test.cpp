// usbser2k's serial requests through an application's handle: control codes and their buffers,
// reads and writes with their time-outs on the driven clock, events, purge, cleanup, close,
// status notifications and flow control, against the simulated chip.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>

#include "tests/driver/usbser2k/serial_rig.h"

namespace vm::drv::usbser2k::testing {
namespace {

using sim::WireRecord;

bool IsBulkOut(const WireRecord& r) {
    return r.kind == WireRecord::Kind::BulkOut;
}

std::vector<std::vector<std::uint8_t>> BulkOuts(const sim::SimChip& chip) {
    std::vector<std::vector<std::uint8_t>> out;
    for (const WireRecord& r : chip.Log()) {
        if (IsBulkOut(r)) out.push_back(r.data);
    }
    return out;
}

TEST(Usbser2kSerial, LoopbackWriteThenRead) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    rig.chip.SetLoopback(true);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{38400}), STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 100), STATUS_SUCCESS);
    std::uint32_t put = 0;
    EXPECT_EQ(rig.Drive([&] { return rig.file->Write("hello", 5, &put); }), STATUS_SUCCESS);
    EXPECT_EQ(put, 5u);
    std::uint8_t buf[5] = {};
    std::uint32_t got = 0;
    EXPECT_EQ(rig.Drive([&] { return rig.file->Read(buf, 5, &got); }), STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), got), "hello");
    SerialStatistics stats{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_STATS, &stats), STATUS_SUCCESS);
    EXPECT_EQ(stats.ReceivedCount, 5u);
    EXPECT_EQ(stats.TransmittedCount, 5u);
}

// Every control code with a buffer one byte short of what it needs is refused and sends
// nothing; the records returned with an exact buffer carry no byte the driver did not write.
TEST(Usbser2kSerial, EveryControlCodeChecksItsBufferLengths) {
    struct Code {
        std::uint32_t code;
        std::uint32_t in;
        std::uint32_t out;
    };
    const Code codes[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},     {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},  {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},     {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
        {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},     {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},      {IOCTL_SERIAL_PURGE, 4, 0},
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},     {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
        {IOCTL_SERIAL_GET_CHARS, 0, 6},         {IOCTL_SERIAL_SET_CHARS, 6, 0},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},     {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},   {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
        {IOCTL_SERIAL_XOFF_COUNTER, 12, 0},     {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
        {IOCTL_SERIAL_GET_DTRRTS, 0, 4},        {IOCTL_SERIAL_LSRMST_INSERT, 1, 0},
        {IOCTL_SERIAL_CONFIG_SIZE, 0, 4},       {IOCTL_SERIAL_GET_STATS, 0, 24},
        {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4}, {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0},
        {IOCTL_SERIAL_SET_FIFO_CONTROL, 4, 0},
    };
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    for (const Code& c : codes) {
        SCOPED_TRACE(c.code);
        std::vector<std::uint8_t> in(64, 0), out(64, 0xEE);
        rig.chip.ClearLog();
        const std::uint32_t shortIn = c.in ? c.in - 1 : 0;
        const std::uint32_t shortOut = c.out ? c.out - 1 : 0;
        EXPECT_EQ(rig.Drive([&] {
            return rig.file->DeviceIoControl(c.code, in.data(), shortIn, out.data(), shortOut);
        }),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_TRUE(rig.chip.Log().empty());
        if (c.in == 0) {
            std::uint32_t returned = 0;
            EXPECT_EQ(rig.Drive([&] {
                return rig.file->DeviceIoControl(c.code, nullptr, 0, out.data(), c.out, &returned);
            }),
                      c.code == IOCTL_SERIAL_WAIT_ON_MASK ? STATUS_INVALID_PARAMETER
                                                          : STATUS_SUCCESS);
            if (c.code == IOCTL_SERIAL_WAIT_ON_MASK) continue;
            EXPECT_EQ(returned, c.out);
            EXPECT_TRUE(std::none_of(out.begin(), out.begin() + c.out,
                                     [](std::uint8_t b) { return b == 0xA5; }));
        }
    }
    // Unknown codes and the file information records, too.
    EXPECT_EQ(rig.Do(0x1B0FFC), STATUS_INVALID_PARAMETER);
    std::uint8_t record[24];
    std::uint32_t returned = 0;
    EXPECT_EQ(
        rig.Drive([&] { return rig.file->QueryInformation(FileStandardInformation, record, 23); }),
        STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(rig.Drive([&] {
        return rig.file->QueryInformation(FileStandardInformation, record, 24, &returned);
    }),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 24u);
    EXPECT_TRUE(std::all_of(record, record + 24, [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(
        rig.Drive([&] { return rig.file->QueryInformation(FilePositionInformation, record, 7); }),
        STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(
        rig.Drive([&] { return rig.file->QueryInformation(FileBasicInformation, record, 24); }),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(
        rig.Drive([&] { return rig.file->SetInformation(FileEndOfFileInformation, record, 8); }),
        STATUS_SUCCESS);
    EXPECT_EQ(rig.Drive([&] { return rig.file->SetInformation(FileBasicInformation, record, 8); }),
              STATUS_INVALID_PARAMETER);
}

TEST(Usbser2kSerial, SettingsAreValidatedAndKept) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    // Second open of the port.
    std::unique_ptr<host::HostFile> second;
    EXPECT_EQ(
        rig.Drive([&] { return host::HostFile::Open(rig.kernel, "\\DosDevices\\COM5", &second); }),
        STATUS_ACCESS_DENIED);

    EXPECT_EQ(rig.SetTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.SetTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 500, 1, 2), STATUS_SUCCESS);
    SerialTimeouts t{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_TIMEOUTS, &t), STATUS_SUCCESS);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 500u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 2u);

    EXPECT_EQ(rig.Set(IOCTL_SERIAL_SET_WAIT_MASK, std::uint32_t{0x2000}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_SET_WAIT_MASK, std::uint32_t{0x1FFF}), STATUS_SUCCESS);
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_PURGE, std::uint32_t{0}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_PURGE, std::uint32_t{0x10}), STATUS_INVALID_PARAMETER);

    SerialHandflow hf{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_HANDFLOW, &hf), STATUS_SUCCESS);
    EXPECT_EQ(hf.XonLimit, 512);  // half of the 1024-byte buffer
    EXPECT_EQ(hf.XoffLimit, 128);
    SerialHandflow tooLarge = hf;
    tooLarge.XoffLimit = 1025;
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_SET_HANDFLOW, tooLarge), STATUS_INVALID_PARAMETER);
    SerialHandflow bothDtr = hf;
    bothDtr.ControlHandShake = SERIAL_DTR_MASK;
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_SET_HANDFLOW, bothDtr), STATUS_INVALID_PARAMETER);
    SerialHandflow dtrHandshake = hf;
    dtrHandshake.ControlHandShake = SERIAL_DTR_HANDSHAKE;
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_SET_HANDFLOW, dtrHandshake), STATUS_SUCCESS);
    EXPECT_EQ(rig.Do(IOCTL_SERIAL_SET_DTR), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Do(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);

    // The escape character cannot be a flow character, nor the other way round.
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_LSRMST_INSERT, std::uint8_t{0x11}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_LSRMST_INSERT, std::uint8_t{0x7E}), STATUS_SUCCESS);
    SerialChars chars{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_CHARS, &chars), STATUS_SUCCESS);
    EXPECT_EQ(chars.XonChar, 0x11);
    chars.XoffChar = 0x7E;
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_INVALID_PARAMETER);

    // Rate and line control reach the chip and read back.
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{38400}), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_LINE_CONTROL, SerialLineControlRecord{0, 0, 8}),
              STATUS_SUCCESS);
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_SET_LINE_CONTROL, SerialLineControlRecord{0, 0, 9}),
              STATUS_INVALID_PARAMETER);
    std::uint32_t rate = 0;
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_BAUD_RATE, &rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 38400u);
    SerialLineControlRecord lc{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_LINE_CONTROL, &lc), STATUS_SUCCESS);
    EXPECT_EQ(lc.WordLength, 8);
    const auto coding = rig.chip.LineCodingBytes();
    EXPECT_EQ(coding[6], 8);  // data bits on the wire

    SerialCommProp props{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_PROPERTIES, &props), STATUS_SUCCESS);
    EXPECT_EQ(props.PacketLength, 64);
    EXPECT_EQ(props.SettableBaud, kSupportedRates);
    EXPECT_EQ(props.CurrentRxQueue, 1024u);

    // A larger queue keeps what is buffered; an absurd one is refused.
    rig.Inject("abc");
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SerialQueueSize{0xFFFFFFFF, 0}),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SerialQueueSize{4096, 0}), STATUS_SUCCESS);
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_PROPERTIES, &props), STATUS_SUCCESS);
    EXPECT_EQ(props.CurrentRxQueue, 4096u);
    SerialStatus status{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.AmountInInQueue, 3u);
}

TEST(Usbser2kSerial, TimeoutArithmeticSaturates) {
    EXPECT_EQ(TotalTimeout(10, 1, 100), 110 * kMillisecond);
    EXPECT_EQ(TotalTimeout(1u << 20, 0xFFFFFFFE, 0), kNeverTimeout);
    EXPECT_EQ(TotalTimeout(0xFFFFFFFFull, 0xFFFFFFFF, 0xFFFFFFFF), kNeverTimeout);
    EXPECT_EQ(TotalTimeout(1, 0xFFFFFFFF, 1), (0xFFFFFFFFll + 1) * kMillisecond);
    EXPECT_EQ(BitTimes(9600, 1280), 1'333'333);
    EXPECT_EQ(BitTimes(0, 1280), 1'333'333);  // no rate yet: 9600
    EXPECT_EQ(BitTimes(75, 1280), 170'666'666);
    EXPECT_EQ(CharacterTime(9600, 0x1A), 1042 * 10);  // 7E1: 7 + 1 + 2
    EXPECT_EQ(CharacterTime(0, 0x1A), 1042 * 10);
}

// Read time-outs, each checked at its exact virtual time.
TEST(Usbser2kSerial, ReadTimeoutsOnTheDrivenClock) {
    {
        SCOPED_TRACE("total: 10 bytes at 1 ms each plus 100 ms");
        SerialRig rig;
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetTimeouts(0, 1, 100), STATUS_SUCCESS);
        auto read = rig.StartRead(10);
        rig.UntilPending();
        rig.Inject("abc");
        rig.kernel.Advance(110 * kMillisecond - 1);
        EXPECT_TRUE(StillPending(read));
        rig.kernel.Advance(1);
        const auto r = read.get();
        EXPECT_EQ(r.status, STATUS_TIMEOUT);
        EXPECT_EQ(r.data, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
    }
    {
        SCOPED_TRACE("interval of 50 ms after the first byte");
        SerialRig rig;
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetTimeouts(50, 0, 0), STATUS_SUCCESS);
        auto read = rig.StartRead(10);
        rig.UntilPending();
        rig.kernel.Advance(500 * kMillisecond);  // no byte yet: no interval limit
        EXPECT_TRUE(StillPending(read));
        rig.Inject("x");
        rig.kernel.Advance(50 * kMillisecond);
        EXPECT_TRUE(StillPending(read));
        rig.kernel.Advance(kMillisecond);
        const auto r = read.get();
        EXPECT_EQ(r.status, STATUS_TIMEOUT);
        EXPECT_EQ(r.data.size(), 1u);
    }
    {
        SCOPED_TRACE("any byte within 500 ms");
        SerialRig rig;
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 500), STATUS_SUCCESS);
        auto read = rig.StartRead(64);
        rig.UntilPending();
        rig.kernel.Advance(100 * kMillisecond);
        EXPECT_TRUE(StillPending(read));
        rig.Inject("q");
        const auto r = read.get();
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.data, std::vector<std::uint8_t>{'q'});
        auto empty = rig.StartRead(64);
        rig.UntilPending();
        rig.kernel.Advance(500 * kMillisecond - 1);
        EXPECT_TRUE(StillPending(empty));
        rig.kernel.Advance(1);
        const auto e = empty.get();
        EXPECT_EQ(e.status, STATUS_TIMEOUT);
        EXPECT_TRUE(e.data.empty());
    }
    {
        SCOPED_TRACE("return at once");
        SerialRig rig;
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetTimeouts(0xFFFFFFFF, 0, 0), STATUS_SUCCESS);
        const auto none = rig.StartRead(8).get();
        EXPECT_EQ(none.status, STATUS_SUCCESS);
        EXPECT_TRUE(none.data.empty());
        rig.Inject("12");
        const auto two = rig.StartRead(8).get();
        EXPECT_EQ(two.data.size(), 2u);
    }
    {
        SCOPED_TRACE("a 1 MiB read with a huge multiplier never times out");
        SerialRig rig;
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetTimeouts(0, 0xFFFFFFFE, 0), STATUS_SUCCESS);
        auto read = rig.StartRead(1u << 20);
        rig.UntilPending();
        rig.kernel.Advance(10 * 365 * 24 * 3600 * kSecond);
        EXPECT_TRUE(StillPending(read));
        rig.file->CancelIo();
        EXPECT_EQ(read.get().status, STATUS_CANCELLED);
    }
}

TEST(Usbser2kSerial, WriteTimeoutIsAtLeast100MsAndAFailedTransferEndsTheWrite) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 0, 0, 10), STATUS_SUCCESS);
    rig.chip.HangWhen(IsBulkOut);
    auto write = rig.Start([&] {
        std::uint32_t put = 0;
        return rig.file->Write("abcd", 4, &put);
    });
    rig.UntilPending();
    rig.kernel.Advance(100 * kMillisecond - 1);
    EXPECT_TRUE(StillPending(write));
    rig.kernel.Advance(1);
    EXPECT_EQ(write.get(), STATUS_TIMEOUT);

    // No write time-out: a transfer that fails ends the write with its status, and the next
    // write goes out.
    ASSERT_EQ(rig.SetTimeouts(0, 0, 0, 0, 0), STATUS_SUCCESS);
    rig.chip.StallWhen(IsBulkOut);
    std::uint32_t put = 7;
    EXPECT_FALSE(NT_SUCCESS(rig.Drive([&] { return rig.file->Write("efgh", 4, &put); })));
    EXPECT_EQ(put, 0u);
    EXPECT_EQ(rig.Drive([&] { return rig.file->Write("ijkl", 4, &put); }), STATUS_SUCCESS);
    EXPECT_EQ(put, 4u);
}

TEST(Usbser2kSerial, WritesGoOutInChunksNoLargerThanTheRuleAllows) {
    struct Case {
        std::uint32_t rate;
        std::uint32_t queue;  // receive buffer
        std::uint32_t length;
        std::size_t maxChunk;
    };
    for (const Case& c : {Case{9600, 1024, 1000, 256}, Case{9600, 1024, 3000, 256},
                          Case{115200, 8192, 10000, 4096}, Case{115200, 1024, 3000, 1024}}) {
        SCOPED_TRACE(c.rate);
        SerialRig rig(2);
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, c.rate), STATUS_SUCCESS);
        ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SerialQueueSize{c.queue, 0}),
                  STATUS_SUCCESS);
        std::vector<std::uint8_t> data(c.length);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
        std::uint32_t put = 0;
        ASSERT_EQ(rig.Drive([&] { return rig.file->Write(data.data(), c.length, &put); }),
                  STATUS_SUCCESS);
        EXPECT_EQ(put, c.length);
        std::vector<std::uint8_t> sent;
        std::size_t largest = 0;
        for (const auto& chunk : BulkOuts(rig.chip)) {
            largest = std::max(largest, chunk.size());
            sent.insert(sent.end(), chunk.begin(), chunk.end());
        }
        EXPECT_EQ(largest, c.maxChunk);
        EXPECT_EQ(sent, data);
    }
}

TEST(Usbser2kSerial, WaitOnMaskSeesEventsAndIsSettledOnce) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    auto wait = [&] {
        return rig.Start([&] {
            std::uint32_t events = 0xFFFF;
            const NTSTATUS status =
                rig.file->DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4);
            return std::make_pair(status, events);
        });
    };
    // No mask: refused.
    EXPECT_EQ(wait().get().first, STATUS_INVALID_PARAMETER);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR | SERIAL_EV_CTS),
              STATUS_SUCCESS);
    auto first = wait();
    rig.UntilPending();
    // A second wait while one is pending is refused.
    EXPECT_EQ(wait().get().first, STATUS_INVALID_PARAMETER);
    rig.Inject("z");
    EXPECT_EQ(first.get(), std::make_pair(STATUS_SUCCESS, SERIAL_EV_RXCHAR));
    // A status change of CTS is an event; an event already in the history completes at once.
    rig.InjectStatus(0x80);
    EXPECT_EQ(wait().get(), std::make_pair(STATUS_SUCCESS, SERIAL_EV_CTS));
    // A new mask completes a pending wait with no events.
    auto pending = wait();
    rig.UntilPending();
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_DSR), STATUS_SUCCESS);
    EXPECT_EQ(pending.get(), std::make_pair(STATUS_SUCCESS, 0u));
    // Cancelled.
    auto cancelled = wait();
    rig.UntilPending();
    rig.file->CancelIo();
    EXPECT_EQ(cancelled.get().first, STATUS_CANCELLED);
}

TEST(Usbser2kSerial, PurgeAndCleanupCancelWhatIsPendingAndEmptyTheBuffer) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    auto read = rig.StartRead(16);
    rig.UntilPending();
    rig.Inject("abc");  // straight into the pending read
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
    const auto r = read.get();
    EXPECT_EQ(r.status, STATUS_CANCELLED);

    rig.Inject("defg");
    SerialStatus status{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.AmountInInQueue, 4u);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.AmountInInQueue, 0u);

    // A write held in the chip and a read behind nothing: cleanup cancels both; the close then
    // completes and the port opens again at once.
    rig.chip.HangWhen(IsBulkOut);
    auto write = rig.Start([&] {
        std::uint32_t put = 0;
        return rig.file->Write("xyz", 3, &put);
    });
    auto read2 = rig.StartRead(4);
    rig.kernel.WaitForBlockedWaiters(2);
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.AmountInOutQueue, 3u);
    auto close = rig.Start([&] { return rig.file->Close(); });
    while (!Ready(close)) {
        if (rig.kernel.BlockedWaiters() > 2) rig.kernel.Advance(kMillisecond);
        if (Ready(write) && Ready(read2)) break;
    }
    EXPECT_EQ(write.get(), STATUS_CANCELLED);
    EXPECT_EQ(read2.get().status, STATUS_CANCELLED);
    while (!Ready(close)) rig.kernel.Advance(kMillisecond);
    EXPECT_EQ(close.get(), STATUS_SUCCESS);
    rig.file.reset();
    EXPECT_EQ(rig.Open(), STATUS_SUCCESS);
}

// Close waits 10 character times and 1280 bit times at the rate in force (9600 before any is
// set), each at most a second, then gives the port back.
TEST(Usbser2kSerial, CloseWaitsLineTimesBeforeTheNextOpen) {
    struct Case {
        std::uint32_t rate;
        TimeUnits lineWaits;
    };
    for (const Case& c : {Case{0, 10 * 1042 * 10 + 1'333'333}, Case{75, 2 * kSecond}}) {
        SCOPED_TRACE(c.rate);
        SerialRig rig;
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        if (c.rate) {
            ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, c.rate), STATUS_SUCCESS);
        }
        const TimeUnits before = rig.kernel.Now();
        ASSERT_EQ(rig.Drive([&] { return rig.file->Close(); }), STATUS_SUCCESS);
        const TimeUnits took = rig.kernel.Now() - before;
        const TimeUnits expected = 30 * kMillisecond + c.lineWaits;
        // The rig moves the clock in 1 ms steps while something waits, and a waiter that has just
        // been released may still count as waiting for a step or two: a little over, never under.
        EXPECT_GE(took, expected);
        EXPECT_LE(took, expected + 20 * kMillisecond);
        rig.file.reset();
        EXPECT_EQ(rig.Open(), STATUS_SUCCESS);
        // The lines went down.
        EXPECT_EQ(rig.chip.ControlLineState() & 3, 3);  // raised again by the new open
    }
}

TEST(Usbser2kSerial, StatusNotificationsGiveModemStatusErrorsAndStatistics) {
    SerialRig rig(2);
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    rig.InjectStatus(0x80 | 0x02);  // CTS and DSR up
    std::uint32_t msr = 0;
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_MODEMSTATUS, &msr), STATUS_SUCCESS);
    EXPECT_EQ(msr, 0x10u | 0x20u | 0x01u | 0x02u);
    rig.InjectStatus(0x80 | 0x02 | 0x20 | 0x10);  // parity and framing error
    SerialStatus status{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.Errors, SERIAL_ERROR_PARITY | SERIAL_ERROR_FRAMING);
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.Errors, 0u);                 // read clears them
    rig.InjectStatus(0x80 | 0x02 | 0x04 | 0x20);  // break: parity ignored
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.Errors, SERIAL_ERROR_BREAK);
    SerialStatistics stats{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_STATS, &stats), STATUS_SUCCESS);
    EXPECT_EQ(stats.ParityErrorCount, 1u);
    EXPECT_EQ(stats.FrameErrorCount, 1u);
    ASSERT_EQ(rig.Do(IOCTL_SERIAL_CLEAR_STATS), STATUS_SUCCESS);
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_STATS, &stats), STATUS_SUCCESS);
    EXPECT_EQ(stats.ParityErrorCount, 0u);

    // With an escape character the line status is stored in the data: escape, 2, status.
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_LSRMST_INSERT, std::uint8_t{0xFF}), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    rig.InjectStatus(0x80 | 0x02 | 0x40);  // overrun
    ASSERT_EQ(rig.SetTimeouts(0xFFFFFFFF, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(rig.StartRead(8).get().data, (std::vector<std::uint8_t>{0xFF, 2, 0x02}));
}

TEST(Usbser2kSerial, ErrorAbortCancelsUntilTheStatusIsRead) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    SerialHandflow hf{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_HANDFLOW, &hf), STATUS_SUCCESS);
    hf.ControlHandShake |= SERIAL_ERROR_ABORT;
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_HANDFLOW, hf), STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    auto read = rig.StartRead(8);
    rig.UntilPending();
    rig.InjectStatus(0x10);  // framing error
    EXPECT_EQ(read.get().status, STATUS_CANCELLED);
    EXPECT_EQ(rig.StartRead(8).get().status, STATUS_CANCELLED);
    EXPECT_EQ(rig.Get(IOCTL_SERIAL_GET_HANDFLOW, &hf), STATUS_CANCELLED);
    SerialStatus status{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.Errors, SERIAL_ERROR_FRAMING);
    EXPECT_EQ(rig.Get(IOCTL_SERIAL_GET_HANDFLOW, &hf), STATUS_SUCCESS);
}

TEST(Usbser2kSerial, DtrHandshakeDropsDtrOnTheWireAtTheXoffPointAndRaisesItWhenDrained) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    SerialHandflow hf{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_HANDFLOW, &hf), STATUS_SUCCESS);
    hf.ControlHandShake = SERIAL_DTR_HANDSHAKE;
    hf.XoffLimit = 100;
    hf.XonLimit = 10;
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_HANDFLOW, hf), STATUS_SUCCESS);
    EXPECT_EQ(rig.chip.ControlLineState() & 1, 1);
    rig.Inject(std::string(1024 - 100 - 1, 'a'));
    rig.kernel.FlushWorkItems();
    EXPECT_EQ(rig.chip.ControlLineState() & 1, 1);  // one short of the point
    rig.Inject("b");
    rig.kernel.FlushWorkItems();
    EXPECT_EQ(rig.chip.ControlLineState() & 1, 0);
    ASSERT_EQ(rig.SetTimeouts(0xFFFFFFFF, 0, 0), STATUS_SUCCESS);
    std::vector<std::uint8_t> buf(1024 - 100 - 10);  // leaves XonLimit bytes
    std::uint32_t got = 0;
    ASSERT_EQ(rig.Drive([&] {
        return rig.file->Read(buf.data(), static_cast<std::uint32_t>(buf.size()), &got);
    }),
              STATUS_SUCCESS);
    rig.kernel.FlushWorkItems();
    EXPECT_EQ(rig.chip.ControlLineState() & 1, 1);
}

TEST(Usbser2kSerial, XoffFromThePeerHoldsTransmissionUntilXon) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.EditHandflow([](SerialHandflow& hf) { hf.FlowReplace |= SERIAL_AUTO_TRANSMIT; }),
              STATUS_SUCCESS);
    rig.Inject("\x13");
    rig.chip.ClearLog();
    auto write = rig.Start([&] {
        std::uint32_t put = 0;
        return rig.file->Write("held", 4, &put);
    });
    rig.UntilPending();
    EXPECT_TRUE(StillPending(write));
    EXPECT_TRUE(BulkOuts(rig.chip).empty());
    SerialStatus status{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.HoldReasons, SERIAL_TX_WAITING_FOR_XON);
    rig.Inject("\x11");
    EXPECT_EQ(write.get(), STATUS_SUCCESS);
    EXPECT_EQ(BulkOuts(rig.chip), (std::vector<std::vector<std::uint8_t>>{{'h', 'e', 'l', 'd'}}));
    // Neither flow character was stored.
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.AmountInInQueue, 0u);
}

// A hold the data path sets while a new handshake record is being applied (the record's chip
// requests take time) stays: applying the record does not put back the holds it started from.
TEST(Usbser2kSerial, AHoldSetWhileAHandshakeRecordIsAppliedIsKept) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.EditHandflow([](SerialHandflow& hf) { hf.FlowReplace |= SERIAL_AUTO_TRANSMIT; }),
              STATUS_SUCCESS);
    // The peer's XOFF arrives while the DTR change of the next record is on the wire.
    std::atomic<bool> fired{false};
    rig.chip.SetBeforeComplete([&](Irp*) {
        if (!fired.exchange(true)) rig.Inject("\x13");
    });
    ASSERT_EQ(rig.EditHandflow([](SerialHandflow& hf) { hf.ControlHandShake &= ~SERIAL_DTR_MASK; }),
              STATUS_SUCCESS);  // DTR off
    rig.chip.SetBeforeComplete({});
    ASSERT_TRUE(fired.load());
    EXPECT_EQ(rig.chip.ControlLineState() & 1, 0);
    SerialStatus status{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.HoldReasons, SERIAL_TX_WAITING_FOR_XON);
    // And it still goes with the XON.
    rig.Inject("\x11");
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.HoldReasons, 0u);
}

TEST(Usbser2kSerial, ImmediateCharacterAndXoffCounter) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    rig.chip.ClearLog();
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_IMMEDIATE_CHAR, std::uint8_t{'!'}), STATUS_SUCCESS);
    EXPECT_EQ(BulkOuts(rig.chip), (std::vector<std::vector<std::uint8_t>>{{'!'}}));
    // One held in the chip: a second is refused; cancelled, it completes as cancelled.
    rig.chip.HangWhen(IsBulkOut);
    auto held = rig.Start([&] {
        const std::uint8_t c = '?';
        return rig.file->DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, nullptr, 0);
    });
    rig.UntilPending();
    EXPECT_EQ(rig.Set(IOCTL_SERIAL_IMMEDIATE_CHAR, std::uint8_t{'#'}), STATUS_INVALID_PARAMETER);
    rig.file->CancelIo();
    EXPECT_EQ(held.get(), STATUS_CANCELLED);

    // The XOFF counter sends its character, then counts received bytes.
    auto counter = [&](std::uint32_t timeout, std::int32_t count) {
        return rig.Start([&, timeout, count] {
            std::uint8_t record[12] = {};
            const SerialXoffCounter x{timeout, count, 0x13};
            std::memcpy(record, &x, sizeof x);
            return rig.file->DeviceIoControl(IOCTL_SERIAL_XOFF_COUNTER, record, 12, nullptr, 0);
        });
    };
    EXPECT_EQ(counter(0, 0).get(), STATUS_INVALID_PARAMETER);
    rig.chip.ClearLog();
    auto three = counter(0, 3);
    rig.UntilPending();
    rig.Inject("ab");
    EXPECT_TRUE(StillPending(three));
    rig.Inject("c");
    EXPECT_EQ(three.get(), STATUS_SUCCESS);
    EXPECT_EQ(BulkOuts(rig.chip), (std::vector<std::vector<std::uint8_t>>{{0x13}}));
    // A write that follows ends it; a time-out (in milliseconds) ends it too.
    auto more = counter(0, 5);
    rig.UntilPending();
    std::uint32_t put = 0;
    EXPECT_EQ(rig.Drive([&] { return rig.file->Write("w", 1, &put); }), STATUS_SUCCESS);
    EXPECT_EQ(more.get(), STATUS_SERIAL_MORE_WRITES);
    auto timed = counter(40, 5);
    rig.UntilPending();
    rig.kernel.Advance(40 * kMillisecond - 1);
    EXPECT_TRUE(StillPending(timed));
    rig.kernel.Advance(1);
    EXPECT_EQ(timed.get(), STATUS_SERIAL_COUNTER_TIMEOUT);
}

// A read being filled by the receive path, cancelled and timed out at once, many times: each
// completes once and every byte is either delivered or still buffered.
TEST(Usbser2kSerial, ReadCompletionRacesKeepEveryByte) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    // Room for every byte of every round (5000 at most when no read takes any), so that what
    // is counted depends on the completion races alone, never on how full the buffer got.
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SerialQueueSize{8192, 0}), STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 2), STATUS_SUCCESS);
    std::size_t injected = 0, delivered = 0, givenUp = 0;
    for (int round = 0; round < 500; ++round) {
        auto read = rig.StartRead(8);
        std::thread feeder([&] { rig.Inject("0123456789"); });
        std::thread clock([&] { rig.kernel.Advance(2 * kMillisecond); });
        if (round % 2) rig.file->CancelIo();
        feeder.join();
        clock.join();
        while (!Ready(read)) {
            rig.file->CancelIo();
            std::this_thread::yield();
        }
        injected += 10;
        const auto r = read.get();
        // A read that had every byte succeeded, whoever ended it; a cancelled one gives up
        // what it had taken (fewer than its 8 bytes), as a failed read returns nothing.
        delivered += r.data.size();
        if (r.status == STATUS_CANCELLED) {
            EXPECT_EQ(r.reported, 0u);
            givenUp += 7;
        }
    }
    SerialStatus status{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    SerialStatistics stats{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_STATS, &stats), STATUS_SUCCESS);
    // A byte is delivered, still buffered, dropped on a full buffer (and counted) or given up
    // with a cancelled read; none appears twice.
    EXPECT_EQ(stats.BufferOverrunErrorCount, 0u);
    const std::size_t accounted =
        delivered + status.AmountInInQueue + stats.BufferOverrunErrorCount;
    EXPECT_LE(accounted, injected);
    EXPECT_LE(injected - accounted, givenUp);
    EXPECT_EQ(stats.ReceivedCount, injected);
}

}  // namespace
}  // namespace vm::drv::usbser2k::testing

namespace vm::drv::usbser2k::testing {
namespace {

// A flood of bytes while a reader takes them in small reads and the RTS handshake holds the
// receive transfer whenever the buffer fills: every byte arrives once, in order.
TEST(Usbser2kSerial, FloodArrivesInOrderUnderTheReceiveHandshake) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    SerialHandflow hf{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_HANDFLOW, &hf), STATUS_SUCCESS);
    hf.FlowReplace = (hf.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_RTS_HANDSHAKE;
    hf.XoffLimit = 64;
    hf.XonLimit = 256;
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SerialQueueSize{2048, 0}), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_HANDFLOW, hf), STATUS_SUCCESS);
    // 8 data bits: the default 7 would mask the top bit off.
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_LINE_CONTROL, SerialLineControlRecord{0, 0, 8}),
              STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    constexpr std::size_t kTotal = 1 << 20;
    std::thread injector([&] {
        std::vector<std::uint8_t> block(384);
        std::uint8_t next = 0;
        for (std::size_t sent = 0; sent < kTotal; sent += block.size()) {
            for (auto& b : block) b = next++;
            rig.chip.InjectReceive(std::span(block.data(), std::min(block.size(), kTotal - sent)));
        }
    });
    std::size_t received = 0;
    std::uint8_t expect = 0;
    bool inOrder = true;
    std::vector<std::uint8_t> buffer(700);
    while (received < kTotal) {
        std::uint32_t got = 0;
        const auto want = static_cast<std::uint32_t>(std::min(buffer.size(), kTotal - received));
        ASSERT_EQ(rig.file->Read(buffer.data(), want, &got), STATUS_SUCCESS);
        for (std::uint32_t i = 0; i < got; ++i) {
            if (inOrder && buffer[i] != expect) {
                ADD_FAILURE() << "byte " << received + i << " is " << int(buffer[i]) << " not "
                              << int(expect) << " (read of " << got << ")";
                inOrder = false;
            }
            ++expect;
        }
        received += got;
    }
    injector.join();
    EXPECT_TRUE(inOrder);
    SerialStatistics stats{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_STATS, &stats), STATUS_SUCCESS);
    EXPECT_EQ(stats.BufferOverrunErrorCount, 0u);
    EXPECT_EQ(stats.ReceivedCount, kTotal);
}

}  // namespace
}  // namespace vm::drv::usbser2k::testing
