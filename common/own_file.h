// The program's own executable, held open while its archive is read and
// checked against its Authenticode signature first.
#ifndef KOBARU_OWN_FILE_H_
#define KOBARU_OWN_FILE_H_

#include <windows.h>

#include <string>

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
    // certificate that is not trusted or has expired, no wintrust. Also
    // true, after the same message, when the held file's final path cannot
    // be had (GetFinalPathNameByHandleA fails or the path does not fit).
    bool OpenVerified(const char* path);

    // The path of the very file that was verified, resolved through its
    // handle (final_path.h; path as given where the system cannot resolve
    // it): the archive is read by this path, which no junction on the way
    // to the launch path can redirect to another file.
    const std::string& VerifiedPath() const { return m_verifiedPath; }

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
    std::string m_verifiedPath;
};

#endif  // KOBARU_OWN_FILE_H_
