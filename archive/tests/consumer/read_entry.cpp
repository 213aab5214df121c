// read_entry ARCHIVE NAME: writes the entry's bytes to standard output.
#include <cstdint>
#include <cstdio>
#include <vector>

#include <tamarin/pack_file.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    tamarin::g_rootArchivePath = argv[1];
    tamarin::CPackFile entry;
    if (entry.Open(argv[2])) {  // true on failure
        std::fprintf(stderr, "read_entry: cannot open %s\n", argv[2]);
        return 1;
    }
    std::vector<char> bytes(entry.GetSize());
    const uint32_t size = static_cast<uint32_t>(bytes.size());
    if (entry.Read(bytes.data(), size) != size || std::fwrite(bytes.data(), 1, size, stdout) != size) return 1;
    return 0;
}
