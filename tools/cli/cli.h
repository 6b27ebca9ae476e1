// The `vm6142` command-line tool's framework: the command table, shared option parsing with
// `--help` for every command, exit codes, and the context a command runs in.
//
// Adding a command (see README.md in this folder):
//   1. Write tools/cli/cmd_NAME.cpp defining `const Command kNAMECommand = {...};` (see
//      cmd_info.cpp for a complete example) in namespace vm::cli.
//   2. Add one line `VM_COMMAND(NAME)` to tools/cli/commands.def (the order there is the order
//      of `vm6142 --help`).
//   CMake picks up every cmd_*.cpp by itself.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/shell/app_state.h"
#include "app/shell/data_file.h"

namespace vm::cli {

// Exit status: 0 success, 1 the operation failed, 2 usage error.
enum ExitCode : int { kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2 };

inline constexpr std::string_view kProgramName = "vm6142";

// What a command works on. The program's main binds it to the process-wide data (globals.h);
// tests bind it to their own document, streams and application folder.
struct Context {
    std::ostream& out;     // results
    std::ostream& err;     // messages (errors, warnings)
    shell::Document& doc;  // image, header, band tables, current file
    shell::AppState& app;  // application folder, settings file, model name, port path

    // "vm6142: " + text on the error stream; returns kExitFailure.
    int Fail(std::string_view text) const;
    // "vm6142: warning: " + text on the error stream.
    void Warn(std::string_view text) const;
};

struct Option {
    std::string_view name;        // long name without "--"
    char short_name = 0;          // 0: none
    std::string_view value_name;  // empty: a flag; else the option takes a value ("N", "PORT")
    std::string_view help;
};

class Args {
public:
    const std::vector<std::string>& Positional() const { return positional_; }
    const std::string& operator[](std::size_t i) const { return positional_.at(i); }
    std::size_t Count() const { return positional_.size(); }
    bool Flag(std::string_view name) const { return values_.count(std::string(name)) != 0; }
    // The option's value (the last one given), or nullopt.
    std::optional<std::string> Value(std::string_view name) const;

private:
    friend struct Parser;
    std::vector<std::string> positional_;
    std::map<std::string, std::string, std::less<>> values_;
};

struct Command {
    std::string_view name;         // "info"
    std::string_view arguments;    // "FILE" (shown in usage)
    std::string_view summary;      // one line for `vm6142 --help`
    std::string_view description;  // paragraphs for `vm6142 NAME --help`
    std::span<const Option> options;
    int min_args = 0;
    int max_args = 0;  // -1: no limit
    int (*run)(Context& ctx, const Args& args) = nullptr;
};

// The command table (commands.def), in help order.
std::span<const Command* const> Commands();
const Command* FindCommand(std::string_view name);

// A text from a file or the command line made safe to echo on a terminal: control characters,
// DEL, bytes from 0x80 and the backslash are written as C escapes (\e, \t, \x9B, \\), and a
// text longer than `max_length` characters is cut there and ends in "...".
std::string Printable(std::string_view text, std::size_t max_length = 40);

// Parses a command's arguments. On a usage error prints it (with a hint to --help) to `err`
// and returns nullopt; `--help` prints the command's help to `out` and also returns nullopt,
// with *exit_code set accordingly.
std::optional<Args> ParseArgs(const Command& cmd, std::span<const std::string> argv,
                              std::ostream& out, std::ostream& err, int* exit_code);

// Prints "vm6142 NAME: text" and the --help hint; returns kExitUsage. For usage errors a
// command finds itself (a bad option value).
int UsageError(const Context& ctx, const Command& cmd, std::string_view text);

void PrintCommandHelp(const Command& cmd, std::ostream& out);
void PrintMainHelp(std::ostream& out);

// The whole tool: argv[0] excluded. Returns the exit status.
int Run(std::span<const std::string> args, Context& ctx);

}  // namespace vm::cli
