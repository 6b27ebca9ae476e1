// The manual pages and the bash completion say what --help says: every command and option of
// the help texts is in them, and the files the build wrote are what the docs writer writes now.
#include "tools/cli/docs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>

#include "tests/support/files.h"
#include "tests/support/tool_runner.h"
#include "tools/cli/cli.h"

namespace vm::cli {
namespace {

namespace fs = std::filesystem;
using vm::testing::BuildAppFolder;
using vm::testing::ReadText;
using vm::testing::RunTool;
using vm::testing::TempDir;
using vm::testing::ToolRun;
using vm::testing::WriteText;

fs::path DistFolder() {
    return BuildAppFolder().parent_path() / "dist";
}

// Long options ("--port") of a help text's option lines ("  -p, --port PORT  ...").
std::set<std::string> HelpOptions(const std::string& help) {
    std::set<std::string> options;
    static const std::regex line(R"(^  (?:-\w, )?(--[\w-]+))");
    std::istringstream in(help);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (std::regex_search(l, m, line)) options.insert(m[1]);
    }
    return options;
}

// A long option as the manual page writes it.
std::string InRoff(const std::string& option) {
    std::string r;
    for (const char c : option) r += c == '-' ? std::string("\\-") : std::string(1, c);
    return r;
}

// Whether a tagged paragraph of `page` names `option` ("-p, --port PORT" as ".B \-p, \-\-port
// PORT").
bool Tagged(const std::string& page, const std::string& option) {
    std::istringstream in(page);
    for (std::string l; std::getline(in, l);) {
        if (l.rfind(".B ", 0) != 0) continue;
        const std::size_t at = l.find(' ' + InRoff(option));
        if (at == std::string::npos) continue;
        const std::string rest = l.substr(at + 1 + InRoff(option).size());
        if (rest.empty() || rest[0] == ' ' || rest[0] == ',') return true;
    }
    return false;
}

// The commands `vm6142 --help` lists.
std::vector<std::string> HelpCommands() {
    std::ostringstream help;
    PrintMainHelp(help);
    std::vector<std::string> names;
    std::istringstream in(help.str());
    bool in_commands = false;
    for (std::string l; std::getline(in, l);) {
        if (l == "Commands:") {
            in_commands = true;
        } else if (in_commands && l.rfind("  ", 0) == 0) {
            names.push_back(l.substr(2, l.find(' ', 2) - 2));
        } else if (in_commands) {
            break;
        }
    }
    return names;
}

TEST(Docs, TheBuiltFilesAreWhatTheCommandTableGivesNow) {
    std::ostringstream page, completion;
    WriteToolManPage(page);
    WriteBashCompletion(completion);
    EXPECT_EQ(ReadText(DistFolder() / "man/vm6142.1"), page.str());
    EXPECT_EQ(ReadText(DistFolder() / "completion/vm6142"), completion.str());
}

TEST(Docs, ToolPageAndCompletionHoldEveryCommandAndOptionOfTheHelp) {
    const std::string page = ReadText(DistFolder() / "man/vm6142.1");
    const std::string completion = ReadText(DistFolder() / "completion/vm6142");
    const std::vector<std::string> commands = HelpCommands();
    ASSERT_EQ(commands.size(), Commands().size());
    for (const std::string& name : commands) {
        SCOPED_TRACE(name);
        const std::size_t section = page.find(".SS \"vm6142 " + name + "\"");
        ASSERT_NE(section, std::string::npos);
        const std::size_t section_end = page.find(".SS ", section + 1);
        const std::string text = page.substr(section, section_end - section);
        const std::size_t branch = completion.find("        " + name + ")\n");
        ASSERT_NE(branch, std::string::npos);
        const std::string branch_text =
            completion.substr(branch, completion.find(";;", branch) - branch);
        const ToolRun help = RunTool({name, "--help"}, BuildAppFolder());
        ASSERT_EQ(help.code, 0);
        const auto options = HelpOptions(help.out);
        EXPECT_FALSE(options.empty());
        for (const std::string& option : options) {
            EXPECT_TRUE(Tagged(text, option)) << option;
            EXPECT_NE(branch_text.find(option + ' '), std::string::npos) << option;
        }
        // The command's summary line is in its section.
        EXPECT_NE(text.find(FindCommand(name)->summary.substr(0, 20)), std::string::npos);
    }
}

// The pages of the radio and the editor come from their own --help.
TEST(Docs, RadioAndEditorPagesHoldEveryOptionOfTheirHelp) {
    struct Case {
        const char* page;
        std::string command;
    };
    const Case cases[] = {
        {"vm6142-radio.1", (BuildAppFolder() / "vm6142-radio").string() + " --help"},
        {"vm6142-editor.1",
         "QT_QPA_PLATFORM=offscreen " + (BuildAppFolder() / "Program").string() + " --help"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        if (!fs::exists(DistFolder() / "man" / c.page)) {
            ADD_FAILURE() << "not built";
            continue;
        }
        TempDir dir;
        ASSERT_EQ(std::system((c.command + " >" + (dir / "help").string() + " 2>&1").c_str()), 0);
        const std::string page = ReadText(DistFolder() / "man" / c.page);
        const auto options = HelpOptions(ReadText(dir / "help"));
        EXPECT_GE(options.size(), 2u);
        for (const std::string& option : options) EXPECT_TRUE(Tagged(page, option)) << option;
    }
}

// man formats every page without a complaint.
TEST(Docs, PagesFormatWithoutWarnings) {
    if (std::system("command -v man >/dev/null 2>&1") != 0) GTEST_SKIP() << "man is not installed";
    for (const char* page : {"vm6142.1", "vm6142-radio.1", "vm6142-editor.1"}) {
        SCOPED_TRACE(page);
        TempDir dir;
        const std::string cmd = "MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l " +
                                (DistFolder() / "man" / page).string() + " >" +
                                (dir / "out").string() + " 2>" + (dir / "err").string();
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        EXPECT_EQ(ReadText(dir / "err"), "");
        EXPECT_NE(ReadText(dir / "out").find("NAME"), std::string::npos);
    }
}

// The completion as bash runs it, with bash-completion's helpers.
TEST(Docs, BashCompletesCommandsAndOptions) {
    const fs::path helpers = "/usr/share/bash-completion/bash_completion";
    if (!fs::exists(helpers)) GTEST_SKIP() << "bash-completion is not installed";
    struct Case {
        const char* line;
        const char* expected;
    };
    const Case cases[] = {
        {"vm6142 rea", "read"},
        {"vm6142 read --p", "--password --port"},
        {"vm6142 channels x.dat --im", "--import"},
        {"vm6142 help wr", "write"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        TempDir dir;
        WriteText(dir / "run.sh",
                  "source " + helpers.string() + "\nsource " +
                      (DistFolder() / "completion/vm6142").string() + "\nCOMP_LINE='" + c.line +
                      "'\nCOMP_POINT=${#COMP_LINE}\nread -ra COMP_WORDS <<< \"$COMP_LINE\"\n"
                      "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_vm6142 vm6142\n"
                      "printf '%s\\n' \"${COMPREPLY[@]}\" | sort | paste -sd' '\n");
        const std::string cmd = "cd " + dir.path().string() + " && bash run.sh >out 2>err";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << ReadText(dir / "err");
        EXPECT_EQ(ReadText(dir / "out"), std::string(c.expected) + "\n");
    }
}

}  // namespace
}  // namespace vm::cli
