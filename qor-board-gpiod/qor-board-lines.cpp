// qor-board-lines [FILE]: checks a line map against the machine's GPIO chips
// before a program is wired to it, and shows who holds each line.
#include "linecheck.h"

#include <cstring>
#include <iostream>

namespace {

const char* const usage = "usage: qor-board-lines [FILE]\n"
                          "Checks the line map FILE (default: $QOR_BOARD_LINES, else\n"
                          "/etc/qor-board/lines.conf) and shows the line of every signal.\n";

} // namespace

int main(int argc, char* argv[]) {
    if (argc == 2 && (!strcmp(argv[1], "-h") || !strcmp(argv[1], "--help"))) {
        std::cout << usage;
        return 0;
    }
    if (argc > 2 || (argc == 2 && argv[1][0] == '-' && argv[1][1] != '\0')) {
        std::cerr << usage;
        return EX_USAGE;
    }
    LineCheck check(argc == 2 ? argv[1] : LineMap::defaultPath());
    return check.run(std::cout, std::cerr);
}
