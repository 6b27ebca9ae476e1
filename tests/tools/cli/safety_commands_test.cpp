// vm6142 diff, backups, verify and the backups of read and write, in-process against the
// simulated radio over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "app/shell/backups.h"
#include "app/shell/data_file.h"
#include "tests/support/files.h"
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
using vm::testing::WriteText;

class SafetyCommands : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(BuildAppFolder() / "Default.dat"));
        saved_timing_ = ToolLinkTiming();
        ToolLinkTiming().wake_byte_sleep = std::chrono::microseconds(0);
        ToolLinkTiming().ack_sleep = std::chrono::microseconds(0);
        // Time-outs no loaded machine runs into while the radio answers (an answer ends a read
        // at once): none of these tests waits for a radio that stays silent.
        ToolLinkTiming().timeouts = {500, 50, 2000, 50, 2000};
        std::mt19937 rng(11);
        memory_ = std::make_unique<RadioImage>();
        for (auto& b : *memory_) b = static_cast<std::uint8_t>(rng());
        (*memory_)[0xCC08] = 0;
        fs::copy_file(BuildAppFolder() / "Default.dat", app_ / "Default.dat");
    }
    void TearDown() override {
        if (radio_) radio_->Stop();
        ToolLinkTiming() = saved_timing_;
    }
    void StartRadio(RadioOptions options = {}) {
        radio_ = std::make_unique<SimulatedRadio>(*memory_, FileHeader{}, std::move(options));
        std::string error;
        ASSERT_TRUE(radio_->Open(error)) << error;
        radio_->Start();
    }
    ToolRun Tool(const std::vector<std::string>& args) {
        ToolRun r = vm::testing::RunTool(args, app_.path());
        if (radio_) {
            EXPECT_TRUE(radio_->Drain());
        }
        return r;
    }
    std::vector<shell::BackupEntry> Backups() { return shell::ListBackups(app_ / "Backups"); }
    // A data file made with `new`, then changed with `set`.
    fs::path NewFile(const std::string& name, const std::vector<std::string>& set = {}) {
        const fs::path file = dir_ / name;
        EXPECT_EQ(Tool({"new", file.string()}).code, 0);
        if (!set.empty()) {
            std::vector<std::string> args = {"set", file.string(), "Basic setting"};
            args.insert(args.end(), set.begin(), set.end());
            const ToolRun r = Tool(args);
            EXPECT_EQ(r.code, 0) << r.err;
        }
        return file;
    }

    TempDir app_;
    TempDir dir_;
    std::unique_ptr<RadioImage> memory_;
    std::unique_ptr<SimulatedRadio> radio_;
    LinkTiming saved_timing_;
};

TEST_F(SafetyCommands, DiffExitsAsDiffDoes) {
    const fs::path a = NewFile("a.dat");
    const fs::path same = NewFile("same.dat");
    const fs::path b = NewFile("b.dat", {"Option/Volume=12"});
    fs::path text = dir_ / "notes.dat";
    WriteText(text, "not a data file");

    ToolRun r = Tool({"diff", a.string(), same.string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");

    r = Tool({"diff", a.string(), b.string()});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_TRUE(Contains(r.out, "Basic setting: Option/Volume: 8 \u2192 12\n")) << r.out;

    r = Tool({"diff", "--json", a.string(), b.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.out, "\"equal\": false")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\"field\": \"Option/Volume\"")) << r.out;

    r = Tool({"diff", a.string(), text.string()});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Contains(r.err, "File does not match")) << r.err;
    r = Tool({"diff", a.string(), (dir_ / "missing.dat").string()});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(Tool({"diff", a.string()}).code, 2);
    EXPECT_EQ(Tool({"diff", "--nope", a.string(), b.string()}).code, 2);
}

TEST_F(SafetyCommands, ReadMakesABackupUnlessToldNot) {
    StartRadio();
    const fs::path out = dir_ / "radio.dat";
    ToolRun r = Tool({"read", "-p", radio_->device(), "-o", out.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    auto list = Backups();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(Contains(r.out, "backup: " + list[0].file.string())) << r.out;
    EXPECT_EQ(ReadBytes(list[0].file), ReadBytes(out));
    r = Tool({"backups"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(Contains(r.out, list[0].file.string())) << r.out;

    r = Tool({"read", "-p", radio_->device(), "-o", out.string(), "--force", "--no-backup"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Backups().size(), 1u);
}

TEST_F(SafetyCommands, ABackupThatCannotBeWrittenIsAWarning) {
    StartRadio();
    WriteText(app_ / "Backups", "a file where the folder should be");
    const fs::path out = dir_ / "radio.dat";
    const ToolRun r = Tool({"read", "-p", radio_->device(), "-o", out.string(), "-q"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::exists(out));
    EXPECT_TRUE(Contains(r.err, "warning: no backup was made")) << r.err;
}

TEST_F(SafetyCommands, WriteBackupFirstKeepsWhatTheRadioHeld) {
    StartRadio();
    const RadioImage before = *memory_;
    const fs::path file = NewFile("mine.dat");
    const ToolRun r =
        Tool({"write", "-p", radio_->device(), file.string(), "--backup-first", "-q"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto list = Backups();
    ASSERT_EQ(list.size(), 1u);
    const auto backup = ReadBytes(list[0].file);
    ASSERT_EQ(backup.size(), kDataFileSize);
    for (std::uint32_t a : {0x0100u, 0x2345u, 0xCC30u, 0xFF00u})
        EXPECT_EQ(backup[kHeaderSize + a], before[a]) << a;
    EXPECT_EQ(radio_->memory()[0x0100], ReadBytes(file)[kHeaderSize + 0x0100]);
}

TEST_F(SafetyCommands, VerifyFindsTheBlockTheRadioDropped) {
    const fs::path file = NewFile("mine.dat");
    // 0xE000 lies in what Write sends but no editor shows.
    std::fill(memory_->begin() + 0xE000, memory_->begin() + 0xE080, std::uint8_t{0x5A});
    RadioOptions dropping;
    dropping.drop_block = 0xE000;
    StartRadio(std::move(dropping));
    ToolRun r = Tool({"write", "-p", radio_->device(), file.string(), "--verify", "-q"});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_EQ(radio_->record().blocks_dropped, 1);
    EXPECT_TRUE(Contains(r.out, "image 0xE000-0xE07F: FF FF")) << r.out;
    EXPECT_TRUE(Contains(r.out, " → 5A 5A")) << r.out;
    EXPECT_TRUE(Contains(r.err, "does not hold")) << r.err;
    r = Tool({"verify", "-p", radio_->device(), file.string(), "-q"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.out, "image 0xE000-0xE07F: ")) << r.out;
}

TEST_F(SafetyCommands, VerifyPassesWhenTheRadioHoldsTheFile) {
    const fs::path file = NewFile("mine.dat", {"Option/Volume=12"});
    StartRadio();
    ToolRun r = Tool({"verify", "-p", radio_->device(), file.string()});
    EXPECT_EQ(r.code, 1) << "the radio holds other data yet";
    r = Tool({"write", "-p", radio_->device(), file.string(), "--verify"});
    EXPECT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_TRUE(Contains(r.out, "verified")) << r.out;
    r = Tool({"verify", "-p", radio_->device(), file.string(), "-q"});
    EXPECT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_EQ(r.out, "");
    // A read that fails is a failure to verify.
    r = Tool({"verify", "-p", (dir_ / "no-such-port").string(), file.string(), "-q"});
    EXPECT_EQ(r.code, 1);
}

}  // namespace
}  // namespace vm::cli
