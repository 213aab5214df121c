// The index of an archive as the reader decodes it, and what can be checked
// from it without reading an entry.
#include "reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <string_view>
#include <unordered_set>

#include "inputs.h"
#include "tamarin/memory.h"
#include "tamarin/pack_file.h"
#include "tamarin/path.h"
#include "tamarin_writer/writer.h"

namespace kobaru_pack {

namespace {

// Closes a C stream when it goes.
struct StreamCloser {
    void operator()(FILE* stream) const { std::fclose(stream); }
};
typedef std::unique_ptr<FILE, StreamCloser> Stream;

// Reads length bytes at position; false when they are not all there.
bool ReadAt(FILE* stream, uint64_t position, unsigned char* bytes, size_t length) {
    return position <= static_cast<uint64_t>(INT32_MAX) &&
           std::fseek(stream, static_cast<long>(position), SEEK_SET) == 0 &&
           std::fread(bytes, 1, length, stream) == length;
}

// Checks what the reader does not: that the path is a readable file and that
// the index it will decode lies whole inside it. True on failure, after a
// message.
bool CheckContainer(const std::string& path, const Names& names, std::ostream& err) {
    uintmax_t size = 0;
    std::string error;
    if (tamarin_writer::SizeOfRegularFile(path, &size, &error)) {
        err << "kobaru-pack: " << names.ShowHost(error) << "\n";
        return true;
    }
    Stream stream(std::fopen(path.c_str(), "rb"));
    if (!stream) {
        err << "kobaru-pack: cannot open " << names.ShowHost(path) << ": " << std::strerror(errno) << "\n";
        return true;
    }
    // Where the reader looks for the magic: behind an executable, the header
    // word at offset 28, else the trailer word.
    unsigned char head[32] = {};
    const bool executable = ReadAt(stream.get(), 0, head, 2) && head[0] == 'M' && head[1] == 'Z';
    uint64_t start = 0;
    if (executable) {
        unsigned char word[4] = {};
        if (ReadAt(stream.get(), 28, word, 4)) start = tamarin::DecodeWord(word);
        if (start == 0 && size >= 4 && ReadAt(stream.get(), size - 4, word, 4)) start = tamarin::DecodeWord(word);
    }
    unsigned char magic[7] = {};
    const bool whole = ReadAt(stream.get(), start, magic, 7);
    if (!whole || magic[0] != 'p' || magic[1] != 'f' || magic[2] < '0' || magic[2] > '3') {
        err << "kobaru-pack: " << names.ShowHost(path)
            << (executable ? ": executable carries no archive\n" : ": not an archive\n");
        return true;
    }
    const uint64_t count = tamarin::DecodeWord(magic + 3);
    const uint64_t indexLength = magic[2] == '0' ? count * 268 : count;
    if (indexLength > size - start - 7) {
        err << "kobaru-pack: " << names.ShowHost(path) << ": the index runs past the end of the file (cut short?)\n";
        return true;
    }
    return false;
}

}  // namespace

bool LoadArchive(const std::string& path, const Names& names, Index* index, std::ostream& err) {
    if (CheckContainer(path, names, err)) return true;
    // Mounted under the path as given: containers are then spelt as the user
    // wrote the archive's path, and no entry is ever opened through the
    // reader's name lookup, which would try a plain file of the name first.
    tamarin::CPackFile reader;
    if (reader.Mount(path.c_str())) {
        err << "kobaru-pack: " << names.ShowHost(path) << ": not an archive, or its index is cut short\n";
        return true;
    }
    // No entry is opened through the reader afterwards: each decoded entry
    // is taken out of the registry as it is copied, so the index is never
    // held twice.
    tamarin::HeaderMap& headers = tamarin::g_archiveRegistry[path];
    index->clear();
    index->reserve(headers.size());
    // Volumes are told apart by the suffix the registry keeps for them.
    std::map<std::string, uint32_t> containerIds;
    for (auto item = headers.begin(); item != headers.end(); item = headers.erase(item)) {
        IndexEntry entry;
        entry.name = item->first;
        entry.container = tamarin::ContainerPathOf(path, item->second);
        entry.containerId =
            containerIds.emplace(item->second.containerPath, static_cast<uint32_t>(containerIds.size())).first->second;
        entry.offset = item->second.offset;
        entry.size = item->second.size;
        index->push_back(std::move(entry));
    }
    tamarin::g_archiveRegistry.clear();
    std::sort(index->begin(), index->end(), [](const IndexEntry& a, const IndexEntry& b) { return a.name < b.name; });
    return false;
}

bool SafeSeparators(const std::string& name, std::vector<size_t>* separators) {
    separators->clear();
    if (name.empty() || name[0] == '\\') return false;
    size_t partStart = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        const unsigned char c = i < name.size() ? static_cast<unsigned char>(name[i]) : '\\';
        if (c == 0 || c == '/' || c == ':') return false;
        if (c == '\\') {
            const size_t length = i - partStart;
            if (length == 0 || (length == 1 && name[partStart] == '.') ||
                (length == 2 && name[partStart] == '.' && name[partStart + 1] == '.')) {
                return false;
            }
            if (i < name.size()) separators->push_back(i);
            partStart = i + 1;
        } else if (tamarin::IsLeadByte(c) && i + 1 < name.size()) {
            // The trail byte is no separator, but a zero, '/' or ':' byte
            // there is refused as anywhere else.
            const char trail = name[++i];
            if (trail == 0 || trail == '/' || trail == ':') return false;
        }
    }
    return true;
}

size_t EntryLookup::Find(std::string_view name) const {
    const auto found = std::lower_bound(m_index.begin(), m_index.end(), name,
                                        [](const IndexEntry& e, std::string_view n) { return e.name < n; });
    return found != m_index.end() && found->name == name ? static_cast<size_t>(found - m_index.begin())
                                                         : m_index.size();
}

bool EntryLookup::IsFolderEntry(std::string_view folder, size_t depth) {
    if (m_known.size() <= depth) m_known.resize(depth + 1);
    std::pair<std::string_view, bool>& known = m_known[depth];
    if (known.first.data() == nullptr || known.first != folder) known = std::make_pair(folder, Find(folder) != m_index.size());
    return known.second;
}

bool ContainerSizes::SizeOf(const std::string& container, uint64_t* size) {
    auto found = m_sizes.find(container);
    if (found == m_sizes.end()) {
        struct stat status;
        const bool ok = ::stat(container.c_str(), &status) == 0 && S_ISREG(status.st_mode);
        found = m_sizes.emplace(container, ok ? static_cast<int64_t>(status.st_size) : -1).first;
    }
    if (found->second < 0) return true;
    *size = static_cast<uint64_t>(found->second);
    return false;
}

std::string SpanProblem(const IndexEntry& entry, ContainerSizes& sizes, const Names& names) {
    uint64_t containerSize = 0;
    if (sizes.SizeOf(entry.container, &containerSize) || entry.offset > containerSize ||
        entry.size > containerSize - entry.offset) {
        return "(" + std::to_string(entry.offset) + ", " + std::to_string(entry.size) + ") lies outside " +
               names.ShowHost(entry.container);
    }
    return std::string();
}

size_t CheckIndex(const Index& index, const Names& names, std::ostream& err) {
    ContainerSizes sizes;
    size_t problems = 0;
    std::vector<size_t> separators;
    EntryLookup lookup(index);
    for (const IndexEntry& entry : index) {
        std::string error;
        if (!SafeSeparators(entry.name, &separators)) {
            const char* problem = NameProblem(entry.name);
            error = problem != nullptr ? problem : "cannot be split into folder names";
        } else {
            for (size_t depth = 0; depth < separators.size(); ++depth) {
                const std::string_view folder(entry.name.data(), separators[depth]);
                if (lookup.IsFolderEntry(folder, depth)) {
                    error = "lies below the entry '" + names.Show(std::string(folder)) + "', so it cannot be extracted";
                    break;
                }
            }
        }
        if (error.empty()) error = SpanProblem(entry, sizes, names);
        if (!error.empty() || names.NotText(entry.name, &error)) {
            err << "kobaru-pack: entry '" << names.Show(entry.name) << "' " << error << "\n";
            ++problems;
        }
    }
    return problems;
}

std::vector<size_t> InOffsetOrder(const Index& index, const std::vector<size_t>& positions) {
    std::vector<size_t> order = positions;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const IndexEntry& x = index[a];
        const IndexEntry& y = index[b];
        if (x.containerId != y.containerId) return x.containerId < y.containerId;
        return x.offset != y.offset ? x.offset < y.offset : a < b;
    });
    return order;
}

int CopyRange(int in, uint64_t offset, int out, uint64_t length, uint64_t* copied) {
    *copied = 0;
    loff_t from = static_cast<loff_t>(offset);
    while (*copied < length) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(length - *copied, uint64_t(1) << 30));
        const ssize_t done = ::copy_file_range(in, &from, out, nullptr, want, 0);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) {
            const int reason = errno;
            const bool unsupported = reason == ENOSYS || reason == EXDEV || reason == EINVAL ||
                                     reason == EOPNOTSUPP || reason == EBADF;
            return unsupported && *copied == 0 ? ENOSYS : reason;
        }
        if (done == 0) break;
        *copied += static_cast<uint64_t>(done);
    }
    return 0;
}

ContainerReader::ContainerReader() : m_window(kChunk) {}

ContainerReader::~ContainerReader() {
    if (m_fd >= 0) ::close(m_fd);
}

bool ContainerReader::Open(const std::string& container, std::string* error) {
    if (m_fd >= 0 && container == m_path) return false;
    if (m_fd >= 0) ::close(m_fd);
    m_start = m_length = 0;
    m_path = container;
    m_fd = ::open(container.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        *error = "cannot open " + container + ": " + std::strerror(errno);
        return true;
    }
    return false;
}

bool ContainerReader::Fill(uint64_t at, std::string* error) {
    m_start = at;
    m_length = 0;
    while (m_length < m_window.size()) {
        const ssize_t got = ::pread(m_fd, m_window.data() + m_length, m_window.size() - m_length,
                                    static_cast<off_t>(at + m_length));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *error = "cannot be read from " + m_path + ": " + std::strerror(errno);
            return true;
        }
        if (got == 0) break;
        m_length += static_cast<uint64_t>(got);
    }
    return false;
}

}  // namespace kobaru_pack
