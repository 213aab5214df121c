// Host-side writer of pack archives: builds the bytes of an archive of any
// version in memory, appends archives behind executable images and writes
// files without ever leaving a half-written one. Used by the pack tool and by
// the tests, which also need archives no packager would make (duplicate
// names, stored offsets and sizes that lie, offset tables of their own).
#ifndef TAMARIN_WRITER_WRITER_H_
#define TAMARIN_WRITER_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tamarin_writer {

enum Version { kPf0 = 0, kPf1 = 1, kPf2 = 2, kPf3 = 3 };

// Parses "pf0".."pf3" (or "0".."3"). True on failure.
bool ParseVersion(const std::string& text, Version* version);
const char* VersionName(Version version);

// One entry as it is written. Names are bytes, passed through unconverted.
struct Entry {
    Entry() {}
    Entry(std::string n, std::string d) : name(std::move(n)), data(std::move(d)) {}

    std::string name;
    std::string data;
    // When set, written instead of the computed value (for damaged archives).
    std::optional<uint32_t> storedOffset;
    std::optional<uint32_t> storedSize;
    // pf2/pf3: the container path inside the header record. Readers replace
    // it with the path they opened, so it only matters byte for byte.
    std::string storedPath;
};

// (id, position) pairs that lead a block of the pf1-pf3 index.
typedef std::vector<std::pair<uint32_t, uint32_t> > OffsetTable;

struct Archive {
    Version version = kPf2;
    // In this order; duplicates are written as given.
    std::vector<Entry> entries;
    // Leads the index block (pf1-pf3).
    OffsetTable indexTable;
    // Leads every header block (pf2/pf3).
    OffsetTable headerTable;
};

// Where the word fields of an encoded archive lie, so tests can damage them.
enum FieldKind {
    kRecordCount,    // pf0 record count
    kIndexLength,    // L of pf1-pf3
    kTableCount,     // offset table count of the index block or a header block
    kEntryCount,     // m of pf1-pf3
    kNameLength,     // length word of an entry name (pf1-pf3)
    kHeaderLength,   // length word of a header block (pf2/pf3)
    kPathLength,     // length word of the stored container path (pf2/pf3)
    kOffset,         // stored offset of an entry
    kSize,           // stored size of an entry
};

struct Field {
    FieldKind kind;
    size_t position;  // of the word's first byte in Encoded::bytes
    size_t entry;     // entry index; 0 for archive-wide fields
};

struct Encoded {
    std::string bytes;
    std::vector<Field> fields;
    // Position of the magic in bytes (the archive start A).
    uint32_t start = 0;
};

// Encodes archive as it lies at container position base (the length of
// whatever precedes it in the container; 0 for a file of its own). Entry
// data follow the index in entry order. pf0 offsets are relative to the
// archive start, pf1-pf3 offsets count from the container's first byte.
// True on failure with a reason in *error (out untouched).
bool EncodeArchive(const Archive& archive, uint32_t base, Encoded* out, std::string* error);

// The bytes in front of the entry data (magic and index) of an archive at
// container position base whose entries, in entry order, will be sizes[i]
// bytes long; entry data are not looked at. For writers that stream the
// entries behind it. True on failure with a reason in *error.
bool EncodeHead(const Archive& archive, const std::vector<uint64_t>& sizes, uint32_t base, std::string* head,
                std::string* error);

// How the archive start is recorded in an executable.
enum Placement {
    kHeaderWord,   // the word at offset 28
    kTrailerWord,  // the last 4 bytes; the word at offset 28 stays 0
};

// Offset of the header word that records the archive start.
const size_t kHeaderWordOffset = 28;

// True when image already carries an archive: a non-zero header word, or a
// trailer word that points at a version magic inside the image.
bool CarriesArchive(const std::string& image);

// image ("MZ", at least 32 bytes, carrying no archive) followed by archive,
// its start recorded as placement says. Field positions count from the
// image's first byte. True on failure with a reason in *error.
bool AppendArchive(const std::string& image, const Archive& archive, Placement placement,
                   Encoded* out, std::string* error);

// "<path>.%03d": the name of volume index of the archive at path.
std::string VolumeName(const std::string& path, unsigned index);

// Writes bytes to path through a temporary file in the same folder that is
// renamed over path, so path is either untouched or complete. True on
// failure with a one-line reason in *error that names path (not the
// temporary file) and gives the system's reason.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error);

// A file written through a temporary file in the same folder that is renamed
// over path by Commit, so path is either untouched or complete. Without a
// Commit the temporary file is removed. Messages name path, never the
// temporary file.
class AtomicFile {
public:
    AtomicFile() {}
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file. True on failure with a reason.
    bool Open(const std::string& path, std::string* error);
    // True on failure with a reason (the temporary file is then removed).
    bool Write(const void* bytes, size_t length, std::string* error);
    // Closes the temporary file and renames it over path; a file being
    // replaced keeps its mode (an executable stays one). True on failure.
    bool Commit(std::string* error);
    // The temporary file's descriptor, for copies made by the kernel; -1
    // when none is open.
    int Descriptor() const { return m_fd; }

private:
    void Discard();

    std::string m_path;
    std::string m_temp;
    int m_fd = -1;
};

// Positions and sizes are signed 32-bit values in the reader: no archive,
// container or stored file may pass this many bytes.
const uint64_t kMaxContainer = 0x7FFFFFFF;

// Checks, from its status alone and before a byte is read, that path is a
// regular file of at most kMaxContainer bytes, and gives its size. Folders
// and devices are refused by name. True on failure with a one-line reason in
// *error that names path.
bool SizeOfRegularFile(const std::string& path, uintmax_t* size, std::string* error);

// Reads a whole regular file of at most 2 GiB. Folders, devices and larger
// files are refused from their status, before anything is read. True on
// failure with a one-line reason in *error that names path.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error);

}  // namespace tamarin_writer

#endif  // TAMARIN_WRITER_WRITER_H_
