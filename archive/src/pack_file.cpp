// Reader of named entries in pack archives.
#include "tamarin/pack_file.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include <boost/make_shared.hpp>

#include "tamarin/path.h"
#include "tamarin/serializer.h"

namespace tamarin {

std::string g_rootArchivePath("root.pfs");
std::string g_archiveExtension(".pfs");
ArchiveRegistry g_archiveRegistry;
NameSet g_missingNames;
unsigned char g_indexKeyTable[20] = {0};

void ResetArchiveStateForTesting() {
    g_rootArchivePath = "root.pfs";
    g_archiveExtension = ".pfs";
    g_archiveRegistry.clear();
    g_missingNames.clear();
    std::memset(g_indexKeyTable, 0, sizeof(g_indexKeyTable));
}

namespace {

const uint32_t kVolumeCount = 1000;
// Executable header word that holds the archive start when non-zero.
const long kHeaderWordOffset = 28;
// pf0 record: 260-byte name field, offset word, size word.
const uint32_t kNameFieldSize = 260;
const uint32_t kRecordSize = kNameFieldSize + 8;

// Moves to an absolute position a 32-bit offset names. Positions that do not
// fit the C library's long (32 bits on Windows) fail instead of wrapping.
bool SeekTo(FILE* stream, int64_t position) {
    if (position < 0 || position > 0x7FFFFFFF) return false;
    return std::fseek(stream, static_cast<long>(position), SEEK_SET) == 0;
}

// A word that cannot be read whole is 0.
uint32_t ReadWord(FILE* stream) {
    unsigned char word[4];
    if (std::fread(word, 1, 4, stream) != 4) return 0;
    return DecodeWord(word);
}

// Bytes of the stream after its current position; 0 when unknown.
uint32_t RemainingInStream(FILE* stream) {
    const long position = std::ftell(stream);
    const int32_t size = MeasureStream(stream);
    if (position < 0 || size < 0 || size <= position) return 0;
    return static_cast<uint32_t>(size - position);
}

std::string VolumeName(const std::string& path, uint32_t number) {
    char suffix[16];
    std::snprintf(suffix, sizeof(suffix), ".%03d", static_cast<int>(number));
    return path + suffix;
}

// The name as indexes hold it: "/" is read as "\\".
std::string NormaliseName(const char* name) {
    std::string normalised(name);
    std::replace(normalised.begin(), normalised.end(), '/', '\\');
    return normalised;
}

}  // namespace

std::string ContainerPathOf(const std::string& archivePath, const CPackFile::CHeader& h) {
    return archivePath + h.containerPath;
}

CPackFile::CHeader::CHeader() : offset(0), size(0) {}

CPackFile::CHeader::CHeader(const std::string& containerPath, uint32_t offset, uint32_t size)
    : containerPath(containerPath), offset(offset), size(size) {}

CPackFile::CHeader::~CHeader() {}

void CPackFile::CHeader::Serialize(CSerializer& context) {
    WriteString(context, containerPath);
    WriteInt32(context, offset);
    WriteInt32(context, size);
}

void CPackFile::CHeader::Deserialize(CSerializer& context) {
    ReadString(context, containerPath);
    ReadInt32(context, offset);
    ReadInt32(context, size);
}

CPackFile::CPackFile() {}

CPackFile::~CPackFile() {}

CFile* CPackFile::Clone(bool copy) {
    CPackFile* clone = new (std::nothrow) CPackFile;
    if (clone == nullptr) return nullptr;
    if (copy && m_handle != nullptr) {
        // Reopen the container (the file itself for a plain file) and take
        // the same absolute position, so each object closes its own stream.
        const std::string& file = m_header.containerPath.empty() ? m_path : m_header.containerPath;
        const long position = std::ftell(m_handle);
        try {
            if (position >= 0 && !clone->CFile::Open(file.c_str()) &&
                std::fseek(clone->m_handle, position, SEEK_SET) == 0) {
                clone->m_path = m_path;
                clone->m_header = m_header;
                return clone;
            }
        } catch (...) {
        }
        clone->Close();
    }
    return clone;
}

bool CPackFile::OpenEntry(const std::string& archivePath, const CHeader& h, const std::string& name) {
    // h and archivePath may live in the registry; copy them before anything
    // else runs.
    const CHeader entry(ContainerPathOf(archivePath, h), h.offset, h.size);
    if (CFile::Open(entry.containerPath.c_str())) {
        // No stream to read the entry from: fail rather than report an
        // entry whose reads return nothing.
        m_header = CHeader();
        return true;
    }
    m_header = entry;
    m_path = name;
    Seek(0, SEEK_SET);
    return false;
}

bool CPackFile::Open(const char* name) {
    try {
        return OpenName(name);
    } catch (...) {
        // No memory for a name, an index or the process-wide sets: the
        // entry cannot be opened.
        Close();
        return true;
    }
}

bool CPackFile::OpenName(const char* name) {
    if (name == nullptr) {
        if (m_handle != nullptr) Close();
        return true;
    }
    const std::string normalised = NormaliseName(name);
    const bool hasSeparator = normalised.find('\\') != std::string::npos;

    // A plain file of that name wins over every archive.
    if (!CFile::Open(normalised.c_str())) {
        m_header = CHeader(std::string(), 0, static_cast<uint32_t>(MeasureStream(m_handle)));
        return false;
    }

    if (const CHeader* h = FindInRoot(normalised)) return OpenEntry(g_rootArchivePath, *h, normalised);

    if (!hasSeparator) return true;
    if (g_missingNames.find(normalised) != g_missingNames.end()) return true;

    std::vector<std::string> components;
    SplitTokens(normalised.c_str(), components, "\\");

    // Each prefix of the name may be an archive (as it is or with the
    // extension) that holds the rest. Archives already registered are tried
    // first, so a hit there never mounts anything.
    for (int pass = 0; pass < 2; ++pass) {
        const bool mount = pass == 1;
        std::string prefix;
        for (size_t k = 0; k < components.size(); ++k) {
            prefix += components[k];
            const std::string withExtension = prefix + g_archiveExtension;
            const std::string* archive = nullptr;
            if (mount ? !Mount(prefix.c_str())
                      : g_archiveRegistry.find(prefix) != g_archiveRegistry.end()) {
                archive = &prefix;
            } else if (mount ? !Mount(withExtension.c_str())
                             : g_archiveRegistry.find(withExtension) != g_archiveRegistry.end()) {
                archive = &withExtension;
            }
            if (archive != nullptr) {
                const HeaderMap& index = g_archiveRegistry[*archive];
                HeaderMap::const_iterator it = index.find(JoinPathTail(components, k));
                if (it != index.end()) return OpenEntry(*archive, it->second, normalised);
            }
            prefix += '\\';
        }
    }

    g_missingNames.insert(normalised);
    return true;
}

bool CPackFile::OpenRootEntry(const char* name) {
    try {
        if (name != nullptr) {
            const std::string normalised = NormaliseName(name);
            if (const CHeader* h = FindInRoot(normalised)) return OpenEntry(g_rootArchivePath, *h, normalised);
        }
    } catch (...) {
        // No memory for the name or the root archive's index.
    }
    // Mount may have left the archive's stream open.
    if (m_handle != nullptr) Close();
    return true;
}

const CPackFile::CHeader* CPackFile::FindInRoot(const std::string& normalised) {
    if (Mount(g_rootArchivePath.c_str())) return nullptr;
    const ArchiveRegistry::const_iterator root = g_archiveRegistry.find(g_rootArchivePath);
    if (root == g_archiveRegistry.end()) return nullptr;
    const HeaderMap::const_iterator it = root->second.find(normalised);
    return it == root->second.end() ? nullptr : &it->second;
}

uint32_t CPackFile::Read(void* buffer, uint32_t length) {
    const int32_t position = Tell();
    if (m_handle == nullptr) return 0;
    // Outside the entry there is no end to measure against.
    if (position < 0) return 0;
    const uint32_t left = m_header.size - static_cast<uint32_t>(position);
    if (length > left) length = left;
    return static_cast<uint32_t>(std::fread(buffer, 1, length, m_handle));
}

int32_t CPackFile::Seek(int32_t offset, int origin) {
    const int64_t start = m_header.offset;
    const int64_t end = start + m_header.size;
    switch (origin) {
    case SEEK_SET:
        if (m_handle == nullptr) return -1;
        return SeekTo(m_handle, start + offset) ? 0 : -1;
    case SEEK_END:
        if (m_handle == nullptr) return -1;
        return SeekTo(m_handle, end + offset) ? 0 : -1;
    case SEEK_CUR: {
        // Relative moves stay inside the entry; one that would leave it
        // moves nothing and is not reported.
        if (m_handle == nullptr) return 0;
        const long current = std::ftell(m_handle);
        if (current < 0) return 0;
        const int64_t target = static_cast<int64_t>(current) + offset;
        if (target < start || target > end) return 0;
        return SeekTo(m_handle, target) ? 0 : -1;
    }
    default:
        return -1;
    }
}

int32_t CPackFile::Tell() {
    if (m_handle == nullptr) return -1;
    const long current = std::ftell(m_handle);
    if (current < 0) return -1;
    const int64_t position = static_cast<int64_t>(current) - m_header.offset;
    if (position < 0 || position > static_cast<int64_t>(m_header.size)) return -1;
    return static_cast<int32_t>(position);
}

int32_t CPackFile::GetSize() {
    return static_cast<int32_t>(m_header.size);
}

int CPackFile::Close() {
    if (m_handle == nullptr) return -1;
    // Emptied in place: nothing here may fail to allocate.
    m_header.containerPath.clear();
    m_header.offset = 0;
    m_header.size = 0;
    return CFile::Close();
}

std::string CPackFile::GetContainerPath() const {
    try {
        return m_header.containerPath;
    } catch (...) {
        return std::string();
    }
}

bool CPackFile::ListEntries(const char* path, std::list<std::string>& entries) {
    if (path == nullptr) return true;
    try {
        // path may be GetPath().c_str(), which the mount changes.
        const std::string key(path);
        if (Mount(key.c_str())) return true;
        const ArchiveRegistry::const_iterator archive = g_archiveRegistry.find(key);
        std::list<std::string> names;
        if (archive != g_archiveRegistry.end()) {
            for (HeaderMap::const_iterator it = archive->second.begin(); it != archive->second.end();
                 ++it) {
                names.push_back(it->first);
            }
        }
        // Built aside, so a failure leaves entries untouched.
        entries.swap(names);
        return false;
    } catch (...) {
        return true;
    }
}

bool CPackFile::Mount(const char* path) {
    return MountArchive(path, false);
}

bool CPackFile::MountArchive(const char* path, bool thisFileOnly) {
    if (path == nullptr) return true;
    HeaderMap* index = nullptr;
    try {
        // path may be GetPath().c_str(), which opening the file changes.
        const std::string key(path);
        if (g_archiveRegistry.find(key) != g_archiveRegistry.end()) return false;
        if (CFile::Open(key.c_str())) return true;
        // Registered from here on, whatever the contents turn out to be, so
        // a damaged file is read only once.
        index = &g_archiveRegistry[key];
        return MountOpened(key, *index, thisFileOnly);
    } catch (...) {
        // No memory for the index (a damaged length can ask for more than a
        // 32-bit process has): the archive stays registered, empty, as a
        // file that is not an archive does. Swapping frees its buckets too.
        if (index != nullptr) HeaderMap().swap(*index);
        return true;
    }
}

bool CPackFile::MountOpened(const std::string& key, HeaderMap& index, bool thisFileOnly) {
    unsigned char magic[4] = {0, 0, 0, 0};
    std::fread(magic, 1, 3, m_handle);
    uint32_t start = 0;
    if (magic[0] == 'M' && magic[1] == 'Z') {
        // An executable: the archive starts where its header word says, or
        // where its last four bytes say when the header word is 0.
        if (std::fseek(m_handle, kHeaderWordOffset, SEEK_SET) == 0) start = ReadWord(m_handle);
        if (start == 0 && std::fseek(m_handle, -4, SEEK_END) == 0) start = ReadWord(m_handle);
        std::memset(magic, 0, sizeof(magic));
        if (SeekTo(m_handle, start)) std::fread(magic, 1, 3, m_handle);
    }

    const char* version = reinterpret_cast<const char*>(magic);
    if (std::strcmp(version, "pf0") == 0) {
        const uint32_t count = ReadWord(m_handle);
        for (uint32_t i = 0; i < count; ++i) {
            unsigned char record[kRecordSize];
            // A short record means the archive is cut; what was read stays.
            if (std::fread(record, 1, kRecordSize, m_handle) != kRecordSize) return true;
            // The name ends at its first zero byte; a field without one is
            // taken whole.
            const void* zero = std::memchr(record, 0, kNameFieldSize);
            const size_t nameLength = zero != nullptr
                ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - record)
                : kNameFieldSize;
            const std::string name(reinterpret_cast<const char*>(record), nameLength);
            // pf0 offsets count from the magic; later records win.
            index[name] = CHeader(std::string(), DecodeWord(record + kNameFieldSize) + start,
                                  DecodeWord(record + kNameFieldSize + 4));
        }
    } else if (std::strcmp(version, "pf1") == 0 || std::strcmp(version, "pf2") == 0 ||
               std::strcmp(version, "pf3") == 0) {
        const uint32_t length = ReadWord(m_handle);
        // The length may be damage: never allocate far beyond what the file
        // can still supply.
        if (!LengthWithinBound(length, RemainingInStream(m_handle))) return true;
        boost::shared_ptr<CMemory> block = boost::make_shared<CMemory>(length);
        // Bytes the file does not hold stay zero.
        std::fread(block->Bytes(), 1, length, m_handle);
        if (magic[2] == '3') {
            unsigned char* bytes = block->Bytes();
            for (uint32_t i = 0; i < length; ++i) bytes[i] ^= g_indexKeyTable[i % 20];
        }
        CSerializer serializer;
        Attach(serializer, block);
        if (magic[2] == '1') {
            EntryMap entries;
            ReadEntryMap(serializer, entries);
            // Each entry leaves the temporary map as it enters the index, so
            // the two are never both whole.
            for (EntryMap::iterator it = entries.begin(); it != entries.end(); it = entries.erase(it)) {
                index[it->first] = CHeader(std::string(), it->second.first, it->second.second);
            }
        } else {
            // The stored container path is whatever the packer wrote; the
            // entry lives in the file mounted here, which the registry names
            // by the empty path relative to key.
            const std::string here;
            ReadHeaderMap(serializer, index, &here);
        }
    } else {
        return true;
    }

    if (thisFileOnly) return false;

    // Every volume number is tried: a missing one does not end the series.
    for (uint32_t i = 0; i < kVolumeCount; ++i) {
        const std::string volume = VolumeName(key, i);
        if (MountArchive(volume.c_str(), true)) continue;
        const HeaderMap& entries = g_archiveRegistry[volume];
        HeaderMap& merged = g_archiveRegistry[key];
        // Relative to key, the volume's entries live in ".NNN" (and further
        // on should the volume have been mounted with volumes of its own).
        const std::string suffix = volume.substr(key.size());
        for (HeaderMap::const_iterator it = entries.begin(); it != entries.end(); ++it) {
            merged[it->first] = CHeader(suffix + it->second.containerPath, it->second.offset, it->second.size);
        }
    }
    return false;
}

}  // namespace tamarin
