// vm6142 read, write and ports, run in-process against the simulated radio over a real
// pseudo-terminal.
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "app/link/link_timing.h"
#include "app/link/serial_port.h"
#include "app/shell/data_file.h"
#include "tests/support/environment.h"
#include "tests/support/files.h"
#include "tests/support/radio_turn_port.h"
#include "tests/support/text.h"
#include "tests/support/tool_runner.h"
#include "tools/cli/transfer_cli.h"
#include "tools/radio/simulated_radio.h"

namespace vm::cli {
namespace {

namespace fs = std::filesystem;
using vm::testing::BuildAppFolder;
using vm::testing::Contains;
using vm::testing::ReadBytes;
using vm::testing::TempDir;
using vm::testing::ToolRun;

class LinkCommands : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(BuildAppFolder() / "Default.dat"));
        saved_timing_ = ToolLinkTiming();
        saved_make_port_ = ToolMakePort();
        ToolLinkTiming().wake_byte_sleep = std::chrono::microseconds(0);
        ToolLinkTiming().ack_sleep = std::chrono::microseconds(0);
        // Time-outs no loaded machine runs into while the radio answers (an answer ends a read
        // at once); the tests that wait for silence set their own.
        ToolLinkTiming().timeouts = {500, 50, 2000, 50, 2000};
        std::mt19937 rng(7);
        memory_ = std::make_unique<RadioImage>();
        for (auto& b : *memory_) b = static_cast<std::uint8_t>(rng());
        (*memory_)[0xCC08] = 0;
        (*memory_)[0xCC25] = 0xFF;
        // An application folder of our own: the factory image and a Program.ini.
        fs::copy_file(BuildAppFolder() / "Default.dat", app_ / "Default.dat");
    }
    void TearDown() override {
        ToolLinkTiming() = saved_timing_;
        ToolMakePort() = saved_make_port_;
    }

    void StartRadio(RadioOptions options = {}) {
        radio_ = std::make_unique<SimulatedRadio>(*memory_, FileHeader{}, std::move(options));
        std::string error;
        ASSERT_TRUE(radio_->Open(error)) << error;
        radio_->Start();
        // A time-out of the tool stands only once this radio has had its turn.
        written_ = 0;
        ToolMakePort() = [this] {
            return std::make_unique<vm::testing::RadioTurnPort>(CreateSerialPort(), *radio_,
                                                                written_);
        };
    }
    ToolRun Tool(const std::vector<std::string>& args) {
        ToolRun r = vm::testing::RunTool(args, app_.path());
        if (radio_) {
            EXPECT_TRUE(radio_->Drain());
        }
        return r;
    }
    // Runs the tool and presses Ctrl-C (SIGINT) once `when` holds, if the tool is still running.
    ToolRun ToolInterrupted(const std::vector<std::string>& args,
                            const std::function<bool()>& when) {
        std::atomic<bool> done{false};
        std::thread interrupter([&] {
            while (!done && !when()) std::this_thread::yield();
            if (!done) kill(getpid(), SIGINT);
        });
        ToolRun r = Tool(args);
        done = true;
        interrupter.join();
        return r;
    }
    // The radio's end markers once `n` have come: the last bytes the tool wrote may still be
    // inside the pseudo-terminal, where the radio's Drain cannot see them yet.
    std::vector<std::string> EndMarkers(std::size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (radio_->record().end_markers.size() < n &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(radio_->Drain());
        return radio_->record().end_markers;
    }
    std::vector<std::uint8_t> Image(const fs::path& file) {
        auto bytes = ReadBytes(file);
        EXPECT_EQ(bytes.size(), kDataFileSize);
        return {bytes.begin() + kHeaderSize, bytes.end()};
    }

    TempDir app_;
    TempDir dir_;
    std::unique_ptr<RadioImage> memory_;
    std::unique_ptr<SimulatedRadio> radio_;
    LinkTiming saved_timing_;
    std::function<std::unique_ptr<SerialPort>()> saved_make_port_;
    std::atomic<std::uint64_t> written_{0};  // bytes the tool has written to the radio
};

TEST_F(LinkCommands, ReadSavesTheRadioOverTheBaseImage) {
    StartRadio();
    const fs::path out = dir_ / "radio.dat";
    const ToolRun r = Tool({"read", "--port", radio_->device(), "-o", out.string(), "-q"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const auto image = Image(out);
    const auto factory = ReadBytes(app_ / "Default.dat");
    for (std::size_t a = 0; a < kImageSize; ++a) {
        std::uint8_t expected = a < 0x100 ? factory[kHeaderSize + a] : (*memory_)[a];
        if (a == kCommitByte) expected &= 0xFC;  // Save As commits the views
        ASSERT_EQ(image[a], expected) << "at 0x" << std::hex << a;
    }
    const auto bytes = ReadBytes(out);
    EXPECT_TRUE(std::equal(kFormatStamp.begin(), kFormatStamp.end(), bytes.begin() + 8));
    EXPECT_EQ(EndMarkers(1), std::vector<std::string>{"ENDR"});
}

TEST_F(LinkCommands, ATimeoutScaleThatIsNoNumberIsNamedAndTheReadGoesOn) {
    StartRadio();
    const fs::path out = dir_ / "radio.dat";
    const ToolRun r = [&] {
        const testing::ScopedEnvironment scale(kTimeoutScaleVariable, "0");
        return Tool({"read", "--port", radio_->device(), "-o", out.string(), "-q"});
    }();
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.err,
                         "warning: VM6142_TIMEOUT_SCALE=\"0\" is not a whole number from 1 "
                         "to 20; the radio's own time-outs are used"))
        << r.err;
    EXPECT_TRUE(fs::exists(out));
}

TEST_F(LinkCommands, ReadKeepsTheBaseFilesHeaderAndLowBytes) {
    StartRadio();
    auto header = std::make_unique<FileHeader>();
    auto base = std::make_unique<RadioImage>();
    header->fill(0x5A);
    std::copy(kFileSignature.begin(), kFileSignature.end(), header->begin());
    base->fill(0x33);
    const fs::path base_file = dir_ / "base.dat";
    ASSERT_TRUE(shell::WriteDataFile(base_file, *header, *base));
    const fs::path out = dir_ / "out.dat";
    const ToolRun r =
        Tool({"read", "-p", radio_->device(), "-o", out.string(), "--base", base_file.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "read 510 blocks"));
    const auto bytes = ReadBytes(out);
    EXPECT_EQ(bytes[0x20], 0x5A);                // header carried over
    EXPECT_EQ(bytes[kHeaderSize + 0x60], 0x33);  // never read from the radio
    EXPECT_EQ(bytes[kHeaderSize + 0x100], (*memory_)[0x100]);
}

TEST_F(LinkCommands, FailedOrRefusedReadWritesNothing) {
    struct Case {
        const char* name;
        RadioOptions radio;
        std::vector<std::string> extra;
        int code;
        const char* message;
        std::vector<std::string> end_markers;
    };
    RadioOptions failing;
    failing.fail_block = 0x4000;
    RadioOptions protect;
    protect.protect = true;
    const Case cases[] = {
        {"block",
         failing,
         {},
         1,
         "vm6142: Communication error: The radio did not answer the block at 0x4000.\n",
         {}},
        {"wrong code", protect, {"--password", "5731RC"}, 1, "wrong access code", {}},
        {"code", protect, {"--password", "5731rb"}, 0, "", {"ENDR"}},
    };
    ToolLinkTiming().timeouts = {10, 5, 25, 5, 5};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRadio(c.radio);
        const fs::path out = dir_ / (std::string(c.name) + ".dat");
        std::vector<std::string> args = {"read", "-p", radio_->device(), "-o", out.string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const ToolRun r = Tool(args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
        EXPECT_EQ(fs::exists(out), c.code == 0);
        EXPECT_EQ(EndMarkers(c.end_markers.size()), c.end_markers);
        radio_.reset();
    }
}

TEST_F(LinkCommands, ReadRefusesAnExistingFileBeforeTouchingTheRadio) {
    StartRadio();
    const fs::path out = dir_ / "kept.dat";
    std::ofstream(out) << "keep me";
    const ToolRun r = Tool({"read", "-p", radio_->device(), "-o", out.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, "--force"));
    EXPECT_EQ(radio_->record().wake_ups, 0);
    EXPECT_EQ(vm::testing::ReadText(out), "keep me");
    EXPECT_EQ(Tool({"read", "-p", radio_->device(), "-o", out.string(), "-f", "-q"}).code, 0);
    EXPECT_EQ(ReadBytes(out).size(), kDataFileSize);
}

TEST_F(LinkCommands, OpenPortFailIsTheWorkersMessage) {
    const ToolRun r = Tool({"read", "-p", "/dev/vm6142-absent", "-o", (dir_ / "x.dat").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, "vm6142: Open port fail\n")) << r.err;
    // What the port is and why it did not open.
    EXPECT_TRUE(Contains(r.err, "vm6142: /dev/vm6142-absent: No such file or directory.\n"))
        << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "x.dat"));
}

TEST_F(LinkCommands, WriteSendsTheCommittedFileAndLeavesItAlone) {
    for (const bool service : {false, true}) {
        SCOPED_TRACE(service ? "service" : "normal");
        StartRadio();
        auto header = std::make_unique<FileHeader>();
        auto image = std::make_unique<RadioImage>();
        std::copy(kFileSignature.begin(), kFileSignature.end(), header->begin());
        for (std::size_t a = 0; a < kImageSize; ++a) (*image)[a] = static_cast<std::uint8_t>(a);
        (*image)[kCommitByte] = 0xFF;
        const fs::path file = dir_ / "send.dat";
        ASSERT_TRUE(shell::WriteDataFile(file, *header, *image));
        const auto before = ReadBytes(file);
        std::vector<std::string> args = {"write", "-p", radio_->device(), file.string()};
        if (service) args.push_back("--service");
        const ToolRun r = Tool(args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(Contains(r.out, service ? "wrote 491 blocks" : "wrote 490 blocks")) << r.out;
        EXPECT_EQ(ReadBytes(file), before);
        const RadioImage radio = radio_->memory();
        const std::uint32_t second = service ? 0xFEE0 : 0xFF00;
        for (std::uint32_t a = 0; a < kImageSize; ++a) {
            const bool sent = (a >= 0x60 && a < 0xF400) || a >= second;
            std::uint8_t expected = sent ? (*image)[a] : (*memory_)[a];
            if (a == kCommitByte) expected = 0xFC;
            ASSERT_EQ(radio[a], expected) << "at 0x" << std::hex << a;
        }
        radio_.reset();
    }
}

TEST_F(LinkCommands, CtrlCCancelsAfterTheBlockSendsEndWAndSavesNothing) {
    StartRadio();
    const fs::path out = dir_ / "never.dat";
    const ToolRun r = ToolInterrupted({"read", "-p", radio_->device(), "-o", out.string(), "-q"},
                                      [&] { return !(radio_->record().blocks_read < 20); });
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_TRUE(Contains(r.err, "cancelled")) << r.err;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(EndMarkers(1), std::vector<std::string>{"ENDW"});
}

TEST_F(LinkCommands, CtrlCBeforeAFailureReportsTheFailure) {
    // The block's acknowledgement is never answered; Ctrl-C comes while it is being retried,
    // before the worker looks at the cancel flag again.
    RadioOptions failing;
    failing.fail_block = 0x0200;
    StartRadio(failing);
    ToolLinkTiming().timeouts = {10, 5, 25, 5, 5};
    const fs::path out = dir_ / "never.dat";
    const ToolRun r = ToolInterrupted({"read", "-p", radio_->device(), "-o", out.string(), "-q"},
                                      [&] { return !(radio_->record().acks_withheld < 1); });
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_TRUE(Contains(r.err,
                         "vm6142: Communication error: The radio did not answer the block at "
                         "0x0200.\n"))
        << r.err;
    EXPECT_FALSE(Contains(r.err, "cancelled (")) << r.err;
    const std::string last = "vm6142: the transfer failed: " + out.string() + " was not written\n";
    EXPECT_TRUE(r.err.ends_with(last)) << r.err;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(EndMarkers(0).empty());
}

TEST_F(LinkCommands, MissingPortIsNamedAsMissing) {
    // No Program.ini in the application folder: no "COM", so no port.
    const fs::path out = dir_ / "x.dat";
    ToolRun r = Tool({"read", "-o", out.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, "vm6142: no port: Program.ini has no \"COM\" in [Setup]")) << r.err;
    EXPECT_FALSE(Contains(r.err, "  has no")) << r.err;
    r = Tool({"write", "--port", "", (app_ / "Default.dat").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, "vm6142: no port given: --port is empty")) << r.err;
    EXPECT_FALSE(fs::exists(out));
}

// A radio whose replies go wrong: the read saves exactly the radio's memory, or says
// "Communication error", exits 1 and saves nothing.
TEST_F(LinkCommands, ReadSavesTheRadioOrNothing) {
    struct Case {
        const char* name;
        RadioOptions radio;
        bool saved;
    };
    RadioOptions late, junk, junk_every, junk_acks, elsewhere, stall;
    late.late_ack = ReplyFault{0x4000, 1};
    junk.junk = ReplyFault{0x4000, 1};
    junk_every.junk = ReplyFault{std::nullopt, -1};
    junk_acks.junk = ReplyFault{0x4000, 1};
    junk_acks.junk_before_ack = true;
    elsewhere.misdirect = ReplyFault{0x4000, 1};
    stall.stall = ReplyFault{0x4000, 1};
    const Case cases[] = {
        {"late acknowledgement", late, true},   {"junk once", junk, true},
        {"junk every time", junk_every, false}, {"junk before the ack", junk_acks, true},
        {"another address", elsewhere, true},   {"stalled reply", stall, true},
    };
    // The faults are late or stalled against the protocol's own time-outs.
    ToolLinkTiming().timeouts = LinkTiming{}.timeouts;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRadio(c.radio);
        const fs::path out = dir_ / (std::string(c.name) + ".dat");
        const ToolRun r = Tool({"read", "-p", radio_->device(), "-o", out.string(), "-q"});
        EXPECT_GE(radio_->record().replies_struck, 1);
        if (c.saved) {
            ASSERT_EQ(r.code, 0) << r.err;
            const auto image = Image(out);
            for (std::size_t a = 0x100; a < kImageSize; ++a) {
                std::uint8_t expected = (*memory_)[a];
                if (a == kCommitByte) expected &= 0xFC;
                ASSERT_EQ(image[a], expected) << "at 0x" << std::hex << a;
            }
        } else {
            EXPECT_EQ(r.code, 1);
            EXPECT_TRUE(Contains(r.err, "vm6142: Communication error: The radio did not answer"))
                << r.err;
            EXPECT_FALSE(fs::exists(out));
        }
        radio_.reset();
    }
}

// A port the cable's host publishes (a link named after its COM name in the run-time folder)
// stands over Program.ini's entry for that name, and says where it comes from.
TEST_F(LinkCommands, PortsShowsAPublishedPortOverProgramIni) {
    StartRadio();
    const fs::path run = dir_ / "run";
    fs::create_directories(run);
    fs::create_symlink(radio_->device(), run / "COM3");
    fs::create_symlink(dir_ / "gone", run / "COM4");  // left by a host that has ended
    vm::testing::WriteText(
        app_ / "Program.ini",
        "[Setup]\r\nCOM=COM1\r\n[Ports]\r\nCOM3=/dev/null\r\nCOM4=/dev/null\r\n");
    ASSERT_EQ(setenv("VM6142_RUNTIME_DIR", run.c_str(), 1), 0);
    const ToolRun r = Tool({"ports"});
    unsetenv("VM6142_RUNTIME_DIR");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "COM3        " + (run / "COM3").string())) << r.out;
    EXPECT_TRUE(Contains(r.out, "available, published by the cable's host")) << r.out;
    EXPECT_TRUE(Contains(r.out, "COM4        /dev/null")) << r.out;
    EXPECT_FALSE(Contains(r.out, "/dev/null  available, published")) << r.out;
}

TEST_F(LinkCommands, PortsShowsDevicesFromProgramIniAndWhetherTheyOpen) {
    StartRadio();
    vm::testing::WriteText(app_ / "Program.ini",
                           "[Setup]\r\nCOM=COM2\r\n[Ports]\r\nCOM2=" + radio_->device() + "\r\n");
    ToolRun r = Tool({"ports"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "COM2        " + radio_->device())) << r.out;
    EXPECT_TRUE(Contains(r.out, "available, from Program.ini, current")) << r.out;
    auto held = CreateSerialPort();
    ASSERT_TRUE(held->Open(radio_->device()));
    r = Tool({"ports"});
    EXPECT_TRUE(Contains(r.out, "cannot be opened (in use, or not permitted), from Program.ini"))
        << r.out;
    // The port of Program.ini is the default of read and write.
    held->Close();
    const fs::path out = dir_ / "via-ini.dat";
    r = Tool({"read", "-o", out.string(), "-q"});
    EXPECT_EQ(r.code, 0) << r.err;
}

}  // namespace
}  // namespace vm::cli
