// Shift-JIS aware name splitting.
#ifndef TAMARIN_PATH_H_
#define TAMARIN_PATH_H_

#include <string>
#include <vector>

namespace tamarin {

// True for a Shift-JIS (code page 932) lead byte: 0x81-0x9F, 0xE0-0xFC.
inline bool IsLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Appends the components of the zero-terminated name, split at separator
// where a character begins (never at a trail byte), to components. Always
// appends at least one (possibly empty) component.
void SplitTokens(const char* name, std::vector<std::string>& components,
                 const std::string& separator);
// The components after position index joined with "\\"; empty for the last.
std::string JoinPathTail(const std::vector<std::string>& components, size_t index);

}  // namespace tamarin

#endif  // TAMARIN_PATH_H_
