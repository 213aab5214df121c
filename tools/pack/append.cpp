// kobaru-pack append: an executable with an archive behind its image, the
// archive start recorded in the header word at offset 28 or in a trailer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "command.h"
#include "reading.h"
#include "tamarin/memory.h"
#include "writing.h"

namespace kobaru_pack {

namespace {

const char* const kMagics[] = {"pf0", "pf1", "pf2", "pf3"};

// Reads length bytes at position; false when they are not all there.
bool ReadAt(int fd, uint64_t position, void* bytes, size_t length) {
    return ::pread(fd, bytes, length, static_cast<off_t>(position)) == static_cast<ssize_t>(length);
}

uint32_t WordAt(int fd, uint64_t position) {
    unsigned char word[4] = {};
    return ReadAt(fd, position, word, 4) ? tamarin::DecodeWord(word) : 0;
}

// The Authenticode certificate table of a PE image: the file position and
// length that its security directory gives, and where that directory entry
// lies. False when the image has none.
struct Certificates {
    uint64_t entryAt = 0;
    uint64_t position = 0;
    uint64_t length = 0;
};

bool FindCertificates(int fd, uint64_t size, Certificates* found) {
    const uint64_t pe = WordAt(fd, 0x3C);
    unsigned char signature[4] = {};
    if (pe + 24 + 2 > size || !ReadAt(fd, pe, signature, 4) || std::memcmp(signature, "PE\0\0", 4) != 0) return false;
    unsigned char magic[2] = {};
    if (!ReadAt(fd, pe + 24, magic, 2)) return false;
    const unsigned kind = magic[0] | (magic[1] << 8);
    if (kind != 0x10B && kind != 0x20B) return false;
    // The data directories follow the optional header's fixed fields; the
    // fifth is the certificate table, its address a file position.
    const uint64_t fixed = kind == 0x10B ? 96 : 112;
    if (WordAt(fd, pe + 24 + fixed - 4) <= 4) return false;
    found->entryAt = pe + 24 + fixed + 4 * 8;
    found->position = WordAt(fd, found->entryAt);
    found->length = WordAt(fd, found->entryAt + 4);
    return found->position != 0 && found->length != 0;
}

}  // namespace

int Append(const Options& options, const Names& names, std::ostream& out, std::ostream& err) {
    if (options.output.empty() || options.operands.empty() || options.operands[0].pair) {
        err << "kobaru-pack: append needs -o OUTPUT and an EXECUTABLE before the entries" << kSeeHelp;
        return kUsage;
    }
    if (options.operands.size() == 1) {
        err << "kobaru-pack: no entries given" << kSeeHelp;
        return kUsage;
    }
    if (options.trailer) {
        err << "kobaru-pack: warning: a trailer word does not survive Authenticode signing, which "
               "appends to the file; sign only with the header word\n";
    }
    const std::string& executable = options.operands[0].file;
    const std::string shown = names.ShowHost(executable);
    uintmax_t size = 0;
    std::string error;
    if (tamarin_writer::SizeOfRegularFile(executable, &size, &error)) {
        err << "kobaru-pack: " << names.ShowHost(error) << "\n";
        return kFailed;
    }
    const int fd = ::open(executable.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err << "kobaru-pack: cannot open " << shown << ": " << std::strerror(errno) << "\n";
        return kFailed;
    }
    const DescriptorCloser closer{fd};
    unsigned char mz[2] = {};
    if (size < tamarin_writer::kHeaderWordOffset + 4 || !ReadAt(fd, 0, mz, 2) || mz[0] != 'M' || mz[1] != 'Z') {
        err << "kobaru-pack: " << shown << ": not an executable image (no MZ header)\n";
        return kFailed;
    }
    // An archive already there: a header word, or a trailer that points at
    // a version magic inside the file.
    bool carries = WordAt(fd, tamarin_writer::kHeaderWordOffset) != 0;
    const uint64_t trailer = WordAt(fd, size - 4);
    char magic[3] = {};
    if (!carries && trailer + 3 <= size - 4 && ReadAt(fd, trailer, magic, 3)) {
        for (const char* m : kMagics) carries = carries || std::memcmp(magic, m, 3) == 0;
    }
    if (carries) {
        err << "kobaru-pack: " << shown << ": the executable already carries an archive\n";
        return kFailed;
    }
    Image image;
    image.path = executable;
    image.keep = size;
    // An archive behind a signature breaks it: the certificate table must be
    // the file's end. Removed only when asked, and the user told to sign again.
    Certificates certificates;
    if (FindCertificates(fd, size, &certificates)) {
        if (!options.stripSignature) {
            err << "kobaru-pack: " << shown << " carries an Authenticode signature, which an appended archive "
                << "would break; --strip-signature removes it, then sign the result\n";
            return kFailed;
        }
        if (certificates.position + certificates.length != size) {
            err << "kobaru-pack: " << shown << ": its certificate table does not end the file, so it cannot be removed\n";
            return kFailed;
        }
        image.keep = certificates.position;
        image.patches.emplace_back(certificates.entryAt, std::string(8, '\0'));
    }
    if (!options.trailer) {
        unsigned char word[4];
        tamarin::EncodeWord(static_cast<uint32_t>(image.keep), word);
        image.patches.emplace_back(tamarin_writer::kHeaderWordOffset, std::string(reinterpret_cast<char*>(word), 4));
    }
    const std::vector<Operand> entries(options.operands.begin() + 1, options.operands.end());
    std::vector<Input> inputs;
    uint64_t total = 0;
    if (GatherInputs(entries, options.output, image.keep, names, true, &inputs, err) ||
        WriteArchive(options.output, &image, options.trailer, inputs, options.version, names, &total, err)) {
        return kFailed;
    }
    if (image.keep != size) {
        err << "kobaru-pack: removed the Authenticode signature of " << shown << " (" << size - image.keep
            << " bytes); sign " << names.ShowHost(options.output) << " again before shipping it\n";
    }
    out << names.ShowHost(options.output) << ": " << tamarin_writer::VersionName(options.version) << " archive at "
        << image.keep << " (" << (options.trailer ? "trailer word" : "header word") << "), " << Entries(inputs.size())
        << ", " << total << " bytes\n";
    return kOk;
}

}  // namespace kobaru_pack
