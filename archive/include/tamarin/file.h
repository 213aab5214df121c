// Read-only file object over one C library stream.
#ifndef TAMARIN_FILE_H_
#define TAMARIN_FILE_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace tamarin {

// A file opened for reading in binary mode. Every failure is a return value;
// nothing is thrown. The object owns its stream and closes it on destruction.
// Invariant: m_path is non-empty only while m_handle is non-null.
class CFile {
public:
    CFile();
    virtual ~CFile();

    // New object of the same class, owned by the caller. With copy false it is
    // Closed. With copy true it reads the same file from the same position
    // through a stream of its own (reopened), so each object closes exactly
    // one stream; if the file cannot be reopened the clone is Closed. Null
    // when no memory can be had for the object.
    virtual CFile* Clone(bool copy);
    // Closes any open file first (through the virtual Close), then opens path
    // with mode "rb". True on failure (the object is then Closed). A folder
    // is refused, as Windows refuses it. path may be GetPath().c_str().
    virtual bool Open(const char* path);
    // Bytes actually read; 0 when no file is open.
    virtual uint32_t Read(void* buffer, uint32_t length);
    // Origin 0, 1 or 2 (SEEK_SET, SEEK_CUR, SEEK_END). 0 on success, -1 on
    // failure, when no file is open or for any other origin.
    virtual int32_t Seek(int32_t offset, int origin);
    // Current position; -1 on failure or when no file is open.
    virtual int32_t Tell();
    // Size in bytes without moving the position; -1 on failure or when Closed.
    virtual int32_t GetSize();
    // Result of fclose (0 or -1); -1 when no file was open. Always ends Closed.
    virtual int Close();
    // The path given to the last successful Open; empty while Closed.
    virtual const std::string& GetPath() const;

protected:
    FILE* m_handle;
    std::string m_path;

private:
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
};

// fopen(path, "rb"), except that a folder is refused on every platform.
FILE* OpenForReading(const char* path);

// Size of an open stream, measured without moving its position: -1 when the
// position cannot be read.
int32_t MeasureStream(FILE* stream);

}  // namespace tamarin

#endif  // TAMARIN_FILE_H_
