// extract_entry PACKAGED ENTRY DESTINATION: writes one entry of a packaged
// executable to a file with the product's ExtractEntry (natively, message
// boxes going to the Windows stand-in), for timing against other tools.
#include <cstdio>
#include <string>

#include "fakewin/fakewin.h"
#include "tamarin/extract.h"
#include "tamarin/pack_file.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: extract_entry PACKAGED ENTRY DESTINATION\n");
        return 2;
    }
    tamarin::g_rootArchivePath = argv[1];
    const bool failed = ExtractEntry(argv[3], argv[2]);
    for (const auto& box : fakewin::Get().messageBoxes) {
        std::fprintf(stderr, "message box: %s\n", box.text.c_str());
    }
    return failed ? 1 : 0;
}
