#include "tools/cli/docs.h"

#include <sstream>
#include <string>
#include <vector>

#include "app/shell/version.h"
#include "tools/cli/cli.h"

namespace vm::cli {

namespace {

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// Text as roff takes it: backslashes and minus signs escaped, no control line by accident.
std::string Roff(std::string_view text) {
    std::string r;
    for (const char c : text) {
        if (c == '\\')
            r += "\\e";
        else if (c == '-')
            r += "\\-";
        else
            r += c;
    }
    if (!r.empty() && (r.front() == '.' || r.front() == '\'')) r.insert(0, "\\&");
    return r;
}

std::string Upper(std::string_view s) {
    std::string u(s);
    for (char& c : u)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return u;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// The help text's body. `heading` is ".SH" for a page's sections or ".SS" within a command.
void WriteBody(std::ostream& out, std::string_view help, std::string_view heading,
               bool synopsis_section) {
    bool in_text = false;    // a paragraph is open
    bool in_tagged = false;  // the last line was a tagged paragraph's text
    std::size_t tag_indent = 0;
    for (const std::string_view line : Lines(help)) {
        const std::string_view trimmed = Trim(line);
        const std::size_t indent = line.find_first_not_of(' ');
        if (trimmed.empty()) {
            in_text = in_tagged = false;
            continue;
        }
        if (StartsWith(line, "Usage: ") || StartsWith(line, "usage: ")) {
            if (synopsis_section) out << ".SH SYNOPSIS\n";
            out << ".nf\n" << Roff(trimmed.substr(7)) << "\n.fi\n";
            in_text = in_tagged = false;
            continue;
        }
        if (indent > 0 && StartsWith(trimmed, "vm6142") && !in_tagged && !in_text) {
            // A further synopsis line under "Usage:".
            out << ".nf\n" << Roff(trimmed) << "\n.fi\n";
            continue;
        }
        if (indent == 0 && trimmed.back() == ':' && trimmed.find(' ') == std::string_view::npos) {
            out << heading << ' ' << Upper(trimmed.substr(0, trimmed.size() - 1)) << '\n';
            in_text = in_tagged = false;
            continue;
        }
        const std::size_t gap = indent == 2 ? line.find("  ", 2) : std::string_view::npos;
        if (gap != std::string_view::npos) {
            // "  LABEL  text": a tagged paragraph.
            out << ".TP\n.B " << Roff(Trim(line.substr(0, gap))) << '\n'
                << Roff(Trim(line.substr(gap))) << '\n';
            in_tagged = true;
            in_text = false;
            tag_indent = line.find_first_not_of(' ', gap);
            continue;
        }
        if (in_tagged && indent >= tag_indent) {
            out << Roff(trimmed) << '\n';  // the tagged text goes on
            continue;
        }
        if (indent > 0) {
            out << ".nf\n" << Roff(line) << "\n.fi\n";
            in_tagged = false;
            continue;
        }
        if (!in_text) out << ".PP\n";
        out << Roff(trimmed) << '\n';
        in_text = true;
        in_tagged = false;
    }
}

void WriteHeader(std::ostream& out, std::string_view program, std::string_view summary) {
    out << ".\\\" Made by vm6142-docs from the program's --help; do not edit.\n"
        << ".TH " << Upper(program) << " 1 \"\" \"vm6142 " << kVersion << "\" \"User Commands\"\n"
        << ".SH NAME\n"
        << Roff(program) << " \\- " << Roff(summary) << '\n';
}

}  // namespace

void WriteManPageFromHelp(std::ostream& out, std::string_view program, std::string_view summary,
                          std::string_view help) {
    WriteHeader(out, program, summary);
    // The "Usage:" line and the synopsis lines under it, then the rest as the description.
    std::size_t end = 0;
    if (StartsWith(help, "Usage: ") || StartsWith(help, "usage: ")) {
        end = help.find('\n');
        while (end != std::string_view::npos && StartsWith(help.substr(end + 1), "       "))
            end = help.find('\n', end + 1);
        WriteBody(out, help.substr(0, end), ".SH", true);
        end = end == std::string_view::npos ? help.size() : end + 1;
    }
    out << ".SH DESCRIPTION\n";
    WriteBody(out, help.substr(end), ".SH", false);
}

void WriteToolManPage(std::ostream& out) {
    std::ostringstream main_help;
    PrintMainHelp(main_help);
    WriteManPageFromHelp(out, kProgramName,
                         "program the VM6142 transceiver and edit its data files", main_help.str());
    out << ".SH \"COMMAND DETAILS\"\n";
    for (const Command* c : Commands()) {
        std::ostringstream help;
        PrintCommandHelp(*c, help);
        out << ".SS \"" << kProgramName << ' ' << c->name << "\"\n";
        WriteBody(out, help.str(), ".PP\n.B", false);
    }
    out << ".SH FILES\n"
        << ".TP\n.B ~/.config/vm6142/Program.ini\n"
        << "The settings (the port in section Setup, key COM; COM names in section Ports), made\n"
        << "on the first run ($XDG_CONFIG_HOME when set).\n"
        << ".TP\n.B ~/.local/share/vm6142/DATA\n"
        << "The data files' folder ($XDG_DATA_HOME when set).\n"
        << ".TP\n.B /usr/share/vm6142/Default.dat\n"
        << "The factory image that new files start from.\n"
        << ".PP\n"
        << "A writable Program.ini beside the program keeps every file beside it instead.\n"
        << ".SH \"SEE ALSO\"\n"
        << ".BR vm6142\\-editor (1),\n.BR vm6142\\-radio (1)\n";
}

void WriteBashCompletion(std::ostream& out) {
    out << "# bash completion for vm6142. Made by vm6142-docs from the command table.\n"
        << "_vm6142() {\n"
        << "    local cur prev words cword\n"
        << "    _init_completion || return\n"
        << "    if ((cword == 1)); then\n"
        << "        COMPREPLY=($(compgen -W '";
    for (const Command* c : Commands()) out << c->name << ' ';
    out << "help --help --version' -- \"$cur\"))\n"
        << "        return\n"
        << "    fi\n"
        << "    local options values\n"
        << "    case ${words[1]} in\n";
    for (const Command* c : Commands()) {
        out << "        " << c->name << ")\n            options='";
        std::string values;
        for (const Option& o : c->options) {
            out << "--" << o.name << ' ';
            if (o.short_name != 0) out << '-' << o.short_name << ' ';
            if (!o.value_name.empty()) {
                values += values.empty() ? "" : "|";
                values += "--" + std::string(o.name);
                if (o.short_name != 0) values += std::string("|-") + o.short_name;
            }
        }
        out << "--help -h'\n";
        out << "            values='" << values << "' ;;\n";
    }
    out << "        help)\n"
        << "            COMPREPLY=($(compgen -W '";
    for (const Command* c : Commands()) out << c->name << ' ';
    out << "' -- \"$cur\"))\n"
        << "            return ;;\n"
        << "        *) return ;;\n"
        << "    esac\n"
        << "    # An option's value: files for FILE, devices for PORT, nothing to offer "
           "otherwise.\n"
        << "    if [[ -n $values && $prev == @($values) ]]; then\n"
        << "        case $prev in\n"
        << "            --port) COMPREPLY=($(compgen -f -- \"${cur:-/dev/tty}\")) ;;\n"
        << "            *) _filedir ;;\n"
        << "        esac\n"
        << "        return\n"
        << "    fi\n"
        << "    if [[ $cur == -* ]]; then\n"
        << "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
        << "        return\n"
        << "    fi\n"
        << "    _filedir\n"
        << "}\n"
        << "complete -F _vm6142 vm6142\n";
}

}  // namespace vm::cli
