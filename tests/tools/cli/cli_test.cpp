// The vm6142 tool: conventions (help, version, exit codes, streams), `new` and `info`, and the
// file failures, run in-process and, end to end, as the built executable.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include <sstream>

#include "app/editors/catalogue/editor_session.h"
#include "app/image/codecs.h"
#include "app/image/radio_image.h"
#include "app/shell/app_state.h"
#include "app/shell/data_file.h"
#include "app/shell/version.h"
#include "tests/support/files.h"
#include "tests/support/text.h"
#include "tests/support/tool_runner.h"
#include "tools/cli/cli.h"
#include "tools/cli/file_io.h"
#include "tools/cli/json.h"

namespace vm::cli {
namespace {

namespace fs = std::filesystem;
using vm::testing::AppFolderCopy;
using vm::testing::BuildAppFolder;
using vm::testing::Contains;
using vm::testing::ReadBytes;
using vm::testing::RunBinary;
using vm::testing::RunUnprivileged;
using vm::testing::TempDir;
using vm::testing::Tool;
using vm::testing::ToolRun;
using vm::testing::WriteBytes;

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(BuildAppFolder() / "Default.dat"))
            << "the factory image is built beside the executables";
    }
    TempDir dir;
};

TEST_F(Cli, ConventionsHelpVersionAndUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* out_part;  // "" : stdout must be empty
        const char* err_part;  // "" : stderr must be empty
    };
    const std::string version = std::string("vm6142 ") + kVersion + "\n";
    const Case cases[] = {
        {{"--help"}, 0, "Commands:", ""},
        {{"-h"}, 0, "info", ""},
        {{"help", "info"}, 0, "Usage: vm6142 info [OPTIONS] FILE", ""},
        {{"--version"}, 0, version.c_str(), ""},
        {{"info", "--help"}, 0, "--json", ""},
        {{"new", "-h"}, 0, "--force", ""},
        {{}, 2, "", "missing command"},
        {{"frobnicate"}, 2, "", "unknown command 'frobnicate'"},
        {{"--frob"}, 2, "", "unknown option '--frob'"},
        {{"help", "frob"}, 2, "", "unknown command 'frob'"},
        {{"info"}, 2, "", "vm6142 info: missing FILE\nTry 'vm6142 info --help'."},
        {{"info", "a.dat", "b.dat"}, 2, "", "unexpected argument 'b.dat'"},
        {{"info", "--bogus", "a.dat"}, 2, "", "unknown option '--bogus'"},
        {{"info", "--json=yes", "a.dat"}, 2, "", "option '--json' takes no value"},
        {{"new"}, 2, "", "missing FILE"},
    };
    for (const Case& c : cases) {
        const ToolRun r = Tool(c.args);
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        EXPECT_EQ(r.code, c.code) << shown << r.err;
        if (*c.out_part)
            EXPECT_TRUE(Contains(r.out, c.out_part)) << shown << r.out;
        else
            EXPECT_EQ(r.out, "") << shown;
        if (*c.err_part)
            EXPECT_TRUE(Contains(r.err, c.err_part)) << shown << r.err;
        else
            EXPECT_EQ(r.err, "") << shown;
    }
    // Every command of the table is listed by --help and has its own help.
    const ToolRun help = Tool({"--help"});
    for (const Command* c : Commands()) {
        EXPECT_TRUE(Contains(help.out, "  " + std::string(c->name) + " ")) << c->name;
        EXPECT_EQ(Tool({std::string(c->name), "--help"}).code, 0) << c->name;
    }
}

TEST_F(Cli, NewWritesTheFactoryImageAsFileNewThenSaveAsDoes) {
    const fs::path file = dir / "radio.dat";
    const ToolRun r = Tool({"new", file.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    // The same through the shell's document: New, stored as a save stores it (the start-up
    // views committed, 0xCC25 bits 0-1 cleared), Save As.
    RadioImage image{};
    FileHeader header{};
    BandTables bands = BandTables::Initial();
    shell::Document doc(image, header, bands);
    ASSERT_TRUE(NewDocument(doc, BuildAppFolder() / "Default.dat"));
    StampHeader(header);
    const auto bytes = ReadBytes(file);
    ASSERT_EQ(bytes.size(), kDataFileSize);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), bytes.begin()));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), bytes.begin() + kHeaderSize));
    EXPECT_TRUE(std::equal(kFormatStamp.begin(), kFormatStamp.end(), bytes.begin() + 8));
    EXPECT_EQ(bytes[kHeaderSize + kCommitByte] & 0x03, 0);
}

TEST_F(Cli, ANewFileIsWhatASaveWithoutAnEditGives) {
    // Opened, any editor opened and closed, saved: not one byte changes.
    const fs::path file = dir / "radio.dat";
    ASSERT_EQ(Tool({"new", file.string()}).code, 0);
    const auto created = ReadBytes(file);
    for (const EditorEntry& e : Editors()) {
        if (!e.built()) continue;
        {
            std::ofstream restore(file, std::ios::binary | std::ios::trunc);
            restore.write(reinterpret_cast<const char*>(created.data()),
                          static_cast<std::streamsize>(created.size()));
        }
        RadioImage image{};
        FileHeader header{};
        BandTables bands = BandTables::Initial();
        shell::Document doc(image, header, bands);
        ASSERT_TRUE(doc.Open(file).ok());
        {
            EditorSession session(e, doc);
            ASSERT_FALSE(session.Close().has_value()) << e.name;
            const std::vector<OpenView> views = session.Views();
            CommitAllViews(image, views);
            ASSERT_TRUE(doc.Save()) << e.name;
        }
        const auto saved = ReadBytes(file);
        ASSERT_EQ(saved.size(), created.size());
        std::size_t first = 0;
        while (first < saved.size() && saved[first] == created[first]) ++first;
        EXPECT_EQ(first, saved.size())
            << e.name << ": first difference at file offset 0x" << std::hex << first;
    }
}

// Channels in use of each bank in a data file, counted here from the bytes.
std::pair<int, int> CountChannels(const std::vector<std::uint8_t>& file) {
    std::pair<int, int> n{0, 0};
    for (std::size_t i = 0; i < 1600; ++i) {
        const std::uint8_t top = file[kHeaderSize + kBankA + 32 * i + 3];
        if (top != 0x00 && top != 0xFF) ++(i < 800 ? n.first : n.second);
    }
    return n;
}

TEST_F(Cli, NewThenInfoRoundTrip) {
    const fs::path file = dir / "radio.dat";
    ASSERT_EQ(Tool({"new", file.string()}).code, 0);
    const auto [in_a, in_b] = CountChannels(ReadBytes(file));
    ASSERT_GE(in_a, 1);  // channel 1 is never empty
    const std::string bank_a = "Bank A: " + std::to_string(in_a) + " of 800";
    const std::string bank_b = "Bank B: " + std::to_string(in_b) + " of 800";
    const std::string json_channels =
        "\"channels_in_use\": {\n    \"bank_a\": " + std::to_string(in_a) +
        ",\n    \"bank_b\": " + std::to_string(in_b) + "\n  }";
    const ToolRun text = Tool({"info", file.string()});
    ASSERT_EQ(text.code, 0) << text.err;
    EXPECT_EQ(text.err, "");
    for (const char* part :
         {"File: ", "Serial number:", "Custom data:",
          "  150M  134.00000  180.00000  134.00000  180.00000  yes",
          "  108M  108.00000  133.99500                        yes",
          "  60M                                               no",
          "Low:   134.00000  180.00000  enabled", bank_a.c_str(), bank_b.c_str()})
        EXPECT_TRUE(Contains(text.out, part)) << part << "\n" << text.out;
    EXPECT_TRUE(Contains(text.out, "File: " + file.string() + "\n"));

    const ToolRun json = Tool({"info", "--json", file.string()});
    ASSERT_EQ(json.code, 0) << json.err;
    for (const char* part :
         {"\"label\": \"150M\",\n      \"rx_lower_mhz\": 134.00000,\n      \"rx_upper_mhz\": "
          "180.00000,\n      \"tx_lower_mhz\": 134.00000,\n      \"tx_upper_mhz\": 180.00000,\n"
          "      \"enabled\": true",
          "\"label\": \"850M\",\n      \"rx_lower_mhz\": 750.00000,\n      \"rx_upper_mhz\": "
          "950.00000,\n      \"tx_lower_mhz\": null",
          json_channels.c_str(), "\"last_program_date\": \"\""})
        EXPECT_TRUE(Contains(json.out, part)) << part << "\n" << json.out;
}

TEST_F(Cli, NewNeverDestroysAFile) {
    const fs::path file = dir / "keep.dat";
    WriteBytes(file, {1, 2, 3});
    ToolRun r = Tool({"new", file.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, "the file exists (use --force to replace it)")) << r.err;
    EXPECT_EQ(ReadBytes(file), (std::vector<std::uint8_t>{1, 2, 3}));
    r = Tool({"new", "--force", file.string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadBytes(file).size(), kDataFileSize);

    fs::create_directory(dir / "folder.dat");
    r = Tool({"new", "-f", (dir / "folder.dat").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, "folder.dat: Is a directory")) << r.err;
    r = Tool({"new", (dir / "no" / "x.dat").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, "x.dat: No such file or directory")) << r.err;

    // Without the factory image nothing is written.
    TempDir empty_app;
    r = vm::testing::RunTool({"new", (dir / "y.dat").string()}, empty_app.path());
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, "Default.dat: cannot read the factory image")) << r.err;
    EXPECT_FALSE(fs::exists(dir / "y.dat"));
}

TEST_F(Cli, NewInAFolderThatCannotBeWritten) {
    fs::create_directory(dir / "ro");
    WriteBytes(dir / "ro" / "old.dat", {7});
    ::chmod((dir / "ro" / "old.dat").c_str(), 0666);
    ::chmod((dir / "ro").c_str(), 0555);
    // The unprivileged user runs from a copy of the application folder it can read (4: it
    // cannot, so the refusals below would prove nothing).
    const AppFolderCopy app;
    const int code = RunUnprivileged([&] {
        if (!app.Readable()) return 4;
        const ToolRun a =
            vm::testing::RunTool({"new", (dir / "ro" / "x.dat").string()}, app.path());
        const ToolRun b =
            vm::testing::RunTool({"new", "--force", (dir / "ro" / "old.dat").string()}, app.path());
        return (a.code == 1 && Contains(a.err, "x.dat: Permission denied") ? 1 : 0) |
               (b.code == 1 && Contains(b.err, "old.dat: Permission denied") ? 2 : 0);
    });
    EXPECT_EQ(code, 3);
    EXPECT_EQ(ReadBytes(dir / "ro" / "old.dat"), std::vector<std::uint8_t>{7});
    ::chmod((dir / "ro").c_str(), 0777);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "ro"), {}), 1);
}

// An application folder of the test's own: the build's "Program.ini", and "Default.dat" made
// by `make_factory` (nothing when it does nothing).
template <class F>
fs::path AppFolderWith(const TempDir& app, F make_factory) {
    fs::copy_file(BuildAppFolder() / "Program.ini", app / "Program.ini");
    make_factory(app / "Default.dat");
    return app.path();
}

// `new` and `read` build on the factory image: one that is short or a folder is refused, and
// nothing is written. Files opened on a short factory image say what their own gaps hold.
TEST_F(Cli, NewRefusesAFactoryImageThatIsNotAWholeDataFile) {
    const auto good = ReadBytes(BuildAppFolder() / "Default.dat");
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
        const char* why;
    };
    const Case cases[] = {
        {"short",
         [&](const fs::path& f) {
             WriteBytes(f, {good.begin(), good.begin() + 5000});
         },
         "cannot read the factory image (the file is 5000 bytes long, shorter than a data file "
         "(69632 bytes)); no file was written"},
        {"empty", [&](const fs::path& f) { WriteBytes(f, {}); }, "the file is 0 bytes long"},
        {"folder", [](const fs::path& f) { fs::create_directory(f); },
         "cannot read the factory image (Is a directory); no file was written"},
        {"missing", [](const fs::path&) {},
         "cannot read the factory image (No such file or directory); no file was written"},
    };
    for (const Case& c : cases) {
        TempDir app;
        const fs::path folder = AppFolderWith(app, c.make);
        const fs::path out = dir / (std::string(c.name) + ".dat");
        ToolRun r = vm::testing::RunTool({"new", out.string()}, folder);
        EXPECT_EQ(r.code, 1) << c.name;
        EXPECT_TRUE(Contains(r.err, "vm6142: " + (folder / "Default.dat").string() + ": "))
            << r.err;
        EXPECT_TRUE(Contains(r.err, c.why)) << c.name << ": " << r.err;
        EXPECT_FALSE(fs::exists(out)) << c.name;
        r = vm::testing::RunTool({"read", "-o", out.string(), "--port", "/dev/null"}, folder);
        EXPECT_EQ(r.code, 1) << c.name;
        EXPECT_TRUE(Contains(r.err, "; nothing was read")) << c.name << ": " << r.err;
        EXPECT_FALSE(fs::exists(out)) << c.name;
    }

    // A short data file opened on a short factory image: the warning does not call the gaps the
    // factory image's where they are not.
    auto file = good;
    file.resize(kHeaderSize + 0x1000);
    WriteBytes(dir / "part.dat", file);
    struct Kept {
        std::size_t factory_bytes;  // 0: no "Default.dat"
        const char* note;
    };
    const Kept kept[] = {
        {kDataFileSize, "on kept their previous content (the factory image's)\n"},
        {kHeaderSize + 0x3000, "(the factory image's only up to byte 16384, where "},
        {kHeaderSize + 0x800, "(not the factory image's: "},
        {0, "(not the factory image's: "},
    };
    for (const Kept& k : kept) {
        TempDir app;
        const fs::path folder = AppFolderWith(app, [&](const fs::path& f) {
            if (k.factory_bytes) WriteBytes(f, {good.begin(), good.begin() + k.factory_bytes});
        });
        const ToolRun r = vm::testing::RunTool({"info", (dir / "part.dat").string()}, folder);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(Contains(r.err, k.note)) << k.factory_bytes << ": " << r.err;
        if (k.factory_bytes != kDataFileSize) {
            EXPECT_FALSE(Contains(r.err, "(the factory image's)")) << r.err;
        }
    }
}

// "Program.ini" that is a folder or unreadable is no settings file: every command runs, with a
// warning, and the folder or file is left as it was.
TEST_F(Cli, AnUnreadableSettingsFileIsWarnedAboutAndTakenAsNone) {
    const fs::path file = dir / "radio.dat";
    TempDir app;
    fs::copy_file(BuildAppFolder() / "Default.dat", app / "Default.dat");
    fs::create_directory(app / "Program.ini");
    const std::string warning = "vm6142: warning: " + (app / "Program.ini").string() +
                                ": Is a directory; the settings take their defaults\n";
    ToolRun r = vm::testing::RunTool({"new", file.string()}, app.path());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, warning);
    r = vm::testing::RunTool({"info", file.string()}, app.path());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, warning);
    EXPECT_TRUE(Contains(r.out, "Bank A: "));
    EXPECT_TRUE(fs::is_directory(app / "Program.ini"));

    // The executable itself: a folder "Program.ini" beside a copy of it.
    fs::copy_file(BuildAppFolder() / "vm6142", app / "vm6142");
    const std::string cmd = (app / "vm6142").string() + " info " + file.string() + " >" +
                            (dir / "out").string() + " 2>" + (dir / "err").string();
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(vm::testing::ReadText(dir / "err"), warning);

    fs::remove(app / "Program.ini");
    vm::testing::WriteText(app / "Program.ini", "[Setup]\r\nModel=VM6142\r\n");
    ::chmod((app / "Program.ini").c_str(), 0000);
    const int code = RunUnprivileged([&] {
        if (::access((app / "Default.dat").c_str(), R_OK) != 0) return 4;
        const ToolRun u = vm::testing::RunTool({"info", file.string()}, app.path());
        return u.code == 0 && Contains(u.err,
                                       "Program.ini: Permission denied; the settings take "
                                       "their defaults")
                   ? 1
                   : 0;
    });
    EXPECT_EQ(code, 1);
}

TEST_F(Cli, InfoFailuresSayWhyAndExitOne) {
    auto good = ReadBytes(BuildAppFolder() / "Default.dat");
    auto wrong = good;
    wrong[0] = 'X';
    WriteBytes(dir / "wrong.dat", wrong);
    WriteBytes(dir / "empty.dat", {});
    fs::create_directory(dir / "folder.dat");
    struct Case {
        const char* name;
        const char* message;
    };
    const Case cases[] = {
        {"wrong.dat", "File does not match"},
        {"empty.dat", "File does not match"},
        {"folder.dat", "Is a directory"},
        {"missing.dat", "No such file or directory"},
    };
    for (const Case& c : cases) {
        const fs::path p = dir / c.name;
        const ToolRun r = Tool({"info", p.string()});
        EXPECT_EQ(r.code, 1) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err, "vm6142: " + p.string() + ": " + c.message + "\n") << c.name;
    }
    EXPECT_EQ(ReadBytes(dir / "wrong.dat"), wrong);

    WriteBytes(dir / "locked.dat", good);
    ::chmod((dir / "locked.dat").c_str(), 0000);
    const AppFolderCopy app;
    const int code = RunUnprivileged([&] {
        if (!app.Readable()) return 4;
        const ToolRun r = vm::testing::RunTool({"info", (dir / "locked.dat").string()}, app.path());
        return r.code == 1 && r.out.empty() &&
                       r.err == "vm6142: " + (dir / "locked.dat").string() + ": Permission denied\n"
                   ? 1
                   : 0;
    });
    EXPECT_EQ(code, 1);
}

TEST_F(Cli, InfoOnAShortFileWarnsAndShowsTheFactoryValuesBeyondIt) {
    auto good = ReadBytes(BuildAppFolder() / "Default.dat");
    // Bank A channel 2 set in the file; the file ends before the frequency range records.
    PutFrequency(good.data() + kHeaderSize + 0x0100 + 32, 14'600'000);
    good.resize(kHeaderSize + 0x1000);
    WriteBytes(dir / "short.dat", good);
    const ToolRun r = Tool({"info", (dir / "short.dat").string()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "vm6142: warning: " + (dir / "short.dat").string() +
                                    ": the file is 8192 bytes long, shorter than a data file"))
        << r.err;
    const int in_a = CountChannels(ReadBytes(BuildAppFolder() / "Default.dat")).first;
    EXPECT_TRUE(Contains(r.out, "Bank A: " + std::to_string(in_a + 1) + " of 800")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  150M  134.00000  180.00000")) << r.out;
}

// The shared open/save steps every command uses: Save keeps header bytes 8..15 as loaded,
// Save As writes the stamp; both commit (bits 0-1 of 0xCC25 cleared).
TEST_F(Cli, SharedSaveStepsKeepOrStampTheHeader) {
    auto bytes = ReadBytes(BuildAppFolder() / "Default.dat");
    for (std::size_t i = 8; i < 16; ++i) bytes[i] = 0x11;
    bytes[kHeaderSize + kCommitByte] |= 0x03;
    WriteBytes(dir / "a.dat", bytes);

    RadioImage image{};
    FileHeader header{};
    BandTables bands = BandTables::Initial();
    shell::Document doc(image, header, bands);
    shell::AppState app;
    shell::LoadStartUpValues(app, BuildAppFolder());
    std::ostringstream out, err;
    Context ctx{out, err, doc, app};
    ASSERT_TRUE(OpenDataFile(ctx, dir / "a.dat")) << err.str();
    image[0x2000] = 0x5A;
    ASSERT_TRUE(SaveDataFile(ctx, {})) << err.str();
    auto saved = ReadBytes(dir / "a.dat");
    EXPECT_TRUE(
        std::all_of(saved.begin() + 8, saved.begin() + 16, [](auto b) { return b == 0x11; }));
    EXPECT_EQ(saved[kHeaderSize + 0x2000], 0x5A);
    EXPECT_EQ(saved[kHeaderSize + kCommitByte] & 0x03, 0);

    ASSERT_TRUE(SaveDataFileAs(ctx, dir / "b.dat")) << err.str();
    saved = ReadBytes(dir / "b.dat");
    EXPECT_TRUE(std::equal(kFormatStamp.begin(), kFormatStamp.end(), saved.begin() + 8));
    EXPECT_EQ(doc.CurrentFile(), dir / "b.dat");
    EXPECT_EQ(ReadBytes(dir / "a.dat")[8], 0x11);  // the first file untouched by Save As
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "");

    // A failed save reports the system's text and leaves the file as it was.
    ASSERT_TRUE(OpenDataFile(ctx, dir / "a.dat"));
    fs::remove(dir / "a.dat");
    fs::create_directory(dir / "a.dat");
    EXPECT_FALSE(SaveDataFile(ctx, {}));
    EXPECT_TRUE(Contains(err.str(), "a.dat: Is a directory")) << err.str();
}

// End to end: the built executable, its streams and exit codes.
TEST_F(Cli, TheExecutable) {
    ToolRun r = RunBinary({"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, std::string("vm6142 ") + kVersion + "\n");
    r = RunBinary({"info"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Contains(r.err, "missing FILE"));

    const fs::path file = dir / "e2e.dat";
    r = RunBinary({"new", file.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    r = RunBinary({"info", "--json", file.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(
        Contains(r.out, "\"bank_a\": " + std::to_string(CountChannels(ReadBytes(file)).first)));
    // The JSON is well formed (checked with Python's parser where it is installed).
    if (std::system("python3 -c '' >/dev/null 2>&1") == 0) {
        vm::testing::WriteText(dir / "out.json", r.out);
        const std::string check =
            "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
            "assert len(d[\"bands\"]) == 9' " +
            (dir / "out.json").string();
        EXPECT_EQ(std::system(check.c_str()), 0);
    }

    auto bad = ReadBytes(file);
    bad[7] = 0;
    WriteBytes(dir / "bad.dat", bad);
    r = RunBinary({"info", (dir / "bad.dat").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Contains(r.err, "File does not match"));
}

TEST(Json, QuotesEveryByteSafely) {
    EXPECT_EQ(JsonWriter::Quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonWriter::Quote(std::string("\x01\x7F\xC8", 3)), "\"\\u0001\\u007F\\u00C8\"");
}

}  // namespace
}  // namespace vm::cli
