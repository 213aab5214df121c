// Reading archives for list, verify and extract: the index as the reader
// decodes it, checks made from the index alone, and a sequential reader of
// entry bytes that opens each container once.
#ifndef KOBARU_TOOLS_PACK_READING_H_
#define KOBARU_TOOLS_PACK_READING_H_

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "names.h"

namespace kobaru_pack {

// Closes a file descriptor when it goes out of scope.
struct DescriptorCloser {
    int fd;
    ~DescriptorCloser() { ::close(fd); }
};

// One entry of an archive's index. container is the file that holds it,
// spelt from the archive path as given (a volume adds ".NNN").
struct IndexEntry {
    std::string name;
    std::string container;
    // The same number for entries of the same container.
    uint32_t containerId = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
};

// Sorted by name.
typedef std::vector<IndexEntry> Index;

// Checks that path is a readable file whose index lies whole inside it (the
// reader reads a cut index as zero bytes, which would pass for entries), then
// decodes the index with the reader, volumes included. True on failure,
// after a one-line message.
bool LoadArchive(const std::string& path, const Names& names, Index* index, std::ostream& err);

// Names looked up in an index: a binary search, and for the folder parts of
// names taken in order a memory per depth, as such names share their
// folders with the names before them. Views given to IsFolderEntry must
// outlive the lookup (parts of the index's own names).
class EntryLookup {
public:
    explicit EntryLookup(const Index& index) : m_index(index) {}

    // The position of name in the index, or the index's size.
    size_t Find(std::string_view name) const;
    // Whether folder, the part of a name before its separator number depth,
    // is itself an entry.
    bool IsFolderEntry(std::string_view folder, size_t depth);

private:
    const Index& m_index;
    std::vector<std::pair<std::string_view, bool> > m_known;
};

// The size of each container, looked up once.
class ContainerSizes {
public:
    // True when the container cannot be looked at.
    bool SizeOf(const std::string& container, uint64_t* size);

private:
    std::map<std::string, int64_t> m_sizes;  // -1: cannot be looked at
};

// Why an entry's bytes cannot be read from its container (it lies outside);
// empty when they can.
std::string SpanProblem(const IndexEntry& entry, ContainerSizes& sizes, const Names& names);

// Checks every entry from the index alone, without reading an entry: a name
// that is safe to extract, not below another entry, code page 932 text
// (unless names are raw), and bytes inside the container. One line per
// problem on err; the number of problems.
size_t CheckIndex(const Index& index, const Names& names, std::ostream& err);

// Positions of the separators of name: backslashes where a character begins,
// never a Shift-JIS trail byte. True when the name is one NameProblem
// accepts (checked here without building its parts).
bool SafeSeparators(const std::string& name, std::vector<size_t>* separators);

// Entry positions in the order their bytes lie: by container, then offset.
std::vector<size_t> InOffsetOrder(const Index& index, const std::vector<size_t>& positions);

// Reads entries of one container through a window, so entries read in
// offset order cost one read for many small ones.
class ContainerReader {
public:
    ContainerReader();
    ~ContainerReader();
    ContainerReader(const ContainerReader&) = delete;
    ContainerReader& operator=(const ContainerReader&) = delete;

    // Opens container, unless it is already the open one. True on failure,
    // with a reason.
    bool Open(const std::string& container, std::string* error);

    // Hands the bytes [offset, offset + size) to sink in pieces of at most
    // the window's size; sink returns true to stop (its reason set). True on
    // failure with a reason.
    template <typename Sink>
    bool Read(uint64_t offset, uint64_t size, Sink sink, std::string* error) {
        const uint64_t end = offset + size;
        for (uint64_t at = offset; at < end;) {
            if (at < m_start || at >= m_start + m_length) {
                if (Fill(at, error)) return true;
                if (m_length == 0) {
                    *error = "reads " + std::to_string(at - offset) + " of " + std::to_string(size) + " bytes";
                    return true;
                }
            }
            const uint64_t piece = std::min<uint64_t>(end, m_start + m_length) - at;
            if (sink(m_window.data() + (at - m_start), static_cast<size_t>(piece), error)) return true;
            at += piece;
        }
        return false;
    }

    // The open container's descriptor (-1 when none).
    int Descriptor() const { return m_fd; }

private:
    bool Fill(uint64_t at, std::string* error);

    std::string m_path;
    int m_fd = -1;
    std::vector<char> m_window;
    uint64_t m_start = 0;
    uint64_t m_length = 0;
};

// Copies up to length bytes of in from offset to the end of out within the
// kernel (copy_file_range), as cat does: no bytes pass through the program.
// Sets *copied to what was copied; stops early at the end of in. Returns 0,
// or an errno: ENOSYS when the kernel cannot copy between these files and
// nothing was copied (the caller then reads and writes).
int CopyRange(int in, uint64_t offset, int out, uint64_t length, uint64_t* copied);

// Entries and files from this size on are copied by the kernel.
const uint64_t kKernelCopyFrom = uint64_t(1) << 20;

// Bytes moved at a time by every command that copies files: memory stays
// bounded whatever the size of an entry or input.
const size_t kChunk = size_t(1) << 20;

}  // namespace kobaru_pack

#endif  // KOBARU_TOOLS_PACK_READING_H_
