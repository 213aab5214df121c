// Read-only file object over one C library stream.
#include "tamarin/file.h"

#include <new>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tamarin {

FILE* OpenForReading(const char* path) {
    FILE* stream = std::fopen(path, "rb");
#ifndef _WIN32
    // Windows refuses to open a folder as a file; elsewhere fopen succeeds
    // and every read fails. Refuse it here too, so that a folder never
    // passes for an empty file or archive.
    struct stat status;
    if (stream != nullptr && fstat(fileno(stream), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(stream);
        return nullptr;
    }
#endif
    return stream;
}

int32_t MeasureStream(FILE* stream) {
    if (stream == nullptr) return -1;
    const long position = std::ftell(stream);
    if (position < 0) return -1;
    std::fseek(stream, 0, SEEK_END);
    const long size = std::ftell(stream);
    std::fseek(stream, position, SEEK_SET);
    return static_cast<int32_t>(size);
}

CFile::CFile() : m_handle(nullptr) {}

CFile::~CFile() {
    // Not the virtual Close: a derived part is already gone here.
    if (m_handle != nullptr) {
        std::fclose(m_handle);
        m_handle = nullptr;
        m_path.clear();
    }
}

CFile* CFile::Clone(bool copy) {
    CFile* clone = new (std::nothrow) CFile;
    if (clone == nullptr) return nullptr;
    if (copy && m_handle != nullptr) {
        // A stream of its own, so that each object closes exactly one.
        const long position = std::ftell(m_handle);
        if (position < 0 || clone->Open(m_path.c_str()) ||
            std::fseek(clone->m_handle, position, SEEK_SET) != 0) {
            clone->Close();
        }
    }
    return clone;
}

bool CFile::Open(const char* path) {
    // path may point into m_path (GetPath().c_str()), which Close clears:
    // copy it first. The copy is also the only step that can fail to
    // allocate, and it fails before anything is opened.
    std::string copy;
    bool copied = false;
    if (path != nullptr) {
        try {
            copy = path;
            copied = true;
        } catch (...) {
        }
    }
    if (m_handle != nullptr) Close();
    if (!copied) return true;
    m_handle = OpenForReading(copy.c_str());
    if (m_handle == nullptr) return true;
    m_path.swap(copy);
    return false;
}

uint32_t CFile::Read(void* buffer, uint32_t length) {
    if (m_handle == nullptr) return 0;
    return static_cast<uint32_t>(std::fread(buffer, 1, length, m_handle));
}

int32_t CFile::Seek(int32_t offset, int origin) {
    // A null stream or an unknown origin must not reach the C library: the
    // Windows runtime ends the process on invalid arguments.
    if (m_handle == nullptr) return -1;
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) return -1;
    return std::fseek(m_handle, offset, origin) == 0 ? 0 : -1;
}

int32_t CFile::Tell() {
    if (m_handle == nullptr) return -1;
    return static_cast<int32_t>(std::ftell(m_handle));
}

int32_t CFile::GetSize() {
    return MeasureStream(m_handle);
}

int CFile::Close() {
    if (m_handle == nullptr) return -1;
    const int result = std::fclose(m_handle);
    m_handle = nullptr;
    m_path.clear();
    return result == 0 ? 0 : -1;
}

const std::string& CFile::GetPath() const {
    return m_path;
}

}  // namespace tamarin
