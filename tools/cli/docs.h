// The manual pages and the bash completion, made from the help texts and the command table so
// that they say what `--help` says. The build runs `vm6142-docs` to write them.
#pragma once

#include <ostream>
#include <string_view>

namespace vm::cli {

// A manual page (section 1) from a program's `--help` text: "Usage:" lines become the
// synopsis, "Name:" headings sections, "  LABEL  text" lines tagged paragraphs, other lines
// text. `summary` is the one line of the NAME section.
void WriteManPageFromHelp(std::ostream& out, std::string_view program, std::string_view summary,
                          std::string_view help);

// vm6142(1): the tool's help, then every command's help in table order.
void WriteToolManPage(std::ostream& out);

// The bash completion of `vm6142`: the commands, each command's options, files for FILE.
void WriteBashCompletion(std::ostream& out);

}  // namespace vm::cli
