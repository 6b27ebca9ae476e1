// vm6142-docs: writes the manual pages and the bash completion at build time.
//   vm6142-docs tool-man OUT                      vm6142(1)
//   vm6142-docs completion OUT                    the bash completion of vm6142
//   vm6142-docs help-man PROGRAM SUMMARY HELP OUT  a page from the --help text in file HELP
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/cli/docs.h"

int main(int argc, char** argv) {
    using namespace vm::cli;
    const std::string what = argc > 1 ? argv[1] : "";
    std::ostringstream page;
    std::string out_path;
    if (what == "tool-man" && argc == 3) {
        WriteToolManPage(page);
        out_path = argv[2];
    } else if (what == "completion" && argc == 3) {
        WriteBashCompletion(page);
        out_path = argv[2];
    } else if (what == "help-man" && argc == 6) {
        std::ifstream in(argv[4], std::ios::binary);
        std::ostringstream help;
        help << in.rdbuf();
        if (!in || help.str().empty()) {
            std::cerr << "vm6142-docs: " << argv[4] << ": no help text\n";
            return 1;
        }
        WriteManPageFromHelp(page, argv[2], argv[3], help.str());
        out_path = argv[5];
    } else {
        std::cerr << "usage: vm6142-docs tool-man OUT | completion OUT | "
                     "help-man PROGRAM SUMMARY HELP OUT\n";
        return 2;
    }
    std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
    out << page.str();
    out.close();
    if (!out) {
        std::cerr << "vm6142-docs: cannot write " << out_path << '\n';
        return 1;
    }
    return 0;
}
