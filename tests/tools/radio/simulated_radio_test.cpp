#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include <chrono>
#include <numeric>

#include "app/link/clone_worker.h"
#include "app/link/serial_port.h"
#include "tools/radio/simulated_radio.h"

namespace vm {
namespace {

using namespace std::chrono_literals;

// Speaks to the radio byte by byte, as a programming cable would.
class RadioTest : public ::testing::Test {
protected:
    void Start(RadioOptions options = {}) {
        for (std::size_t i = 0; i < memory_.size(); ++i)
            memory_[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
        header_.fill(0x11);
        radio_ = std::make_unique<SimulatedRadio>(memory_, header_, std::move(options));
        std::string error;
        ASSERT_TRUE(radio_->Open(error)) << error;
        radio_->Start();
        port_ = CreateSerialPort();
        ASSERT_TRUE(port_->Open(radio_->device()));
        port_->SetLine(LineSettings{});
        port_->SetTimeouts(kAnswered);
    }
    void Send(std::vector<std::uint8_t> bytes) {
        std::size_t put = 0;
        ASSERT_TRUE(port_->Write(bytes.data(), bytes.size(), put));
    }
    // The bytes of an answer: a read ends as soon as they have come, so its time-out only
    // bounds a radio that does not answer, and leaves a loaded machine all the time it needs.
    std::vector<std::uint8_t> Receive(std::size_t n) {
        std::vector<std::uint8_t> in(n);
        std::size_t got = 0;
        port_->Read(in.data(), n, got);
        in.resize(got);
        return in;
    }
    // Whatever comes within a short while, for a test that expects nothing: a late answer that
    // this misses is the first thing the next Receive gets.
    std::vector<std::uint8_t> ReceiveWithin(std::size_t n, std::uint32_t ms) {
        port_->SetTimeouts({0, 0, ms, 50, 1000});
        auto in = Receive(n);
        port_->SetTimeouts(kAnswered);
        return in;
    }

    static constexpr CommTimeouts kAnswered{0, 0, 10000, 50, 1000};
    void WakeAndIdentify() {
        Send({kWakeUp, kWakeUp + std::size(kWakeUp)});
        ASSERT_EQ(Receive(1), std::vector<std::uint8_t>{'A'});
        Send({'M', 0x02});
        const auto ident = Receive(16);
        ASSERT_EQ(ident, std::vector<std::uint8_t>(memory_.begin() + kIdentAddress,
                                                   memory_.begin() + kIdentAddress + 16));
        Send({'A'});
        ASSERT_EQ(Receive(1), std::vector<std::uint8_t>{'A'});
    }

    RadioImage memory_{};
    FileHeader header_{};
    std::unique_ptr<SimulatedRadio> radio_;
    std::unique_ptr<SerialPort> port_;
};

TEST_F(RadioTest, ReadReplyIsAHeaderAndTheMemory) {
    Start();
    WakeAndIdentify();
    Send({'R', 0x12, 0x34, 0x10});
    const auto reply = Receive(4 + 16);
    ASSERT_EQ(reply.size(), 20u);
    EXPECT_EQ(std::vector<std::uint8_t>(reply.begin(), reply.begin() + 4),
              (std::vector<std::uint8_t>{'W', 0x12, 0x34, 0x10}));
    EXPECT_EQ(std::vector<std::uint8_t>(reply.begin() + 4, reply.end()),
              std::vector<std::uint8_t>(memory_.begin() + 0x1234, memory_.begin() + 0x1244));
    Send({'A'});
    EXPECT_EQ(Receive(1), std::vector<std::uint8_t>{'A'});
}

TEST_F(RadioTest, AsleepItAnswersNothingButTheWakeUp) {
    Start();
    Send({'R', 0x01, 0x00, 0x80, 'A', 'M', 0x02});
    EXPECT_TRUE(ReceiveWithin(1, 300).empty());
    Send({0x02, 'P', 'R', 'O', 0x02, 'P', 'R', 'O', 'G', 'R', 'A'});  // a broken one, then whole
    EXPECT_EQ(Receive(1), std::vector<std::uint8_t>{'A'});
    EXPECT_EQ(radio_->record().wake_ups, 1);
}

TEST_F(RadioTest, SavesAfterAWriteSessionOnly) {
    // The save runs on the radio's thread.
    std::mutex saved_mutex;
    std::vector<RadioImage> saved_images;
    const auto saved = [&] {
        std::lock_guard lock(saved_mutex);
        return saved_images;
    };
    RadioOptions o;
    o.save_to = "radio.dat";
    o.save_file = [&](const std::filesystem::path& path, const FileHeader& h, const RadioImage& m) {
        EXPECT_EQ(path, "radio.dat");
        EXPECT_EQ(h, header_);
        std::lock_guard lock(saved_mutex);
        saved_images.push_back(m);
        return true;
    };
    Start(o);
    WakeAndIdentify();
    Send({'E', 'N', 'D', 'R'});
    ASSERT_TRUE(radio_->Drain());
    EXPECT_TRUE(saved().empty());
    WakeAndIdentify();
    std::vector<std::uint8_t> block{'W', 0xFE, 0xE0, 0x20};
    for (int i = 0; i < 32; ++i) block.push_back(static_cast<std::uint8_t>(0xA0 + i));
    Send(block);
    EXPECT_EQ(Receive(1), std::vector<std::uint8_t>{'A'});
    Send({'E', 'N', 'D', 'W'});
    ASSERT_TRUE(radio_->Drain());
    // Drain says the bytes were taken; the save follows on the radio's thread.
    for (int i = 0; i < 1000 && radio_->record().saves == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(radio_->record().saves, 1);
    const std::vector<RadioImage> images = saved();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0][0xFEE0], 0xA0);
    EXPECT_EQ(images[0][0xFEFF], 0xBF);
    EXPECT_EQ(images[0][0xFEDF], memory_[0xFEDF]);
    const RadioRecord rec = radio_->record();
    EXPECT_EQ(rec.end_markers, (std::vector<std::string>{"ENDR", "ENDW"}));
    EXPECT_EQ(rec.written.count(), 32u);
    EXPECT_EQ(rec.saves, 1);
}

TEST_F(RadioTest, ProtectedRadioShowsThreeAtCC08) {
    RadioOptions o;
    o.protect = true;
    Start(o);
    WakeAndIdentify();
    Send({'R', 0xCC, 0x00, 0x80});
    const auto reply = Receive(4 + 128);
    ASSERT_EQ(reply.size(), 132u);
    EXPECT_EQ(reply[4 + 8], 3);
}

TEST_F(RadioTest, PacedLineTakesTheWireTimeOfEveryByte) {
    RadioOptions o;
    o.paced = true;
    Start(o);
    WakeAndIdentify();
    const auto start = std::chrono::steady_clock::now();
    Send({'R', 0x01, 0x00, 0x80});
    ASSERT_EQ(Receive(4 + 128).size(), 132u);
    const auto took = std::chrono::steady_clock::now() - start;
    // 136 bytes of 10 bits at 38400 baud: 35.4 ms.
    EXPECT_GE(took, 35ms);
}

}  // namespace
}  // namespace vm
