// Reader of named entries in pack archives (".pfs" files, their numbered
// volumes, and archives appended behind an executable).
#ifndef TAMARIN_PACK_FILE_H_
#define TAMARIN_PACK_FILE_H_

#include <cstdint>
#include <list>
#include <string>

#include <boost/functional/hash.hpp>
#include <boost/unordered_map.hpp>
#include <boost/unordered_set.hpp>

#include "tamarin/file.h"
#include "tamarin/keyed_hash.h"
#include "tamarin/memory.h"

namespace tamarin {

// Opens an entry by name and reads it through CFile's interface as if it
// were a file of its own. A plain file of that name wins over any entry.
// Archives are found through the process-wide state below and decoded once
// per archive path. No operation throws: a failed allocation is a failed
// Open, Mount or ListEntries (true), Clone gives null, GetContainerPath an
// empty string. Mounting an index of L bytes costs time and memory linear
// in L, whatever its bytes.
class CPackFile : public CFile {
public:
    // Entry record: the container file that holds the entry's bytes, the
    // position of its first byte in the container and its length. A header
    // held in the archive registry names its container relative to the
    // archive it is registered under (see ContainerPathOf); the header of an
    // open CPackFile (GetHeader) names it in full.
    class CHeader : public ISerializable {
    public:
        CHeader();
        CHeader(const std::string& containerPath, uint32_t offset, uint32_t size);
        virtual ~CHeader();
        // Container path as a string, then offset and size as words.
        virtual void Serialize(CSerializer& context);
        virtual void Deserialize(CSerializer& context);

        std::string containerPath;
        uint32_t offset;
        uint32_t size;
    };

    CPackFile();
    virtual ~CPackFile();

    virtual CFile* Clone(bool copy);
    // Plain file first, then the root archive, then folder-like archives.
    // True on failure; on success positioned at the entry's first byte.
    // Also true when the entry's container cannot be opened.
    virtual bool Open(const char* name);
    // Opens name only as an entry of the root archive, never as a plain file
    // or from another archive: for programs whose payload must come from
    // their own file. True on failure, leaving nothing open.
    bool OpenRootEntry(const char* name);
    // Never reads past the entry's end; reads nothing when the position lies
    // outside the entry.
    virtual uint32_t Read(void* buffer, uint32_t length);
    virtual int32_t Seek(int32_t offset, int origin);
    // Position within the entry; -1 on failure, when Closed or outside it.
    virtual int32_t Tell();
    // The entry's size; 0 when Closed.
    virtual int32_t GetSize();
    virtual int Close();
    // Mounted archive or volume that holds the open entry; empty for a plain
    // file or a Closed object.
    virtual std::string GetContainerPath() const;
    // Mounts path and lists the names of its index (volumes included).
    // True on failure, leaving entries untouched.
    virtual bool ListEntries(const char* path, std::list<std::string>& entries);
    // Decodes path's index into the archive registry once per process; with
    // thisFileOnly false also merges volumes path.000 to path.999. True on
    // failure; the path stays registered once it could be opened.
    virtual bool MountArchive(const char* path, bool thisFileOnly);
    virtual bool Mount(const char* path);

    const CHeader& GetHeader() const { return m_header; }

private:
    typedef boost::unordered_map<std::string, CHeader, CNameHash> Index;

    // Open and MountArchive without their last line of defence: these may
    // throw std::bad_alloc.
    bool OpenName(const char* name);
    bool MountOpened(const std::string& key, Index& index, bool thisFileOnly);
    // Mounts the root archive and finds the normalised name in its index;
    // null when it is not there. The header lives in the registry.
    const CHeader* FindInRoot(const std::string& normalised);
    // Opens entry h of the registered archive archivePath under the
    // normalised name.
    bool OpenEntry(const std::string& archivePath, const CHeader& h, const std::string& name);

    CHeader m_header;
};

// Names come from archives: keyed hashing (see keyed_hash.h).
typedef boost::unordered_map<std::string, CPackFile::CHeader, CNameHash> HeaderMap;
typedef boost::unordered_map<std::string, std::pair<uint32_t, uint32_t>, CNameHash> EntryMap;
typedef boost::unordered_map<std::string, HeaderMap, boost::hash<std::string> > ArchiveRegistry;
typedef boost::unordered_set<std::string, boost::hash<std::string> > NameSet;

// The container file of h, a header of archivePath's index in the registry:
// the registry keeps only what follows archivePath in the container's path
// ("" for the archive itself, ".003" for its volume 3), so that an index's
// memory does not grow with the length of the path it was mounted under.
// May throw std::bad_alloc.
std::string ContainerPathOf(const std::string& archivePath, const CPackFile::CHeader& h);

// Process-wide state, created before the program's entry function runs.
// Archive that Open searches first; programs set it to their own path.
extern std::string g_rootArchivePath;
// Appended to folder-like name prefixes during the folder search.
extern std::string g_archiveExtension;
// Every mounted archive path with its decoded index (container paths
// relative to the key, see ContainerPathOf); only grows.
extern ArchiveRegistry g_archiveRegistry;
// Names the folder search did not find; only grows.
extern NameSet g_missingNames;
// XOR key of pf3 index blocks; nothing in the product fills it.
extern unsigned char g_indexKeyTable[20];

// Forgets every mounted archive and missing name and restores the initial
// paths. For tests only: the programs never reset the state.
void ResetArchiveStateForTesting();

}  // namespace tamarin

#endif  // TAMARIN_PACK_FILE_H_
