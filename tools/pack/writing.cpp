// An archive written as it is made: the index from the inputs' sizes, then
// the inputs themselves a chunk at a time.
#include "writing.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "reading.h"
#include "tamarin/memory.h"

namespace kobaru_pack {

namespace {

// Bytes on their way to the output: small files are gathered into one
// write, large ones pass through a chunk at a time.
class Pending {
public:
    explicit Pending(tamarin_writer::AtomicFile& file) : m_file(file), m_bytes(kChunk) {}

    int Descriptor() const { return m_file.Descriptor(); }

    char* Free() { return m_bytes.data() + m_used; }
    size_t Room() const { return m_bytes.size() - m_used; }
    void Added(size_t length) { m_used += length; }

    // True on failure with a reason.
    bool Flush(std::string* error) {
        if (m_used != 0 && m_file.Write(m_bytes.data(), m_used, error)) return true;
        m_used = 0;
        return false;
    }
    bool Write(const char* bytes, size_t length, std::string* error) {
        if (length > Room()) return Flush(error) || m_file.Write(bytes, length, error);
        std::copy(bytes, bytes + length, Free());
        m_used += length;
        return false;
    }

private:
    tamarin_writer::AtomicFile& m_file;
    std::vector<char> m_bytes;
    size_t m_used = 0;
};

// Copies length bytes of path from position at into the output, overlaying
// the patches. A file that is not exactly that long is not taken half-read.
// True on failure with a reason.
bool CopyInto(Pending& pending, const std::string& path, uint64_t at, uint64_t length,
              const std::vector<std::pair<uint64_t, std::string> >& patches, bool wholeFile, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return true;
    }
    const DescriptorCloser closer{fd};
    // The last read of a whole file asks for one byte more than is left:
    // a file that grew since it was measured is not taken either.
    bool checked = !wholeFile;
    bool kernelCopies = true;
    for (uint64_t done = 0; done < length;) {
        // A long stretch past every patch is copied by the kernel.
        bool patched = false;
        for (const auto& patch : patches) patched = patched || patch.first + patch.second.size() > at + done;
        if (kernelCopies && !patched && length - done >= kKernelCopyFrom) {
            if (pending.Flush(error)) return true;
            uint64_t copied = 0;
            const int reason = CopyRange(fd, at + done, pending.Descriptor(), length - done, &copied);
            if (reason == 0 && copied < length - done) {
                *error = path + " changed size while it was read";
                return true;
            }
            if (reason == 0) {
                done = length;
                break;
            }
            if (reason != ENOSYS) {
                *error = "cannot copy " + path + ": " + std::strerror(reason);
                return true;
            }
            kernelCopies = false;
        }
        if (pending.Room() == 0 && pending.Flush(error)) return true;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(pending.Room(), length - done));
        const bool last = !checked && want == length - done && want < pending.Room();
        char* const buffer = pending.Free();
        const ssize_t got = ::pread(fd, buffer, want + (last ? 1 : 0), static_cast<off_t>(at + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *error = "cannot read " + path + ": " + std::strerror(errno);
            return true;
        }
        if (got == 0 || static_cast<size_t>(got) > want) {
            *error = path + " changed size while it was read";
            return true;
        }
        checked = checked || last;
        for (const auto& patch : patches) {
            for (size_t k = 0; k < patch.second.size(); ++k) {
                const uint64_t p = patch.first + k;
                if (p >= at + done && p < at + done + static_cast<uint64_t>(got)) {
                    buffer[static_cast<size_t>(p - at - done)] = patch.second[k];
                }
            }
        }
        pending.Added(static_cast<size_t>(got));
        done += static_cast<uint64_t>(got);
    }
    char extra;
    if (!checked && ::pread(fd, &extra, 1, static_cast<off_t>(at + length)) > 0) {
        *error = path + " changed size while it was read";
        return true;
    }
    return false;
}

}  // namespace

bool WriteArchive(const std::string& output, const Image* image, bool trailer, const std::vector<Input>& inputs,
                  tamarin_writer::Version version, const Names& names, uint64_t* total, std::ostream& err) {
    tamarin_writer::Archive archive;
    archive.version = version;
    std::vector<uint64_t> sizes;
    sizes.reserve(inputs.size());
    archive.entries.reserve(inputs.size());
    for (const Input& input : inputs) {
        if (version == tamarin_writer::kPf0 && input.name.size() > 259) {
            err << "kobaru-pack: entry name '" << names.Show(input.name) << "' is " << input.name.size()
                << " bytes; a pf0 record holds at most 259\n";
            return true;
        }
        archive.entries.push_back(tamarin_writer::Entry(input.name, std::string()));
        sizes.push_back(input.size);
    }
    const uint64_t start = image != nullptr ? image->keep : 0;
    std::string head, error;
    if (start > tamarin_writer::kMaxContainer) {
        err << "kobaru-pack: " << names.ShowHost(image->path) << ": executable exceeds 2 GiB\n";
        return true;
    }
    if (tamarin_writer::EncodeHead(archive, sizes, static_cast<uint32_t>(start), &head, &error)) {
        err << "kobaru-pack: " << names.ShowHost(error) << "\n";
        return true;
    }
    archive.entries.clear();
    uint64_t data = 0;
    for (uint64_t size : sizes) data += size;
    *total = start + head.size() + data + (trailer ? 4 : 0);
    if (*total > tamarin_writer::kMaxContainer) {
        err << "kobaru-pack: " << names.ShowHost(output) << " would be " << *total
            << " bytes; an archive holds at most 2 GiB\n";
        return true;
    }
    tamarin_writer::AtomicFile file;
    Pending pending(file);
    if (file.Open(output, &error) ||
        (image != nullptr && CopyInto(pending, image->path, 0, image->keep, image->patches, false, &error)) ||
        pending.Write(head.data(), head.size(), &error)) {
        err << "kobaru-pack: " << names.ShowHost(error) << "\n";
        return true;
    }
    for (const Input& input : inputs) {
        if (CopyInto(pending, input.file, 0, input.size, {}, true, &error)) {
            err << "kobaru-pack: " << names.ShowHost(error) << "\n";
            return true;
        }
    }
    if (trailer) {
        unsigned char word[4];
        tamarin::EncodeWord(static_cast<uint32_t>(start), word);
        if (pending.Write(reinterpret_cast<const char*>(word), 4, &error)) {
            err << "kobaru-pack: " << names.ShowHost(error) << "\n";
            return true;
        }
    }
    if (pending.Flush(&error) || file.Commit(&error)) {
        err << "kobaru-pack: " << names.ShowHost(error) << "\n";
        return true;
    }
    return false;
}

}  // namespace kobaru_pack
