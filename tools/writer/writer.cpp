// Encoding of pack archives. Index values go through the library's own
// write side (CSerializer's stream, WriteInt32/WriteString,
// CHeader::Serialize), so the writer and the reader share one encoding.
#include "tamarin_writer/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "tamarin/memory.h"
#include "tamarin/pack_file.h"
#include "tamarin/serializer.h"

namespace tamarin_writer {

namespace {

const uint32_t kPf0NameField = 260;

const char* const kMagics[] = {"pf0", "pf1", "pf2", "pf3"};

bool Fail(std::string* error, const std::string& reason) {
    if (error != nullptr) *error = reason;
    return true;
}

size_t Written(tamarin::CSerializer& context) {
    return context.Stream().Position();
}

// Records where a word lies, for callers that asked (fields not null).
void Note(std::vector<Field>* fields, const Field& field) {
    if (fields != nullptr) fields->push_back(field);
}

void WriteTable(tamarin::CSerializer& context, const OffsetTable& table) {
    tamarin::WriteInt32(context, static_cast<uint32_t>(table.size()));
    for (const auto& pair : table) {
        tamarin::WriteInt32(context, pair.first);
        tamarin::WriteInt32(context, pair.second);
    }
}

// The index block of pf1-pf3 (before any XOR), for the given stored words.
// Field positions are recorded relative to the block's first byte.
std::string EncodeIndexBlock(const Archive& archive, const std::vector<uint32_t>& offsets,
                             const std::vector<uint32_t>& sizes, std::vector<Field>* fields) {
    tamarin::CSerializer context;
    Note(fields, Field{kTableCount, Written(context), 0});
    WriteTable(context, archive.indexTable);
    Note(fields, Field{kEntryCount, Written(context), 0});
    tamarin::WriteInt32(context, static_cast<uint32_t>(archive.entries.size()));
    for (size_t i = 0; i < archive.entries.size(); ++i) {
        const Entry& entry = archive.entries[i];
        Note(fields, Field{kNameLength, Written(context), i});
        tamarin::WriteString(context, entry.name);
        if (archive.version == kPf1) {
            Note(fields, Field{kOffset, Written(context), i});
            tamarin::WriteInt32(context, offsets[i]);
            Note(fields, Field{kSize, Written(context), i});
            tamarin::WriteInt32(context, sizes[i]);
            continue;
        }
        // The header block is written on a context of its own; its bytes then
        // go into the index with the same length framing as a string.
        tamarin::CSerializer nested;
        const size_t blockStart = Written(context) + 4;
        Note(fields, Field{kHeaderLength, Written(context), i});
        Note(fields, Field{kTableCount, blockStart + Written(nested), i});
        WriteTable(nested, archive.headerTable);
        const size_t pathAt = Written(nested);
        tamarin::CPackFile::CHeader header(entry.storedPath, offsets[i], sizes[i]);
        header.Serialize(nested);
        Note(fields, Field{kPathLength, blockStart + pathAt, i});
        Note(fields, Field{kOffset, blockStart + pathAt + 4 + entry.storedPath.size(), i});
        Note(fields, Field{kSize, blockStart + pathAt + 8 + entry.storedPath.size(), i});
        tamarin::WriteString(context, nested.Stream().WrittenBytes());
    }
    return context.Stream().WrittenBytes();
}

// Everything in front of the entry data: magic and index.
std::string EncodeHeadWords(const Archive& archive, const std::vector<uint32_t>& offsets,
                       const std::vector<uint32_t>& sizes, std::vector<Field>* fields) {
    tamarin::CSerializer context;
    context.Stream().Write(kMagics[archive.version], 3);
    if (archive.version == kPf0) {
        Note(fields, Field{kRecordCount, Written(context), 0});
        tamarin::WriteInt32(context, static_cast<uint32_t>(archive.entries.size()));
        for (size_t i = 0; i < archive.entries.size(); ++i) {
            unsigned char name[kPf0NameField] = {};
            const std::string& n = archive.entries[i].name;
            std::memcpy(name, n.data(), n.size());
            context.Stream().Write(name, kPf0NameField);
            Note(fields, Field{kOffset, Written(context), i});
            tamarin::WriteInt32(context, offsets[i]);
            Note(fields, Field{kSize, Written(context), i});
            tamarin::WriteInt32(context, sizes[i]);
        }
        return context.Stream().WrittenBytes();
    }
    std::vector<Field> blockFields;
    std::string block = EncodeIndexBlock(archive, offsets, sizes, fields != nullptr ? &blockFields : nullptr);
    if (archive.version == kPf3) {
        for (size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>(block[i] ^ tamarin::g_indexKeyTable[i % 20]);
        }
    }
    Note(fields, Field{kIndexLength, Written(context), 0});
    tamarin::WriteInt32(context, static_cast<uint32_t>(block.size()));
    const size_t blockStart = Written(context);
    for (Field f : blockFields) {
        f.position += blockStart;
        Note(fields, f);
    }
    context.Stream().Write(block.data(), static_cast<uint32_t>(block.size()));
    return context.Stream().WrittenBytes();
}

uint32_t LoadWord(const std::string& bytes, size_t at) {
    return tamarin::DecodeWord(reinterpret_cast<const unsigned char*>(bytes.data()) + at);
}

}  // namespace

bool ParseVersion(const std::string& text, Version* version) {
    for (int v = 0; v < 4; ++v) {
        if (text == kMagics[v] || (text.size() == 1 && text[0] == '0' + v)) {
            *version = static_cast<Version>(v);
            return false;
        }
    }
    return true;
}

const char* VersionName(Version version) {
    return kMagics[version];
}

namespace {

// The head (magic and index) for entries of the given sizes, with the field
// positions when fields is not null. True on failure with a reason.
bool Layout(const Archive& archive, const std::vector<uint64_t>& dataSizes, uint32_t base, std::string* head,
            std::vector<Field>* fields, std::string* error) {
    if (archive.version < kPf0 || archive.version > kPf3) return Fail(error, "unknown archive version");
    uint64_t dataTotal = 0;
    for (size_t i = 0; i < archive.entries.size(); ++i) {
        const Entry& entry = archive.entries[i];
        if (archive.version == kPf0) {
            if (entry.name.size() >= kPf0NameField) {
                return Fail(error, "entry name '" + entry.name + "' is " +
                                       std::to_string(entry.name.size()) +
                                       " bytes; a pf0 record holds at most 259");
            }
            if (entry.name.find('\0') != std::string::npos) {
                return Fail(error, "a pf0 entry name cannot hold a zero byte");
            }
        }
        dataTotal += dataSizes[i];
        if (dataTotal > kMaxContainer) return Fail(error, "entries exceed 2 GiB");
    }

    // The index has the same length whatever words it stores, so a first pass
    // with zeros tells where the entry data begin.
    const size_t n = archive.entries.size();
    std::vector<uint32_t> offsets(n, 0), sizes(n, 0);
    const size_t headLength = EncodeHeadWords(archive, offsets, sizes, nullptr).size();
    if (static_cast<uint64_t>(base) + headLength + dataTotal > kMaxContainer) {
        return Fail(error, "container would exceed 2 GiB");
    }

    // pf0 offsets are relative to the archive start, the others absolute.
    uint64_t at = headLength + (archive.version == kPf0 ? 0 : base);
    for (size_t i = 0; i < n; ++i) {
        const Entry& entry = archive.entries[i];
        offsets[i] = entry.storedOffset ? *entry.storedOffset : static_cast<uint32_t>(at);
        sizes[i] = entry.storedSize ? *entry.storedSize : static_cast<uint32_t>(dataSizes[i]);
        at += dataSizes[i];
    }
    *head = EncodeHeadWords(archive, offsets, sizes, fields);
    return false;
}

}  // namespace

bool EncodeArchive(const Archive& archive, uint32_t base, Encoded* out, std::string* error) {
    std::vector<uint64_t> dataSizes;
    dataSizes.reserve(archive.entries.size());
    uint64_t dataTotal = 0;
    for (const Entry& entry : archive.entries) {
        dataSizes.push_back(entry.data.size());
        dataTotal += entry.data.size();
    }
    Encoded result;
    if (Layout(archive, dataSizes, base, &result.bytes, &result.fields, error)) return true;
    result.bytes.reserve(result.bytes.size() + dataTotal);
    for (const Entry& entry : archive.entries) result.bytes += entry.data;
    result.start = 0;
    *out = std::move(result);
    return false;
}

bool EncodeHead(const Archive& archive, const std::vector<uint64_t>& sizes, uint32_t base, std::string* head,
                std::string* error) {
    if (sizes.size() != archive.entries.size()) return Fail(error, "one size per entry needed");
    return Layout(archive, sizes, base, head, nullptr, error);
}

bool CarriesArchive(const std::string& image) {
    if (image.size() >= kHeaderWordOffset + 4 && LoadWord(image, kHeaderWordOffset) != 0) return true;
    if (image.size() < 4 + 3) return false;
    const uint64_t trailer = LoadWord(image, image.size() - 4);
    if (trailer + 3 > image.size() - 4) return false;
    for (const char* magic : kMagics) {
        if (image.compare(trailer, 3, magic) == 0) return true;
    }
    return false;
}

bool AppendArchive(const std::string& image, const Archive& archive, Placement placement,
                   Encoded* out, std::string* error) {
    if (image.size() < kHeaderWordOffset + 4 || image[0] != 'M' || image[1] != 'Z') {
        return Fail(error, "not an executable image (no MZ header)");
    }
    if (CarriesArchive(image)) return Fail(error, "the executable already carries an archive");
    if (image.size() > kMaxContainer) return Fail(error, "executable exceeds 2 GiB");
    const uint32_t start = static_cast<uint32_t>(image.size());
    Encoded archiveBytes;
    if (EncodeArchive(archive, start, &archiveBytes, error)) return true;
    if (placement == kTrailerWord &&
        static_cast<uint64_t>(start) + archiveBytes.bytes.size() + 4 > kMaxContainer) {
        return Fail(error, "container would exceed 2 GiB");
    }

    Encoded result;
    result.bytes.reserve(image.size() + archiveBytes.bytes.size() + 4);
    result.bytes = image;
    unsigned char word[4];
    tamarin::EncodeWord(start, word);
    if (placement == kHeaderWord) {
        std::memcpy(&result.bytes[kHeaderWordOffset], word, 4);
    }
    result.bytes += archiveBytes.bytes;
    if (placement == kTrailerWord) {
        result.bytes.append(reinterpret_cast<const char*>(word), 4);
    }
    result.fields = std::move(archiveBytes.fields);
    for (Field& f : result.fields) f.position += start;
    result.start = start;
    *out = std::move(result);
    return false;
}

std::string VolumeName(const std::string& path, unsigned index) {
    char suffix[16];
    std::snprintf(suffix, sizeof(suffix), ".%03u", index);
    return path + suffix;
}

namespace {

// The few file calls of AtomicFile, on POSIX systems and on Windows (where
// the tests of the Windows builds write archives too).
#ifdef _WIN32
int CreateExclusive(const char* path) {
    return ::_open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long WriteSome(int fd, const char* bytes, size_t length) {
    return ::_write(fd, bytes, static_cast<unsigned>(std::min<size_t>(length, size_t(1) << 30)));
}
int CloseFile(int fd) { return ::_close(fd); }
void RemoveFile(const char* path) { ::_unlink(path); }
void KeepMode(int, const std::string&) {}
#else
int CreateExclusive(const char* path) { return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }
long WriteSome(int fd, const char* bytes, size_t length) { return static_cast<long>(::write(fd, bytes, length)); }
int CloseFile(int fd) { return ::close(fd); }
void RemoveFile(const char* path) { ::unlink(path); }
// The mode of a file that is being replaced is kept (an executable stays one).
void KeepMode(int fd, const std::string& path) {
    struct stat old;
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(fd, old.st_mode & 07777);
}
#endif

}  // namespace

AtomicFile::~AtomicFile() { Discard(); }

void AtomicFile::Discard() {
    if (m_fd >= 0) CloseFile(m_fd);
    if (!m_temp.empty()) RemoveFile(m_temp.c_str());
    m_fd = -1;
    m_temp.clear();
}

bool AtomicFile::Open(const std::string& path, std::string* error) {
    Discard();
    m_path = path;
#ifdef _WIN32
    const size_t slash = path.find_last_of("/\\");
#else
    const size_t slash = path.rfind('/');
#endif
    const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    // A name that is taken (a file left by an interrupted run, or one of the
    // user's) is never overwritten: a number is added instead.
    const std::string base = path.substr(0, nameAt) + "." + path.substr(nameAt) + ".partial";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = attempt == 0 ? base : base + "." + std::to_string(attempt);
        m_fd = CreateExclusive(temp.c_str());
        if (m_fd >= 0) {
            m_temp = temp;
            return false;
        }
        if (errno != EEXIST) break;
    }
    return Fail(error, "cannot create " + path + ": " + std::strerror(errno));
}

bool AtomicFile::Write(const void* bytes, size_t length, std::string* error) {
    const char* p = static_cast<const char*>(bytes);
    while (length > 0) {
        const long done = WriteSome(m_fd, p, length);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            const int reason = done < 0 ? errno : ENOSPC;
            Discard();
            return Fail(error, "cannot write " + m_path + ": " + std::strerror(reason));
        }
        p += done;
        length -= static_cast<size_t>(done);
    }
    return false;
}

bool AtomicFile::Commit(std::string* error) {
    KeepMode(m_fd, m_path);
    const int closed = CloseFile(m_fd);
    const int closeError = errno;
    m_fd = -1;
    if (closed != 0) {
        Discard();
        return Fail(error, "cannot write " + m_path + ": " + std::strerror(closeError));
    }
    // std::filesystem's rename replaces an existing file on Windows too.
    std::error_code ec;
    std::filesystem::rename(m_temp, m_path, ec);
    if (ec) {
        Discard();
        return Fail(error, "cannot replace " + m_path + ": " + ec.message());
    }
    m_temp.clear();
    return false;
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
    AtomicFile file;
    return file.Open(path, error) || file.Write(bytes.data(), bytes.size(), error) || file.Commit(error);
}

bool SizeOfRegularFile(const std::string& path, uintmax_t* size, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec) return Fail(error, "cannot open " + path + ": " + ec.message());
    if (fs::is_directory(status)) return Fail(error, path + " is a folder");
    if (!fs::is_regular_file(status)) {
        return Fail(error, path + " is not a regular file (a device, pipe or socket)");
    }
    *size = fs::file_size(path, ec);
    if (ec) return Fail(error, "cannot open " + path + ": " + ec.message());
    if (*size > kMaxContainer) {
        return Fail(error, path + " is " + std::to_string(*size) + " bytes; an archive holds at most 2 GiB");
    }
    return false;
}

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
    // The kind and size are known before a byte is read: a file too large
    // for any archive is never read.
    uintmax_t size = 0;
    if (SizeOfRegularFile(path, &size, error)) return true;
    FILE* stream = std::fopen(path.c_str(), "rb");
    if (stream == nullptr) return Fail(error, "cannot open " + path + ": " + std::strerror(errno));
    std::string content(static_cast<size_t>(size), '\0');
    const size_t got = content.empty() ? 0 : std::fread(&content[0], 1, content.size(), stream);
    const int readError = errno;
    const bool failed = std::ferror(stream) != 0;
    // A file that changed size since it was measured is not taken half-read.
    const bool grew = !failed && got == content.size() && std::fgetc(stream) != EOF;
    std::fclose(stream);
    if (failed) return Fail(error, "cannot read " + path + ": " + std::strerror(readError));
    if (got != content.size() || grew) return Fail(error, path + " changed size while it was read");
    *bytes = std::move(content);
    return false;
}

}  // namespace tamarin_writer
