#include "tamarin/extract.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <new>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "tamarin/pack_file.h"

const char kProductTitle[] =
    "\x82\xB1\x82\xCE\x82\xE9\x90\xEC\x96\xF6\x83\x58\x83\x4E\x83\x8A\x81\x5B\x83\x93\x83\x5A"
    "\x81\x5B\x83\x6F\x81\x5B";
const char kBrokenInstallerText[] =
    "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x89\x82\xAA\x89\xF3\x82\xEA\x82\xC4\x82\xA2"
    "\x82\xDC\x82\xB7\x81\x42";
const char kCannotWriteText[] =
    "\x83\x56\x83\x58\x83\x65\x83\x80\x83\x74\x83\x48\x83\x8B\x83\x5F\x82\xC9\x8F\x91\x82\xAB"
    "\x8D\x9E\x82\xDD\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81\x42";

void ShowProductMessage(const char* text) {
    MessageBoxA(GetTopWindow(GetForegroundWindow()), text, kProductTitle, MB_OK);
}

namespace {

bool Fail(const char* text) {
    ShowProductMessage(text);
    return true;
}

// Bytes moved per step: memory stays constant whatever the entry's size.
const uint32_t kChunkSize = 1u << 20;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// Moves size bytes from reader to write, chunk by chunk. The text of the
// failure's message, or null on success.
const char* CopyChunks(tamarin::CFile& reader, uint32_t size, const ChunkWriter& write) {
    std::unique_ptr<unsigned char[]> chunk(
        new (std::nothrow) unsigned char[size < kChunkSize ? size : kChunkSize]);
    if (!chunk) return kBrokenInstallerText;
    for (uint32_t left = size; left > 0;) {
        const uint32_t step = left < kChunkSize ? left : kChunkSize;
        // Short: the entry runs past the archive's end.
        if (reader.Read(chunk.get(), step) != step) return kBrokenInstallerText;
        if (write(chunk.get(), step)) return kCannotWriteText;
        left -= step;
    }
    return nullptr;
}

// The root archive's entry, opened; its size. True on failure, after the
// message.
bool OpenEntry(tamarin::CPackFile& reader, const std::string& entryName, int32_t& size) {
    // The entry comes from the program's own archive only: a file of that
    // name in the current folder must never be installed in its place.
    if (reader.OpenRootEntry(entryName.c_str())) return Fail(kBrokenInstallerText);
    size = reader.GetSize();
    return size < 0 ? Fail(kBrokenInstallerText) : false;
}

// The entry goes to a file of its own beside the destination, so that an
// installed file is replaced only by a complete copy. True on failure,
// after the message; the temporary file is then gone.
bool WriteTemporary(tamarin::CFile& reader, uint32_t size, const std::string& temporary) {
    std::unique_ptr<FILE, FileCloser> out(std::fopen(temporary.c_str(), "wb"));
    if (!out) return Fail(kCannotWriteText);
    const char* failure =
        CopyChunks(reader, size, [&out](const unsigned char* data, uint32_t length) {
            return std::fwrite(data, 1, length, out.get()) != length;  // a full disk
        });
    // A full disk may show only when the buffers are flushed.
    if (!failure && (std::fflush(out.get()) != 0 || std::fclose(out.release()) != 0)) {
        failure = kCannotWriteText;
    }
    if (!failure) return false;
    Fail(failure);
    out.reset();
    std::remove(temporary.c_str());
    return true;
}

}  // namespace

bool ExtractEntry(const std::string& destination, const std::string& entryName) try {
    boost::shared_ptr<tamarin::CPackFile> reader = boost::make_shared<tamarin::CPackFile>();
    int32_t size = 0;
    if (OpenEntry(*reader, entryName, size)) return true;

    // A read-only file is never replaced, wherever renaming over it would
    // be allowed.
    const DWORD attributes = GetFileAttributesA(destination.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        return Fail(kCannotWriteText);
    }
    // Beside the destination, named like it but for a last "~": no longer
    // than the destination, so whatever path fits, fits for both.
    if (destination.empty()) return Fail(kCannotWriteText);
    std::string temporary = destination;
    temporary.back() = temporary.back() == '~' ? '_' : '~';
    if (WriteTemporary(*reader, static_cast<uint32_t>(size), temporary)) return true;
    // The destination changes only now, and at once: held open, read-only
    // or replaced, it is either the old file or the whole new one.
    if (!MoveFileExA(temporary.c_str(), destination.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Fail(kCannotWriteText);
        std::remove(temporary.c_str());
        return true;
    }
    return false;
} catch (...) {
    // Memory for the reader or a name could not be had.
    return Fail(kBrokenInstallerText);
}

bool ExtractEntryTo(const std::string& entryName, const ChunkWriter& write) try {
    boost::shared_ptr<tamarin::CPackFile> reader = boost::make_shared<tamarin::CPackFile>();
    int32_t size = 0;
    if (OpenEntry(*reader, entryName, size)) return true;
    const char* failure = CopyChunks(*reader, static_cast<uint32_t>(size), write);
    return failure ? Fail(failure) : false;
} catch (...) {
    return Fail(kBrokenInstallerText);
}
