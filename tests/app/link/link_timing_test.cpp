#include <gtest/gtest.h>

#include <string>

#include "app/link/link_timing.h"
#include "tests/app/link/transfer_fixture.h"
#include "tests/support/environment.h"

namespace vm {
namespace {

TEST(TimeoutScale, AWholeNumberFromOneToTwentyOtherwiseOneWithTheProblemSaid) {
    struct Case {
        const char* value;
        unsigned scale;
        bool problem;
    };
    const Case cases[] = {
        {nullptr, 1, false},
        {"", 1, false},
        {"1", 1, false},
        {"4", 4, false},
        {"20", 20, false},
        {"0", 1, true},
        {"21", 1, true},
        {"-3", 1, true},
        {"4x", 1, true},
        {" 4", 1, true},
        {"4.5", 1, true},
        {"ten", 1, true},
        {"99999999999999999999", 1, true},
    };
    for (const Case& c : cases) {
        const std::string shown = c.value ? c.value : "(unset)";
        const TimeoutScale got = ParseTimeoutScale(c.value);
        EXPECT_EQ(got.scale, c.scale) << shown;
        EXPECT_EQ(!got.problem.empty(), c.problem) << shown;
        if (c.problem) {
            // The problem names the variable and the value, and what is used instead.
            EXPECT_NE(got.problem.find(std::string(kTimeoutScaleVariable) + "=\"" + c.value),
                      std::string::npos)
                << got.problem;
            EXPECT_NE(got.problem.find("the radio's own time-outs are used"), std::string::npos)
                << got.problem;
        }
    }
}

TEST(TimeoutScale, TheProgramsTakeItFromTheEnvironment) {
    const testing::ScopedEnvironment scale(kTimeoutScaleVariable, "3");
    EXPECT_EQ(ProgramLinkTiming().timeouts.read_interval, 150u);
    scale.Set("many");
    EXPECT_EQ(ProgramLinkTiming().timeouts.read_interval, LinkTiming{}.timeouts.read_interval);
}

TEST(TimeoutScale, StretchesTheWaitsForAnAnswerOnly) {
    const LinkTiming protocol;
    const LinkTiming ten = Scaled(protocol, 10);
    // The first byte, each gap, a write being taken.
    EXPECT_EQ(ten.timeouts.read_interval, 500u);
    EXPECT_EQ(ten.timeouts.read_total_constant, 1000u);
    EXPECT_EQ(ten.timeouts.write_total_constant, 500u);
    // What the radio sees stays: the pauses before its bytes, and the per-byte allowance; and
    // the window a wake-up listens in (made of one-byte reads, each stretched).
    EXPECT_EQ(ten.handshake_window, protocol.handshake_window);
    EXPECT_EQ(ten.timeouts.read_total_multiplier, protocol.timeouts.read_total_multiplier);
    EXPECT_EQ(ten.timeouts.write_total_multiplier, protocol.timeouts.write_total_multiplier);
    EXPECT_EQ(ten.wake_byte_sleep, protocol.wake_byte_sleep);
    EXPECT_EQ(ten.ack_sleep, protocol.ack_sleep);
    // A scale of one (or none) is the protocol's own timing.
    for (const unsigned scale : {0u, 1u}) {
        const LinkTiming same = Scaled(protocol, scale);
        EXPECT_EQ(same.timeouts.read_interval, protocol.timeouts.read_interval);
        EXPECT_EQ(same.handshake_window, protocol.handshake_window);
    }
}

TEST(TimeoutScale, KeepsWhatTheSpecialValuesMean) {
    constexpr std::uint32_t kMax = CommTimeouts::kMaxTimeout;
    LinkTiming t;
    // "Return at once with what has come" and "no total time-out" stay what they are; a
    // product that would reach the "no time-out" value stops below it.
    t.timeouts = {kMax, 0, 0, 0, kMax / 2};
    const LinkTiming s = Scaled(t, 20);
    EXPECT_EQ(s.timeouts.read_interval, kMax);
    EXPECT_EQ(s.timeouts.read_total_constant, 0u);
    EXPECT_EQ(s.timeouts.write_total_constant, kMax - 1);
}

// A slow link: every reply (or every answer to an acknowledgement) held back past the
// protocol's own waits, which fail the read (the worker's tests of replies that go wrong); the
// waits stretched ten times outlast them and the read ends with exactly the radio's memory.
struct SlowLinkCase {
    const char* name;
    RadioOptions radio;
};

class SlowLink : public testing::TransferTest,
                 public ::testing::WithParamInterface<SlowLinkCase> {};

TEST_P(SlowLink, StretchedWaitsOutlastIt) {
    StartRadio(GetParam().radio);
    TransferRangeTable t;
    t.direction = TransferDirection::Read;
    t.Add(0x0F80, 0x1100);
    ASSERT_EQ(Run(t, Scaled(testing::ProtocolTiming(), 10)), TransferOutcome::Done);
    EXPECT_TRUE(testing::SameRange(*image_, *radio_memory_, 0x0F80, 0x1100));
    EXPECT_TRUE(log_.messages.empty());
    EXPECT_GE(radio_->record().replies_struck, 2);
}

INSTANTIATE_TEST_SUITE_P(Faults, SlowLink,
                         ::testing::Values(SlowLinkCase{"EveryReplyStalls",
                                                        testing::Stall(testing::kEveryReply)},
                                           SlowLinkCase{"EveryAcknowledgementLate",
                                                        testing::LateAck(testing::kEveryReply)}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace vm
