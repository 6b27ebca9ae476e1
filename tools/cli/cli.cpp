#include "tools/cli/cli.h"

#include <algorithm>

#include "app/link/link_timing.h"
#include "app/shell/version.h"

namespace vm::cli {

namespace {

const Option kHelpOption = {"help", 'h', "", "show this help and exit"};

void PrintHint(std::ostream& err, std::string_view command) {
    err << "Try '" << kProgramName;
    if (!command.empty()) err << ' ' << command;
    err << " --help'.\n";
}

int Usage(std::ostream& err, const Command& cmd, std::string_view text) {
    err << kProgramName << ' ' << cmd.name << ": " << text << '\n';
    PrintHint(err, cmd.name);
    return kExitUsage;
}

std::string OptionLabel(const Option& o) {
    std::string s = o.short_name != 0 ? std::string("-") + o.short_name + ", " : "    ";
    s += "--" + std::string(o.name);
    if (!o.value_name.empty()) s += " " + std::string(o.value_name);
    return s;
}

}  // namespace

int Context::Fail(std::string_view text) const {
    err << kProgramName << ": " << text << '\n';
    return kExitFailure;
}

void Context::Warn(std::string_view text) const {
    err << kProgramName << ": warning: " << text << '\n';
}

std::string Printable(std::string_view text, std::size_t max_length) {
    std::string shown;
    const bool cut = text.size() > max_length;
    if (cut) text = text.substr(0, max_length);
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            shown += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            shown += c;
        } else if (b == '\t') {
            shown += "\\t";
        } else if (b == '\n') {
            shown += "\\n";
        } else if (b == '\r') {
            shown += "\\r";
        } else if (b == 0x1B) {
            shown += "\\e";
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            shown += "\\x";
            shown += kHex[b >> 4];
            shown += kHex[b & 0x0F];
        }
    }
    if (cut) shown += "...";
    return shown;
}

std::optional<std::string> Args::Value(std::string_view name) const {
    const auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

struct Parser {
    static std::optional<Args> Parse(const Command& cmd, std::span<const std::string> argv,
                                     std::ostream& out, std::ostream& err, int* exit_code) {
        Args args;
        auto find_long = [&](std::string_view n) -> const Option* {
            for (const Option& o : cmd.options)
                if (o.name == n) return &o;
            return n == kHelpOption.name ? &kHelpOption : nullptr;
        };
        auto find_short = [&](char c) -> const Option* {
            for (const Option& o : cmd.options)
                if (o.short_name != 0 && o.short_name == c) return &o;
            return c == kHelpOption.short_name ? &kHelpOption : nullptr;
        };
        bool options_done = false;
        for (std::size_t i = 0; i < argv.size(); ++i) {
            const std::string& a = argv[i];
            if (options_done || a.size() < 2 || a[0] != '-') {
                args.positional_.push_back(a);  // "-" alone is an argument
                continue;
            }
            if (a == "--") {
                options_done = true;
                continue;
            }
            const Option* opt = nullptr;
            std::optional<std::string> inline_value;
            std::string shown;
            if (a[1] == '-') {
                std::string_view body = std::string_view(a).substr(2);
                const std::size_t eq = body.find('=');
                if (eq != std::string_view::npos) {
                    inline_value = std::string(body.substr(eq + 1));
                    body = body.substr(0, eq);
                }
                opt = find_long(body);
                shown = "--" + std::string(body);
            } else {
                if (a.size() > 2) inline_value = a.substr(2);  // "-pVALUE"
                opt = find_short(a[1]);
                shown = a.substr(0, 2);
            }
            if (opt == nullptr) {
                *exit_code = Usage(err, cmd, "unknown option '" + shown + "'");
                return std::nullopt;
            }
            if (opt == &kHelpOption) {
                PrintCommandHelp(cmd, out);
                *exit_code = kExitSuccess;
                return std::nullopt;
            }
            if (opt->value_name.empty()) {
                if (inline_value) {
                    *exit_code = Usage(err, cmd, "option '" + shown + "' takes no value");
                    return std::nullopt;
                }
                args.values_[std::string(opt->name)] = "";
                continue;
            }
            if (!inline_value) {
                if (i + 1 >= argv.size()) {
                    *exit_code = Usage(err, cmd, "option '" + shown + "' needs a value");
                    return std::nullopt;
                }
                inline_value = argv[++i];
            }
            args.values_[std::string(opt->name)] = *inline_value;
        }
        const auto n = static_cast<int>(args.positional_.size());
        if (n < cmd.min_args) {
            *exit_code = Usage(err, cmd,
                               cmd.min_args == 1 && !cmd.arguments.empty()
                                   ? "missing " + std::string(cmd.arguments)
                                   : "too few arguments");
            return std::nullopt;
        }
        if (cmd.max_args >= 0 && n > cmd.max_args) {
            *exit_code = Usage(err, cmd,
                               "unexpected argument '" +
                                   args.positional_[static_cast<std::size_t>(cmd.max_args)] + "'");
            return std::nullopt;
        }
        *exit_code = kExitSuccess;
        return args;
    }
};

std::optional<Args> ParseArgs(const Command& cmd, std::span<const std::string> argv,
                              std::ostream& out, std::ostream& err, int* exit_code) {
    return Parser::Parse(cmd, argv, out, err, exit_code);
}

int UsageError(const Context& ctx, const Command& cmd, std::string_view text) {
    return Usage(ctx.err, cmd, text);
}

void PrintCommandHelp(const Command& cmd, std::ostream& out) {
    out << "Usage: " << kProgramName << ' ' << cmd.name << " [OPTIONS]";
    if (!cmd.arguments.empty()) out << ' ' << cmd.arguments;
    out << "\n\n" << cmd.summary << "\n";
    if (!cmd.description.empty()) out << '\n' << cmd.description << '\n';
    out << "\nOptions:\n";
    std::size_t width = OptionLabel(kHelpOption).size();
    for (const Option& o : cmd.options) width = std::max(width, OptionLabel(o).size());
    auto line = [&](const Option& o) {
        const std::string label = OptionLabel(o);
        out << "  " << label << std::string(width - label.size() + 2, ' ') << o.help << '\n';
    };
    for (const Option& o : cmd.options) line(o);
    line(kHelpOption);
    out << "\nExit status: 0 success, 1 the operation failed, 2 usage error.\n";
}

void PrintMainHelp(std::ostream& out) {
    out << "Usage: " << kProgramName << " COMMAND [OPTIONS] [ARGUMENTS]\n"
        << "       " << kProgramName << " --help | --version\n\n"
        << "Programs the VM6142 transceiver and edits its data files (*.dat).\n\n"
        << "Commands:\n";
    std::size_t width = 0;
    for (const Command* c : Commands()) width = std::max(width, c->name.size());
    for (const Command* c : Commands())
        out << "  " << c->name << std::string(width - c->name.size() + 2, ' ') << c->summary
            << '\n';
    out << "\n'" << kProgramName << " COMMAND --help' describes a command.\n"
        << "Results go to standard output, messages to standard error.\n"
        << "Exit status: 0 success, 1 the operation failed, 2 usage error.\n\n"
        << "Environment:\n"
        << "  " << kTimeoutScaleVariable << "=N  read, write and verify wait N times longer (1 to "
        << kMaxTimeoutScale << ")\n"
        << "      for the radio's answers: for a link slower than the radio's own cable, such\n"
        << "      as a cable served by usbser2k-host on a busy machine.\n";
}

int Run(std::span<const std::string> args, Context& ctx) {
    if (args.empty()) {
        ctx.err << kProgramName << ": missing command\n";
        PrintHint(ctx.err, "");
        return kExitUsage;
    }
    const std::string& first = args[0];
    if (first == "--help" || first == "-h") {
        PrintMainHelp(ctx.out);
        return kExitSuccess;
    }
    if (first == "--version" || first == "-V") {
        ctx.out << kProgramName << ' ' << kVersion << '\n';
        return kExitSuccess;
    }
    if (first == "help") {
        if (args.size() == 1) {
            PrintMainHelp(ctx.out);
            return kExitSuccess;
        }
        if (const Command* c = FindCommand(args[1])) {
            PrintCommandHelp(*c, ctx.out);
            return kExitSuccess;
        }
        ctx.err << kProgramName << ": unknown command '" << args[1] << "'\n";
        PrintHint(ctx.err, "");
        return kExitUsage;
    }
    const Command* cmd = FindCommand(first);
    if (cmd == nullptr) {
        ctx.err << kProgramName << ": unknown "
                << (first.size() > 1 && first[0] == '-' ? "option" : "command") << " '" << first
                << "'\n";
        PrintHint(ctx.err, "");
        return kExitUsage;
    }
    int code = kExitSuccess;
    const auto parsed = ParseArgs(*cmd, args.subspan(1), ctx.out, ctx.err, &code);
    if (!parsed) return code;
    // As in the editor, a settings file that cannot be read counts as none; the tool says so.
    if (const int error = ctx.app.settings.ReadError())
        ctx.Warn(ctx.app.settings.Path().string() + ": " + shell::SystemErrorText(error) +
                 "; the settings take their defaults");
    return cmd->run(ctx, *parsed);
}

}  // namespace vm::cli
