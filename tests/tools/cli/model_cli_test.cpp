// vm6142 show and set over the model information and the frequency ranges.
#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/text.h"
#include "tests/support/tool_runner.h"

namespace vm::cli {
namespace {

using vm::testing::Contains;
using vm::testing::ReadBytes;
using vm::testing::TempDir;
using vm::testing::Tool;
using vm::testing::ToolRun;

class ModelCli : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Tool({"new", file.string()}).code, 0); }
    std::uint8_t At(const std::vector<std::uint8_t>& bytes, std::size_t addr) const {
        return bytes[4096 + addr];
    }
    TempDir dir;
    std::filesystem::path file = dir / "radio.dat";
};

TEST_F(ModelCli, ModelIsShownAndSetByItsLabels) {
    const ToolRun r =
        Tool({"set", file.string(), "Model", "Serial number=ab-12", "Model code=VM-6142 E"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Serial number = ab12\n");  // the hyphen cannot be typed
    const auto bytes = ReadBytes(file);
    EXPECT_EQ(std::string(bytes.begin() + 4096 + 0xFF00, bytes.begin() + 4096 + 0xFF04), "ab12");
    EXPECT_EQ(At(bytes, 0xFF04), 0xFF);
    EXPECT_EQ(std::string(bytes.begin() + 4096 + 0xFF10, bytes.begin() + 4096 + 0xFF19),
              "VM-6142 E");
    const ToolRun shown = Tool({"show", file.string(), "model"});
    EXPECT_TRUE(Contains(shown.out, "Model code = VM-6142 E\n")) << shown.out;
    const ToolRun refused = Tool({"set", file.string(), "Model", "Firmware Version=2"});
    EXPECT_EQ(refused.code, 2);
    EXPECT_TRUE(Contains(refused.err, "cannot be changed")) << refused.err;
}

TEST_F(ModelCli, FrequencyRangesNeedTheAccessCodeAndAValidSet) {
    const auto before = ReadBytes(file);
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* err_part;
    };
    const std::string f = file.string();
    const Case cases[] = {
        {{"set", f, "Frequency range", "150M/Rx Lower=150"}, 2, "cannot be changed"},
        {{"set", f, "Frequency range", "--password", "5207qrm", "150M/Rx Lower=150"},
         1,
         "Password error!; nothing saved"},
        {{"set", f, "Frequency range", "--password=5207QRM", "60M/Rx Lower=70"},
         1,
         "Frequency band is invalid! The bands \"50M\" and \"60M\" cannot both be set: empty "
         "the Rx Lower of one of them; nothing saved"},
        {{"set", f, "Frequency range", "--password=5207QRM", "250M/Rx Lower=230"},
         1,
         "Frequency band is invalid! The bands \"250M\" and \"450M\""},
        {{"set", f, "Basic setting", "--password=5207QRM", "Option/Volume=3"},
         2,
         "asks for no access code"},
        {{"set", f, "Frequency range", "--password=5207QRM", "108M/Tx Lower=110"},
         2,
         "opens no editor"},
    };
    for (const Case& c : cases) {
        const ToolRun r = Tool(c.args);
        EXPECT_EQ(r.code, c.code) << c.args.back();
        EXPECT_TRUE(Contains(r.err, c.err_part)) << r.err;
        EXPECT_EQ(ReadBytes(file), before) << c.args.back();
    }
}

TEST_F(ModelCli, FrequencyRangeSetClearsChannelsOutsideTheNewBands) {
    ASSERT_EQ(
        Tool({"set", file.string(), "Channel setting", "3/Rx Freq=435", "4/Rx Freq=146.5"}).code,
        0);
    const ToolRun r = Tool({"set", file.string(), "Frequency range", "--password", "5207QRM",
                            "450M/Rx Lower=", "250M/Rx Lower=230", "150M/Rx Lower=140.0031"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "250M/Rx Lower = 220.00000\n150M/Rx Lower = 140.00000\n");
    const auto bytes = ReadBytes(file);
    // 450M stored as absent, 250M at its full range, 150M from 140 MHz (00 00 00 14).
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(At(bytes, 0xFF30 + 16 * 7 + i), 0) << i;
    EXPECT_EQ(At(bytes, 0xFF30 + 16 * 5 + 3), 0x22);
    EXPECT_EQ(At(bytes, 0xFF30 + 16 * 5 + 7), 0x26);
    EXPECT_EQ(At(bytes, 0xFF30 + 16 * 4 + 3), 0x14);
    // Channel 3 (435 MHz) lies in no band now and was cleared; channel 4 stays.
    EXPECT_EQ(At(bytes, 0x0100 + 32 * 2 + 3), 0xFF);
    EXPECT_EQ(At(bytes, 0x0100 + 32 * 3 + 2), 0x65);
    const ToolRun info = Tool({"info", file.string()});
    EXPECT_TRUE(Contains(info.out, "250M  220.00000  260.00000")) << info.out;
    EXPECT_TRUE(Contains(info.out, "High:  220.00000  260.00000")) << info.out;
    const ToolRun shown = Tool({"show", file.string(), "Frequency range"});
    EXPECT_TRUE(Contains(shown.out, "450M/Rx Lower = \n")) << shown.out;
    EXPECT_TRUE(Contains(shown.out, "150M/Rx Lower = 140.00000\n")) << shown.out;
}

}  // namespace
}  // namespace vm::cli
