// Entry names between the host and the archive. Names on disk and on the
// command line are in the host's encoding (the locale's); names in an
// archive are code page 932 (Shift-JIS), the encoding of the Windows
// programs that read them. Printed names are escaped and kept on one line.
#ifndef KOBARU_TOOLS_PACK_NAMES_H_
#define KOBARU_TOOLS_PACK_NAMES_H_

#include <string>

namespace kobaru_pack {

// The locale's code set as the program set it (setlocale), with the ASCII
// of the C and POSIX locales taken as UTF-8: file names on such a system are
// UTF-8 even where no locale is configured.
std::string HostEncoding();

class Names {
public:
    // raw: names are kept as the bytes given, in both directions.
    Names(bool raw, const std::string& hostEncoding);

    bool Raw() const { return m_raw; }

    // The archive form of a host name. True on failure, with a reason that
    // names the offending character.
    bool ToArchive(const std::string& host, std::string* archive, std::string* why) const;
    // The host form of an archive name. True on failure, with a reason.
    bool ToHost(const std::string& archive, std::string* host, std::string* why) const;
    // Whether an archive name is code page 932 text (always so when raw).
    // True when it is not, with a reason.
    bool NotText(const std::string& archive, std::string* why) const;

    // An archive name as printed: its host form (or its bytes when it has
    // none), escaped and, past the longest name a Windows path can hold,
    // shortened.
    std::string Show(const std::string& archive) const;
    // Show(archive) appended to out (without a copy for a plain name).
    void AppendShown(const std::string& archive, std::string* out) const;
    // A host string (a path) as printed: escaped, shortened past PATH_MAX.
    std::string ShowHost(const std::string& host) const;

private:
    bool m_raw;
    std::string m_host;
    bool m_utf8;
};

}  // namespace kobaru_pack

#endif  // KOBARU_TOOLS_PACK_NAMES_H_
