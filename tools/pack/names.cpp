// Conversion of entry names between the host's encoding and code page 932
// (through iconv, by way of UTF-8), and the escaping of printed names.
#include "names.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <map>
#include <memory>
#include <utility>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <strings.h>

#include "tamarin/path.h"

namespace kobaru_pack {

namespace {

// The longest entry name a Windows path can hold (MAX_PATH less its zero);
// longer ones are printed shortened to their first kShownBytes.
const size_t kLongestName = 259;
const size_t kShownBytes = 100;
// Host paths are shortened past PATH_MAX.
const size_t kLongestPath = 4096;

bool Same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The length of the UTF-8 sequence at text[i] and its code point; 0 when
// the bytes there are not UTF-8 (overlong forms and surrogates included).
size_t Utf8At(const std::string& text, size_t i, uint32_t* cp) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length;
    uint32_t value, least;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        length = 2, value = c & 0x1F, least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3, value = c & 0x0F, least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4, value = c & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char t = static_cast<unsigned char>(text[i + k]);
        if ((t & 0xC0) != 0x80) return 0;
        value = (value << 6) | (t & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *cp = value;
    return length;
}

// The position of the first byte that is not UTF-8, or npos.
size_t FirstNonUtf8(const std::string& text) {
    uint32_t cp;
    for (size_t i = 0; i < text.size();) {
        const size_t n = Utf8At(text, i, &cp);
        if (n == 0) return i;
        i += n;
    }
    return std::string::npos;
}

std::string Hex(unsigned char c) {
    char buffer[5];
    std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
    return buffer;
}

// Bytes that are not printable as \xNN: control characters (C0, DEL, and
// in UTF-8 the C1 range) and bytes that are not text of the encoding. A
// Shift-JIS lead byte that is not UTF-8 is escaped together with its trail
// byte, so a raw Shift-JIS name stays readable as pairs.
// raw: every byte from 0x80 up is escaped too (a lead byte with its trail
// byte), whether or not the bytes happen to form UTF-8.
std::string Escape(const std::string& text, bool utf8, bool raw) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (raw && c >= 0x80) {
            const size_t n = tamarin::IsLeadByte(c) && i + 1 < text.size() ? 2 : 1;
            for (size_t k = 0; k < n; ++k) out += Hex(static_cast<unsigned char>(text[i + k]));
            i += n;
            continue;
        }
        if (!utf8) {
            out += c < 0x20 || c == 0x7F ? Hex(c) : std::string(1, static_cast<char>(c));
            ++i;
            continue;
        }
        uint32_t cp = 0;
        size_t n = Utf8At(text, i, &cp);
        const bool shown = n != 0 && cp >= 0x20 && !(cp >= 0x7F && cp < 0xA0);
        if (n == 0) n = tamarin::IsLeadByte(c) && i + 1 < text.size() ? 2 : 1;
        for (size_t k = 0; k < n; ++k) {
            out += shown ? std::string(1, text[i + k]) : Hex(static_cast<unsigned char>(text[i + k]));
        }
        i += n;
    }
    return out;
}

// Closes an iconv descriptor when it goes.
class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return m_cd; }

private:
    iconv_t m_cd;
};

// Converts text between two encodings. True on failure, with *bad the
// position of the first byte that could not be converted (npos when the
// conversion itself is unknown).
bool Convert(const char* from, const char* to, const std::string& text, std::string* out, size_t* bad) {
    // Opened once per pair of encodings: a command converts every name of an
    // archive, and opening a converter costs more than using it.
    static std::map<std::pair<std::string, std::string>, std::unique_ptr<Converter> > converters;
    std::unique_ptr<Converter>& cached = converters[std::make_pair(std::string(from), std::string(to))];
    if (!cached) cached.reset(new Converter(to, from));
    Converter& converter = *cached;
    *bad = std::string::npos;
    if (!converter.ok()) return true;
    iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
    out->clear();
    std::string input = text;
    char* in = input.empty() ? nullptr : &input[0];
    size_t inLeft = input.size();
    char buffer[256];
    while (inLeft > 0) {
        char* o = buffer;
        size_t outLeft = sizeof buffer;
        const size_t done = iconv(converter.get(), &in, &inLeft, &o, &outLeft);
        out->append(buffer, o - buffer);
        if (done == static_cast<size_t>(-1) && errno != E2BIG) {
            *bad = input.size() - inLeft;
            return true;
        }
    }
    char* o = buffer;
    size_t outLeft = sizeof buffer;
    iconv(converter.get(), nullptr, nullptr, &o, &outLeft);
    out->append(buffer, o - buffer);
    return false;
}

// Printable ASCII (0x20-0x7E) only: the same bytes in code page 932, in
// every host encoding and as printed, so such a name needs no conversion.
bool PlainAscii(const std::string& text) {
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

}  // namespace

std::string HostEncoding() {
    const char* set = nl_langinfo(CODESET);
    const std::string name = set != nullptr ? set : "";
    if (name.empty() || Same(name, "ANSI_X3.4-1968") || Same(name, "ASCII") || Same(name, "US-ASCII") ||
        Same(name, "646")) {
        return "UTF-8";
    }
    return name;
}

Names::Names(bool raw, const std::string& hostEncoding) : m_raw(raw), m_host(hostEncoding) {
    m_utf8 = Same(m_host, "UTF-8") || Same(m_host, "UTF8");
    // A Shift-JIS host already speaks the archive's encoding; its converters
    // would read the byte 0x5C as a yen sign rather than the separator.
    if (Same(m_host, "SHIFT_JIS") || Same(m_host, "SJIS") || Same(m_host, "CP932") || Same(m_host, "WINDOWS-31J") ||
        Same(m_host, "MS932")) {
        m_host = "CP932";
    }
}

bool Names::ToArchive(const std::string& host, std::string* archive, std::string* why) const {
    if (m_raw || PlainAscii(host)) {
        *archive = host;
        return false;
    }
    const char* const rawHint = "; --raw-names stores names as the bytes given";
    std::string utf8;
    size_t bad = 0;
    if (m_utf8) {
        utf8 = host;
        bad = FirstNonUtf8(utf8);
        if (bad != std::string::npos) {
            *why = "is not UTF-8 text (the locale's encoding) at byte " + std::to_string(bad) + rawHint;
            return true;
        }
    } else if (Convert(m_host.c_str(), "UTF-8", host, &utf8, &bad)) {
        *why = "is not " + m_host + " text (the locale's encoding) at byte " + std::to_string(bad) + rawHint;
        return true;
    }
    // The character at a UTF-8 position, as printed.
    auto character = [&](size_t at) {
        uint32_t cp;
        const std::string bytes = utf8.substr(at, std::max<size_t>(1, Utf8At(utf8, at, &cp)));
        std::string shown;
        if (m_utf8 || Convert("UTF-8", m_host.c_str(), bytes, &shown, &bad)) shown = bytes;
        return "'" + Escape(shown, m_utf8, m_raw) + "'";
    };
    // The yen sign and the overline would turn into the bytes of "\" and "~"
    // (code page 932 has neither), the first of them a folder separator.
    uint32_t cp = 0;
    for (size_t i = 0, n = 0; i < utf8.size(); i += n) {
        n = Utf8At(utf8, i, &cp);
        if (cp == 0xA5 || cp == 0x203E) {
            *why = "holds " + character(i) + ", which has no code page 932 form (it would become '" +
                   (cp == 0xA5 ? "\\" : "~") + "')";
            return true;
        }
    }
    if (Convert("UTF-8", "CP932", utf8, archive, &bad)) {
        *why = bad == std::string::npos ? "cannot be converted to code page 932 on this system"
                                        : "holds " + character(bad) + ", which has no code page 932 form";
        return true;
    }
    return false;
}

bool Names::NotText(const std::string& archive, std::string* why) const {
    std::string utf8;
    size_t bad = 0;
    if (m_raw || PlainAscii(archive) || !Convert("CP932", "UTF-8", archive, &utf8, &bad)) return false;
    *why = bad == std::string::npos ? "cannot be converted from code page 932 on this system"
                                    : "is not code page 932 text at byte " + std::to_string(bad) +
                                          "; --raw-names reads names as bytes";
    return true;
}

bool Names::ToHost(const std::string& archive, std::string* host, std::string* why) const {
    if (m_raw || PlainAscii(archive)) {
        *host = archive;
        return false;
    }
    std::string utf8;
    size_t bad = 0;
    if (Convert("CP932", "UTF-8", archive, &utf8, &bad)) return NotText(archive, why);
    if (m_utf8) {
        *host = utf8;
    } else if (Convert("UTF-8", m_host.c_str(), utf8, host, &bad)) {
        *why = "cannot be written in " + m_host + " (the locale's encoding); --raw-names keeps names as bytes";
        return true;
    }
    return false;
}

std::string Names::Show(const std::string& archive) const {
    if (archive.size() <= kLongestName && PlainAscii(archive)) return archive;
    if (archive.size() > kLongestName) {
        size_t cut = 0;
        while (cut < kShownBytes) cut += tamarin::IsLeadByte(static_cast<unsigned char>(archive[cut])) ? 2 : 1;
        return Show(archive.substr(0, cut)) + "... (" + std::to_string(archive.size()) + " bytes)";
    }
    std::string host, why;
    if (ToHost(archive, &host, &why)) return Escape(archive, m_utf8, m_raw);
    return Escape(host, m_utf8, m_raw);
}

void Names::AppendShown(const std::string& archive, std::string* out) const {
    if (archive.size() <= kLongestName && PlainAscii(archive)) {
        *out += archive;
    } else {
        *out += Show(archive);
    }
}

std::string Names::ShowHost(const std::string& host) const {
    if (host.size() <= kLongestPath && PlainAscii(host)) return host;
    if (host.size() > kLongestPath) {
        size_t cut = kShownBytes;
        while (m_utf8 && cut > 0 && (static_cast<unsigned char>(host[cut]) & 0xC0) == 0x80) --cut;
        return Escape(host.substr(0, cut), m_utf8, m_raw) + "... (" + std::to_string(host.size()) + " bytes)";
    }
    return Escape(host, m_utf8, m_raw);
}

}  // namespace kobaru_pack
