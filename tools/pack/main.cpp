#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "pack.h"

int main(int argc, char** argv) {
    // Names on disk and on the command line are in the locale's encoding.
    std::setlocale(LC_CTYPE, "");
    // Lists of a million names: iostreams need not keep step with stdio.
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    return kobaru_pack::Run(args, std::cout, std::cerr);
}
