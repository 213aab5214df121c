#include "tamarin/extract.h"

#include <windows.h>

#include <cstdio>
#include <new>

#include <boost/make_shared.hpp>
#include <boost/shared_array.hpp>
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

}  // namespace

bool ExtractEntry(const std::string& destination, const std::string& entryName) {
    boost::shared_ptr<tamarin::CFile> reader = boost::make_shared<tamarin::CPackFile>();
    if (reader->Open(entryName.c_str())) return Fail(kBrokenInstallerText);

    // The whole entry is read before the destination is created: a damaged
    // archive must not truncate a file that is already installed.
    const int32_t size = reader->GetSize();
    if (size < 0) return Fail(kBrokenInstallerText);
    // Array new of 0 still yields a valid pointer, so an empty entry writes
    // an empty file.
    boost::shared_array<unsigned char> buffer(new (std::nothrow) unsigned char[size]);
    if (!buffer) return Fail(kBrokenInstallerText);
    if (reader->Read(buffer.get(), static_cast<uint32_t>(size)) != static_cast<uint32_t>(size)) {
        return Fail(kBrokenInstallerText);
    }

    FILE* out = std::fopen(destination.c_str(), "wb");
    if (!out) return Fail(kCannotWriteText);
    const size_t written = std::fwrite(buffer.get(), 1, static_cast<size_t>(size), out);
    // A full disk shows up as a short write or, once buffers are flushed, as
    // a failing close; either way the partial file must not stay behind
    // looking like an installed one.
    const bool closeFailed = std::fclose(out) != 0;
    if (written != static_cast<size_t>(size) || closeFailed) {
        Fail(kCannotWriteText);
        std::remove(destination.c_str());
        return true;
    }
    return false;
}
