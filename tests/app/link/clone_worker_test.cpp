#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <future>
#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "tests/app/link/transfer_fixture.h"

namespace vm::testing {
namespace {

using Ranges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

bool InRanges(const Ranges& ranges, std::uint32_t a) {
    for (const auto& [from, to] : ranges)
        if (a >= from && a < to) return true;
    return false;
}

std::vector<std::uint32_t> BlockStarts(const TransferRangeTable& t) {
    std::vector<std::uint32_t> starts;
    for (std::size_t r = 0; r < t.count; ++r)
        for (std::uint32_t a = t.start[r]; a < t.end[r]; a += BlockLength(a, t.end[r]))
            starts.push_back(a);
    return starts;
}

// ---------------------------------------------------------------------------------------------
// Round trips

struct ReadCase {
    const char* name;
    TransferRangeTable table;
    Ranges ranges;
};

class ReadRoundTrip : public TransferTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadRoundTrip, ImageTakesTheRadioMemoryInTheRangesOnly) {
    const ReadCase& c = GetParam();
    StartRadio();
    const RadioImage before = *image_;
    ASSERT_EQ(Run(c.table), TransferOutcome::Done);
    EXPECT_TRUE(success_);
    for (std::uint32_t a = 0; a < kImageSize; ++a) {
        const std::uint8_t expected = InRanges(c.ranges, a) ? (*radio_memory_)[a] : before[a];
        ASSERT_EQ((*image_)[a], expected) << "at 0x" << std::hex << a;
    }
    const RadioRecord rec = radio_->record();
    // The probe, then every block of the table in order.
    std::vector<std::uint32_t> expected_reads{kProbeAddress};
    for (const auto a : BlockStarts(c.table)) expected_reads.push_back(a);
    EXPECT_EQ(rec.read_addresses, expected_reads);
    EXPECT_EQ(rec.end_markers, std::vector<std::string>{"ENDR"});
    EXPECT_EQ(rec.answered_wake_ups, 2);  // the handshake runs again after the probe
    EXPECT_EQ(rec.idents, 2);
    EXPECT_EQ(rec.blocks_written, 0);
    EXPECT_EQ(static_cast<int>(log_.percents.size()), CountBlocks(c.table));
    EXPECT_EQ(log_.percents.back(), "100%");
    EXPECT_TRUE(log_.messages.empty());
    EXPECT_EQ(log_.password_prompts, 0);
    EXPECT_EQ(log_.start_disabled, 1);
    EXPECT_EQ(log_.cancels_posted, 1);
    EXPECT_FALSE(log_.busy_when_closed);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, ReadRoundTrip,
    ::testing::Values(ReadCase{"Program", ProgramReadRanges(), {{0x0100, 0x10000}}},
                      ReadCase{"CustomData", CustomDataReadRanges(), {{0xFEE0, 0xFF00}}}),
    [](const auto& p) { return std::string(p.param.name); });

struct WriteCase {
    const char* name;
    TransferRangeTable table;
    Ranges ranges;
    int blocks;
};

class WriteRoundTrip : public TransferTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteRoundTrip, RadioTakesTheImageInTheRangesOnly) {
    const WriteCase& c = GetParam();
    StartRadio();
    const RadioImage image_before = *image_;
    ASSERT_EQ(Run(c.table), TransferOutcome::Done);
    EXPECT_TRUE(success_);
    EXPECT_EQ(*image_, image_before);
    const RadioImage radio = radio_->memory();
    const RadioRecord rec = radio_->record();
    for (std::uint32_t a = 0; a < kImageSize; ++a) {
        const bool in = InRanges(c.ranges, a);
        ASSERT_EQ(radio[a], in ? (*image_)[a] : (*radio_memory_)[a]) << "at 0x" << std::hex << a;
        ASSERT_EQ(rec.written.test(a), in) << "at 0x" << std::hex << a;
    }
    EXPECT_EQ(rec.blocks_written, c.blocks);
    EXPECT_EQ(rec.read_addresses, std::vector<std::uint32_t>{kProbeAddress});
    EXPECT_EQ(rec.end_markers, std::vector<std::string>{"ENDW"});
    EXPECT_EQ(static_cast<int>(log_.percents.size()), c.blocks);
    EXPECT_EQ(log_.percents.back(), "100%");
    EXPECT_TRUE(log_.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Tables, WriteRoundTrip,
    ::testing::Values(
        WriteCase{"Program", ProgramWriteRanges(false), {{0x0060, 0xF400}, {0xFF00, 0x10000}}, 490},
        WriteCase{"Service", ProgramWriteRanges(true), {{0x0060, 0xF400}, {0xFEE0, 0x10000}}, 491},
        WriteCase{"CustomData", CustomDataWriteRanges(), {{0xFEE0, 0xFF00}}, 1}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(TransferTest, ReadThenWriteGivesTheRadioBackItsOwnMemoryOutsideTheWrittenOnlyBytes) {
    StartRadio();
    const RadioImage file_bytes = *image_;
    ASSERT_EQ(Run(ProgramReadRanges()), TransferOutcome::Done);
    ASSERT_EQ(Run(ProgramWriteRanges(false)), TransferOutcome::Done);
    const RadioImage radio = radio_->memory();
    // 0x0060-0x00FF is never read back: the radio receives what the image held before.
    EXPECT_TRUE(SameRange(radio, file_bytes, 0x0060, 0x0100));
    EXPECT_TRUE(SameRange(radio, *radio_memory_, 0x0100, 0x10000));
    EXPECT_EQ(radio_->record().end_markers, (std::vector<std::string>{"ENDR", "ENDW"}));
}

TEST_F(TransferTest, PercentagesCountTheBlocksAndReachHundredOnTheLast) {
    StartRadio();
    TransferRangeTable t;
    t.direction = TransferDirection::Read;
    t.Add(0x0100, 0x0400);  // 6 blocks
    ASSERT_EQ(Run(t), TransferOutcome::Done);
    EXPECT_EQ(log_.percents, (std::vector<std::string>{"16%", "33%", "50%", "66%", "83%", "100%"}));
}

TEST_F(TransferTest, BlocksNeverCrossA128ByteBoundaryAndStopAtTheRangeEnd) {
    StartRadio();
    TransferRangeTable t;
    t.direction = TransferDirection::Read;
    t.Add(0x1010, 0x1110);  // 0x1010+112, 0x1080+128, 0x1100+16
    ASSERT_EQ(Run(t), TransferOutcome::Done);
    EXPECT_EQ(radio_->record().read_addresses,
              (std::vector<std::uint32_t>{kProbeAddress, 0x1010, 0x1080, 0x1100}));
    EXPECT_TRUE(SameRange(*image_, *radio_memory_, 0x1010, 0x1110));
    EXPECT_NE((*image_)[0x1110], (*radio_memory_)[0x1110]);
}

// ---------------------------------------------------------------------------------------------
// Protection

struct PasswordCase {
    const char* name;
    std::optional<std::string> typed;
    bool accepted;
};

class Protected : public TransferTest, public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(Protected, AccessCodeDecidesTheTransfer) {
    const PasswordCase& c = GetParam();
    RadioOptions o;
    o.protect = true;
    StartRadio(o);
    const RadioImage before = *image_;
    const TransferOutcome outcome = Run(ProgramReadRanges(), AnsweringTiming(), c.typed);
    const RadioRecord rec = radio_->record();
    EXPECT_EQ(log_.password_prompts, 1);
    EXPECT_TRUE(log_.messages.empty());  // a refused code shows no message
    EXPECT_EQ(rec.read_addresses.front(), kProbeAddress);
    if (c.accepted) {
        // The probe is not repeated: after the second handshake come the blocks.
        EXPECT_EQ(rec.read_addresses[1], 0x0100u);
        EXPECT_EQ(outcome, TransferOutcome::Done);
        EXPECT_EQ(rec.answered_wake_ups, 2);
        EXPECT_EQ(rec.read_addresses.size(), 511u);
        // The radio's protection byte comes over with the rest.
        EXPECT_EQ((*image_)[0xCC08], 3);
    } else {
        EXPECT_EQ(outcome, TransferOutcome::PasswordRefused);
        EXPECT_FALSE(success_);
        EXPECT_EQ(*image_, before);
        EXPECT_EQ(rec.answered_wake_ups, 1);
        EXPECT_EQ(rec.read_addresses.size(), 1u);
        EXPECT_TRUE(rec.end_markers.empty());
        EXPECT_EQ(log_.cancels_posted, 1);
        EXPECT_FALSE(busy_);
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, Protected,
                         ::testing::Values(PasswordCase{"Exact", "5731RB", true},
                                           PasswordCase{"LowerCase", "5731rb", true},
                                           PasswordCase{"Prefix", "5731R", false},
                                           PasswordCase{"Longer", "5731RB1", false},
                                           PasswordCase{"Empty", "", false},
                                           PasswordCase{"Cancelled", std::nullopt, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(TransferTest, UnprotectedRadioNeverAsksForTheCode) {
    StartRadio();
    ASSERT_EQ(Run(CustomDataWriteRanges()), TransferOutcome::Done);
    EXPECT_EQ(log_.password_prompts, 0);
}

// ---------------------------------------------------------------------------------------------
// Wake-up retries: nine attempts for the whole transfer, both handshakes together.

struct WakeCase {
    int ignored_per_handshake;
    TransferOutcome outcome;
    int wake_ups;
};

class WakeUp : public TransferTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(WakeUp, RetriesBelongToTheTransfer) {
    const WakeCase& c = GetParam();
    RadioOptions o;
    o.wake_after = c.ignored_per_handshake;
    StartRadio(o);
    const RadioImage before = *image_;
    // A radio that never answers costs only the tiniest time-outs; one that answers in the end
    // gets a window a busy machine does not miss (a late "A" would cost an extra wake-up).
    LinkTiming timing = ShortTiming();
    timing.handshake_window = std::chrono::milliseconds(60);
    if (c.wake_ups == 9) timing = SilentTiming();
    EXPECT_EQ(Run(CustomDataReadRanges(), timing), c.outcome);
    const RadioRecord rec = radio_->record();
    EXPECT_EQ(rec.wake_ups, c.wake_ups);
    if (c.outcome == TransferOutcome::Done) {
        EXPECT_TRUE(log_.messages.empty());
        EXPECT_EQ(rec.end_markers, std::vector<std::string>{"ENDR"});
    } else {
        EXPECT_EQ(log_.messages, std::vector<std::string>{"Communication error"});
        EXPECT_TRUE(rec.end_markers.empty());
        EXPECT_EQ(*image_, before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, WakeUp,
    ::testing::Values(WakeCase{0, TransferOutcome::Done, 2},
                      // 4 + 4 retries: the ninth and tenth attempts answer.
                      WakeCase{4, TransferOutcome::Done, 10},
                      // 5 retries before the probe leave 3 for the second handshake.
                      WakeCase{5, TransferOutcome::NoWakeUp, 10},
                      // Never answered: exactly nine attempts.
                      WakeCase{100, TransferOutcome::NoWakeUp, 9}));

// The radio's thread not scheduled for long past every time-out of the worker (as on a busy
// machine): the test's port lets no time-out stand before the radio has had its turn, so the
// transfer runs as if the radio had answered at once, while the radio's own time-outs and
// the ones it withholds answers from stay as they are (the Failure cases).
TEST_F(TransferTest, RadioThatRunsLateIsAnsweredAsIfOnTime) {
    radio_ = std::make_unique<SimulatedRadio>(*radio_memory_, FileHeader{}, RadioOptions{});
    std::string error;
    ASSERT_TRUE(radio_->Open(error)) << error;
    // The first wake-up's 1-byte read and listening window (0.12 s) pass before the radio runs.
    auto late_start = std::async(std::launch::async, [this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        radio_->Start();
    });
    EXPECT_EQ(Run(CustomDataReadRanges(), ShortTiming()), TransferOutcome::Done);
    late_start.wait();
    EXPECT_EQ(radio_->record().wake_ups, 2);
    EXPECT_TRUE(SameRange(*image_, *radio_memory_, kCustomData, image_map::kCustomData.End()));
}

TEST_F(TransferTest, LateAnswerWithinTheListeningWindowIsTaken) {
    RadioOptions o;
    o.wake_delay = std::chrono::milliseconds(60);  // after the first 1-byte read has given up
    StartRadio(o);
    LinkTiming t = ShortTiming();
    t.handshake_window = std::chrono::milliseconds(200);
    EXPECT_EQ(Run(CustomDataReadRanges(), t), TransferOutcome::Done);
    EXPECT_EQ(radio_->record().wake_ups, 2);
}

// ---------------------------------------------------------------------------------------------
// Failures

struct FailureCase {
    const char* name;
    RadioOptions radio;
    TransferRangeTable table;
    TransferOutcome outcome;
    std::vector<std::string> end_markers;
};

RadioOptions ShortIdent() {
    RadioOptions o;
    o.ident_length = 15;
    return o;
}
RadioOptions NoIdentAck() {
    RadioOptions o;
    o.refuse_ident_ack = true;
    return o;
}
RadioOptions FailBlock(std::uint32_t a, int acks = -1) {
    RadioOptions o;
    o.fail_block = a;
    o.fail_acks = acks;
    return o;
}
RadioOptions Vanish(int after, bool hang_up) {
    RadioOptions o;
    o.vanish_after = after;
    o.hang_up = hang_up;
    return o;
}

class Failure : public TransferTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(Failure, ShowsCommunicationErrorAndLeavesTheImageAlone) {
    const FailureCase& c = GetParam();
    StartRadio(c.radio);
    const RadioImage before = *image_;
    EXPECT_EQ(Run(c.table, ShortTiming()), c.outcome);
    EXPECT_FALSE(success_);
    EXPECT_EQ(log_.messages, std::vector<std::string>{"Communication error"});
    EXPECT_EQ(*image_, before);
    EXPECT_EQ(radio_->record().end_markers, c.end_markers);
    EXPECT_EQ(log_.cancels_posted, 1);
    EXPECT_FALSE(log_.busy_when_closed);
    EXPECT_FALSE(busy_);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Failure,
    ::testing::Values(
        FailureCase{
            "ShortIdent", ShortIdent(), ProgramReadRanges(), TransferOutcome::ShortIdent, {}},
        FailureCase{
            "NoIdentAck", NoIdentAck(), ProgramReadRanges(), TransferOutcome::NoIdentAck, {}},
        // Half-way: the blocks already received do not reach the image.
        FailureCase{
            "ReadBlock", FailBlock(0x8000), ProgramReadRanges(), TransferOutcome::BlockFailed, {}},
        FailureCase{"WriteBlock",
                    FailBlock(0x0200),
                    ProgramWriteRanges(false),
                    TransferOutcome::BlockFailed,
                    {"ENDW"}},
        FailureCase{"RadioFallsSilent",
                    Vanish(20, false),
                    ProgramReadRanges(),
                    TransferOutcome::BlockFailed,
                    {}},
        FailureCase{
            "LineHungUp", Vanish(20, true), ProgramReadRanges(), TransferOutcome::BlockFailed, {}}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------------------------
// Replies that go wrong: a read ends with exactly the radio's memory, or with "Communication
// error" and the image untouched; never with anything else taken as data.

struct StrayCase {
    const char* name;
    RadioOptions radio;
    bool recovers;
};

class StrayReply : public TransferTest, public ::testing::WithParamInterface<StrayCase> {};

TEST_P(StrayReply, ReadEndsWithTheRadiosMemoryOrCommunicationError) {
    const StrayCase& c = GetParam();
    StartRadio(c.radio);
    const RadioImage before = *image_;
    TransferRangeTable t;
    t.direction = TransferDirection::Read;
    t.Add(0x0F80, 0x1200);  // 0x0F80, 0x1000 (where the faults strike), 0x1080, ...
    const TransferOutcome outcome = Run(t, ProtocolTiming());
    const RadioRecord rec = radio_->record();
    EXPECT_GE(rec.replies_struck, 1);
    if (c.recovers) {
        ASSERT_EQ(outcome, TransferOutcome::Done);
        EXPECT_TRUE(success_);
        EXPECT_TRUE(log_.messages.empty());
        EXPECT_TRUE(SameRange(*image_, *radio_memory_, 0x0F80, 0x1200));
        EXPECT_TRUE(SameRange(*image_, before, 0, 0x0F80));
        EXPECT_TRUE(SameRange(*image_, before, 0x1200, kImageSize));
        EXPECT_EQ(rec.end_markers, std::vector<std::string>{"ENDR"});
        EXPECT_EQ(log_.percents.size(), 5u);
    } else {
        ASSERT_EQ(outcome, TransferOutcome::BlockFailed);
        EXPECT_FALSE(success_);
        EXPECT_EQ(log_.messages, std::vector<std::string>{"Communication error"});
        EXPECT_EQ(*image_, before);
        EXPECT_TRUE(rec.end_markers.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StrayReply,
    ::testing::Values(StrayCase{"LateAcknowledgement", LateAck(At(0x1000)), true},
                      StrayCase{"JunkBeforeOneReply", Junk(At(0x1000)), true},
                      StrayCase{"JunkBeforeOneReplyAndItsAck", Junk(At(0x1000), true), true},
                      StrayCase{"JunkBeforeTheProbesReply", Junk(At(kProbeAddress)), true},
                      StrayCase{"JunkBeforeEveryReply", Junk(kEveryReply), false},
                      StrayCase{"OneReplyForAnotherAddress", Misdirect(At(0x1000)), true},
                      StrayCase{"EveryReplyForAnotherAddress", Misdirect(At(0x1000, -1)), false},
                      StrayCase{"ReplyStallsOnce", Stall(At(0x1000)), true},
                      StrayCase{"ReplyStallsEveryTime", Stall(At(0x1000, -1)), false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(TransferTest, AnsweredAcknowledgementsNeverShiftTheNextBlock) {
    // Every acknowledgement is answered late, the probe's included: the worker's repeated "A"
    // is answered too, and that second answer arrives ahead of whatever comes next.
    StartRadio(LateAck(kEveryReply));
    const RadioImage before = *image_;
    TransferRangeTable t;
    t.direction = TransferDirection::Read;
    t.Add(0x1000, 0x1180);
    const TransferOutcome outcome = Run(t, ProtocolTiming());
    if (outcome == TransferOutcome::Done) {
        EXPECT_TRUE(SameRange(*image_, *radio_memory_, 0x1000, 0x1180));
        EXPECT_TRUE(log_.messages.empty());
    } else {
        EXPECT_EQ(log_.messages, std::vector<std::string>{"Communication error"});
        EXPECT_EQ(*image_, before);
        EXPECT_TRUE(radio_->record().end_markers.empty());
    }
    EXPECT_GE(radio_->record().replies_struck, 1);
}

TEST_F(TransferTest, ProtectionIsSeenThroughAReplyForAnotherAddress) {
    // The first probe is answered with 0xCC80's block, whose byte 8 is not 3.
    RadioOptions o = Misdirect(At(kProbeAddress));
    o.protect = true;
    (*radio_memory_)[0xCC88] = 0;
    StartRadio(o);
    EXPECT_EQ(Run(CustomDataReadRanges(), AnsweringTiming(), "5731RB"), TransferOutcome::Done);
    EXPECT_EQ(log_.password_prompts, 1);
    EXPECT_EQ(radio_->record().read_addresses,
              (std::vector<std::uint32_t>{kProbeAddress, kProbeAddress, 0xFEE0}));
}

TEST_F(TransferTest, ReadAcknowledgementIsTriedFourTimes) {
    StartRadio(FailBlock(0x0200, 3));  // the fourth "A" is answered
    // The answered acknowledgement is waited for long enough for a busy machine.
    LinkTiming timing = ShortTiming();
    timing.timeouts.read_total_constant = 300;
    ASSERT_EQ(Run(ProgramReadRanges(), timing), TransferOutcome::Done);
    EXPECT_EQ(radio_->record().acks_withheld, 3);
    EXPECT_EQ(*image_ == *radio_memory_, false);  // 0x0000-0x00FF is not read
    EXPECT_TRUE(SameRange(*image_, *radio_memory_, 0x0100, 0x10000));
}

TEST_F(TransferTest, ReadFailsAfterFourUnansweredAcknowledgements) {
    StartRadio(FailBlock(0x0200));
    ASSERT_EQ(Run(ProgramReadRanges(), ShortTiming()), TransferOutcome::BlockFailed);
    EXPECT_EQ(radio_->record().acks_withheld, 4);
}

TEST_F(TransferTest, MuteBlockWaitsForTheHeaderAndTheDataBeforeAcknowledging) {
    // The radio answers the probe and then nothing at all: the reply header and the block's
    // data are each waited for to the end of their time-outs, then come four acknowledgements.
    StartRadio(Vanish(1, false));
    LinkTiming t = ShortTiming();
    t.timeouts = {50, 10, 60, 5, 5};  // the answers before get 70 ms for a byte
    t.handshake_window = std::chrono::milliseconds(500);
    const auto header_wait = std::chrono::milliseconds(10 * kBlockHeader + 60);  // 100 ms
    const auto data_wait = std::chrono::milliseconds(10 * 0x20 + 60);            // 380 ms
    const auto ack_waits = 4 * std::chrono::milliseconds(10 * 1 + 60);           // 280 ms
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(CustomDataReadRanges(), t), TransferOutcome::BlockFailed);
    EXPECT_GE(std::chrono::steady_clock::now() - started, header_wait + data_wait + ack_waits);
    EXPECT_EQ(log_.messages, std::vector<std::string>{"Communication error"});
    EXPECT_TRUE(radio_->record().end_markers.empty());
}

TEST_F(TransferTest, RefusedWriteBlockStopsTheTransferThere) {
    StartRadio(FailBlock(0x0200));
    ASSERT_EQ(Run(ProgramWriteRanges(false), ShortTiming()), TransferOutcome::BlockFailed);
    const RadioRecord rec = radio_->record();
    EXPECT_EQ(rec.blocks_written, 4);  // 0x0060, 0x0080, 0x0100, 0x0180
    EXPECT_EQ(log_.percents.size(), 4u);
    EXPECT_TRUE(SameRange(radio_->memory(), *image_, 0x0060, 0x0200));
    EXPECT_TRUE(SameRange(radio_->memory(), *radio_memory_, 0x0200, 0x10000));
}

TEST_F(TransferTest, PortThatCannotBeOpened) {
    StartRadio();
    for (const std::string& path : {std::string("/dev/vm6142-no-such-port"), std::string()}) {
        CloneWorker worker(*image_, ProgramReadRanges(), path, Callbacks(), Options());
        EXPECT_EQ(worker.Run(), TransferOutcome::PortOpenFailed);
    }
    EXPECT_EQ(log_.messages, (std::vector<std::string>{"Open port fail", "Open port fail"}));
    EXPECT_EQ(log_.start_disabled, 0);
    EXPECT_EQ(log_.cancels_posted, 2);
    EXPECT_FALSE(log_.busy_when_closed);
    EXPECT_EQ(radio_->record().wake_ups, 0);
}

TEST_F(TransferTest, PortHeldByAnotherProgramCannotBeOpened) {
    StartRadio();
    auto other = CreateSerialPort();
    ASSERT_TRUE(other->Open(radio_->device()));
    EXPECT_EQ(Run(ProgramReadRanges()), TransferOutcome::PortOpenFailed);
    EXPECT_EQ(log_.messages, std::vector<std::string>{"Open port fail"});
    other->Close();
    EXPECT_EQ(Run(CustomDataReadRanges()), TransferOutcome::Done);
}

TEST_F(TransferTest, RangesOutsideTheImageAreRefusedBeforeTheRadioIsWoken) {
    StartRadio();
    TransferRangeTable beyond;
    beyond.Add(0xFF80, 0x10080);
    TransferRangeTable backwards;
    backwards.Add(0x0200, 0x0100);
    TransferRangeTable too_many;
    too_many.count = 17;
    for (const auto& t : {beyond, backwards, too_many}) {
        EXPECT_FALSE(IsValidRangeTable(t));
        EXPECT_EQ(Run(t), TransferOutcome::InvalidRanges);
    }
    EXPECT_EQ(TransferSession(*image_, too_many, radio_->device(), {}, Options()).upper(), 0);
    EXPECT_EQ(radio_->record().wake_ups, 0);
    EXPECT_FALSE(busy_);
}

// ---------------------------------------------------------------------------------------------
// Cancel

struct CancelCase {
    const char* name;
    TransferRangeTable table;
};

class Cancel : public TransferTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(Cancel, TakesEffectAfterTheCurrentBlockAndSendsEndW) {
    StartRadio();
    const RadioImage before = *image_;
    EXPECT_EQ(Run(GetParam().table, AnsweringTiming(), std::nullopt, 5),
              TransferOutcome::Cancelled);
    EXPECT_FALSE(success_);
    EXPECT_EQ(log_.percents.size(), 5u);
    EXPECT_TRUE(log_.messages.empty());
    EXPECT_EQ(*image_, before);  // a cancelled read changes nothing
    const RadioRecord rec = radio_->record();
    EXPECT_EQ(rec.end_markers, std::vector<std::string>{"ENDW"});
    EXPECT_EQ(rec.blocks_read + rec.blocks_written, 6);  // the probe and five blocks
}

INSTANTIATE_TEST_SUITE_P(Directions, Cancel,
                         ::testing::Values(CancelCase{"Read", ProgramReadRanges()},
                                           CancelCase{"Write", ProgramWriteRanges(false)}),
                         [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------------------------
// The dialog's logic

TEST_F(TransferTest, SessionStartsOnceAndClosesOnlyWhenIdle) {
    StartRadio();
    std::promise<void> closed;
    TransferCallbacks cb = Callbacks();
    cb.post_cancel = [&] { closed.set_value(); };
    TransferSession session(*image_, ProgramReadRanges(), radio_->device(), cb, Options());
    EXPECT_EQ(session.upper(), 510);
    EXPECT_EQ(session.caption(), "Read");
    ASSERT_TRUE(session.Start());
    EXPECT_FALSE(session.Start());  // a second Start while busy does nothing
    EXPECT_FALSE(session.Exit());   // busy: the worker closes the dialog after its block
    closed.get_future().wait();
    EXPECT_TRUE(session.Exit());  // the posted Cancel closes the dialog
    session.Join();
    ASSERT_TRUE(Drain());
    EXPECT_EQ(session.outcome(), TransferOutcome::Cancelled);
    EXPECT_FALSE(session.success());
    EXPECT_EQ(radio_->record().end_markers, std::vector<std::string>{"ENDW"});
}

TEST_F(TransferTest, ExitBeforeStartClosesAtOnce) {
    TransferSession session(*image_, ProgramReadRanges(), "/dev/null", Callbacks(), Options());
    EXPECT_TRUE(session.Exit());
    EXPECT_FALSE(session.outcome().has_value());
}

TEST_F(TransferTest, ServiceModeStartsTheTransferWhenTheDialogOpens) {
    StartRadio();
    {
        TransferSession session(*image_, CustomDataReadRanges(), radio_->device(), Callbacks(),
                                Options());
        EXPECT_FALSE(session.Initialise(false));
        EXPECT_FALSE(session.outcome().has_value());
        EXPECT_TRUE(session.Initialise(true));
        session.Join();
        EXPECT_EQ(session.outcome(), TransferOutcome::Done);
        EXPECT_TRUE(session.success());
    }
    EXPECT_TRUE(SameRange(*image_, *radio_memory_, 0xFEE0, 0xFF00));
}

// ---------------------------------------------------------------------------------------------
// Every byte the radio receives, in order

using Bytes = std::vector<std::uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
const Bytes kWake = {0x02, 'P', 'R', 'O', 'G', 'R', 'A'};
const Bytes kA = {'A'};
// Wake-up, ident request and its acknowledgement.
const Bytes kHello = Cat({kWake, {'M', 0x02}, kA});
const Bytes kProbe = {'R', 0xCC, 0x00, 0x80};
const Bytes kCustomRead = {'R', 0xFE, 0xE0, 0x20};

struct TranscriptCase {
    const char* name;
    TransferRangeTable table;
    RadioOptions radio;
    int cancel_at;
    TransferOutcome outcome;
    Bytes after_blocks_start;  // what follows the handshake, the probe and the second handshake
};

class Transcript : public TransferTest, public ::testing::WithParamInterface<TranscriptCase> {};

TEST_P(Transcript, RadioReceivesExactlyTheProtocolsBytes) {
    const TranscriptCase& c = GetParam();
    StartRadio(c.radio);
    Bytes tail = c.after_blocks_start;
    if (c.table.direction == TransferDirection::Write) {
        // The written data are the image's bytes.
        tail.insert(tail.begin() + 4, image_->begin() + 0xFEE0, image_->begin() + 0xFF00);
    }
    // Waits long enough that a busy machine does not add a retry to the bytes, short enough for
    // the acknowledgements that never come.
    LinkTiming timing = ShortTiming();
    timing.timeouts = {50, 5, 200, 5, 5};
    timing.handshake_window = std::chrono::milliseconds(500);
    EXPECT_EQ(Run(c.table, timing, std::nullopt, c.cancel_at), c.outcome);
    const Bytes expected = Cat({kHello, kProbe, kA, kHello, tail});
    EXPECT_EQ(radio_->record().received, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Transcript,
    ::testing::Values(TranscriptCase{"Read",
                                     CustomDataReadRanges(),
                                     {},
                                     -1,
                                     TransferOutcome::Done,
                                     Cat({kCustomRead, kA, {'E', 'N', 'D', 'R'}})},
                      TranscriptCase{"ReadCancelled",
                                     CustomDataReadRanges(),
                                     {},
                                     1,
                                     TransferOutcome::Cancelled,
                                     Cat({kCustomRead, kA, {'E', 'N', 'D', 'W'}})},
                      TranscriptCase{"ReadNotAcknowledged", CustomDataReadRanges(),
                                     FailBlock(0xFEE0), -1, TransferOutcome::BlockFailed,
                                     Cat({kCustomRead, kA, kA, kA, kA})},
                      // The block is asked for again, each reply with its acknowledgement.
                      TranscriptCase{"ReadAnsweredForAnotherAddress", CustomDataReadRanges(),
                                     Misdirect(At(0xFEE0)), -1, TransferOutcome::Done,
                                     Cat({kCustomRead, kA, kCustomRead, kA, {'E', 'N', 'D', 'R'}})},
                      TranscriptCase{"Write",
                                     CustomDataWriteRanges(),
                                     {},
                                     -1,
                                     TransferOutcome::Done,
                                     Cat({{'W', 0xFE, 0xE0, 0x20}, {'E', 'N', 'D', 'W'}})},
                      TranscriptCase{"WriteRefused", CustomDataWriteRanges(), FailBlock(0xFEE0), -1,
                                     TransferOutcome::BlockFailed,
                                     Cat({{'W', 0xFE, 0xE0, 0x20}, {'E', 'N', 'D', 'W'}})}),
    [](const auto& p) { return std::string(p.param.name); });

#ifdef __linux__
// The protocol's pauses are timed on the transfer's thread: for the transfer's length its timers
// are not deferred, and the thread's own setting is given back afterwards, also when the port
// does not open.
TEST(CloneWorkerTimers, ExactDuringTheTransferAndGivenBackAfter) {
    struct SlackSeen {
        long during = -1;
    };
    for (const bool opens : {false, true}) {
        SCOPED_TRACE(opens ? "port opens" : "port does not open");
        SlackSeen seen;
        std::thread([&] {
            ASSERT_EQ(prctl(PR_SET_TIMERSLACK, 123456UL, 0, 0, 0), 0);
            std::atomic<bool> busy{false}, cancel{false};
            CloneWorkerOptions options;
            options.flags = TransferFlags{&busy, &cancel};
            options.timing.wake_byte_sleep = std::chrono::microseconds(0);
            options.timing.handshake_window = std::chrono::milliseconds(1);
            options.make_port = [&seen, opens] {
                seen.during = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
                // A port with nothing behind it: opened or refused, nothing ever answers.
                struct Silent final : SerialPort {
                    explicit Silent(bool opens) : opens_(opens) {}
                    bool Open(const std::string&) override { return open_ = opens_; }
                    int OpenError() const override { return opens_ ? 0 : ENOENT; }
                    bool IsOpen() const override { return open_; }
                    void Close() override { open_ = false; }
                    bool SetBufferSizes(std::size_t, std::size_t) override { return true; }
                    bool SetTimeouts(const CommTimeouts&) override { return true; }
                    bool SetLine(const LineSettings&) override { return true; }
                    bool Purge() override { return true; }
                    bool Read(std::uint8_t*, std::size_t, std::size_t& got) override {
                        got = 0;
                        return true;
                    }
                    bool Write(const std::uint8_t*, std::size_t n, std::size_t& put) override {
                        put = n;
                        return true;
                    }
                    bool opens_;
                    bool open_ = false;
                };
                return std::make_unique<Silent>(opens);
            };
            auto image = std::make_unique<RadioImage>();
            CloneWorker worker(*image, ProgramReadRanges(), "silent", {}, options);
            EXPECT_NE(worker.Run(), TransferOutcome::Done);
            EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 123456);
        }).join();
        EXPECT_GE(seen.during, 1);
        EXPECT_LE(seen.during, 1000);
    }
}
#endif

TEST(AccessCode, ComparedIgnoringCase) {
    EXPECT_TRUE(MatchesAccessCode("5731RB"));
    EXPECT_TRUE(MatchesAccessCode("5731Rb"));
    EXPECT_FALSE(MatchesAccessCode("5731RC"));
    EXPECT_FALSE(MatchesAccessCode("5731RB "));
}

}  // namespace
}  // namespace vm::testing
