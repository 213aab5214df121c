// The program's own executable, held open while its archive is read and
// checked against its Authenticode signature first.
#ifndef KOBARU_OWN_FILE_H_
#define KOBARU_OWN_FILE_H_

#include <windows.h>

// From OpenVerified until it is destroyed, holds the program's own file
// open for reading and shares it for reading only: meanwhile no process can
// write, rename, replace or delete the file at that path, so the archive
// read there is the file that was verified.
class OwnFile {
public:
    OwnFile() = default;
    ~OwnFile();
    OwnFile(const OwnFile&) = delete;
    OwnFile& operator=(const OwnFile&) = delete;

    // Opens the file at path (the program's own, from GetModuleFileNameA)
    // and hands the handle to WinVerifyTrust, without revocation checks or
    // network. True when the file cannot be held, or when it carries a
    // signature whose digest does not match its bytes (damaged or changed
    // since it was signed): then after the broken-installer message, and the
    // caller must change nothing. Any other outcome passes: no signature, a
    // certificate that is not trusted or has expired, no wintrust.
    bool OpenVerified(const char* path);

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
};

#endif  // KOBARU_OWN_FILE_H_
