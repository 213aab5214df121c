// Shift-JIS aware name splitting.
#include "tamarin/path.h"

namespace tamarin {

namespace {

// True when separator's bytes stand at p. Stops at the name's terminating
// zero, so nothing beyond it is read.
bool SeparatorAt(const char* p, const std::string& separator) {
    for (size_t i = 0; i < separator.size(); ++i) {
        if (p[i] == '\0' || p[i] != separator[i]) return false;
    }
    return true;
}

}  // namespace

void SplitTokens(const char* name, std::vector<std::string>& components,
                 const std::string& separator) {
    components.push_back(std::string());
    const char* start = nullptr;
    const char* p = name;
    if (*p == '\0') return;
    // An empty separator would match everywhere without advancing.
    const bool canSplit = !separator.empty();
    for (;;) {
        if (canSplit && SeparatorAt(p, separator)) {
            if (start != nullptr) components.back().append(start, p);
            start = nullptr;
            components.push_back(std::string());
            p += separator.size();
        } else {
            if (start == nullptr) start = p;
            // The byte after a lead byte belongs to the same character, so a
            // 0x5C there is no separator. A lone lead byte ends the name.
            if (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') ++p;
            ++p;
        }
        if (*p == '\0') break;
    }
    if (start != nullptr) components.back().append(start, p);
}

std::string JoinPathTail(const std::vector<std::string>& components, size_t index) {
    std::string tail;
    if (index >= components.size()) return tail;
    for (size_t i = index + 1; i < components.size(); ++i) {
        if (i != index + 1) tail += '\\';
        tail += components[i];
    }
    return tail;
}

}  // namespace tamarin
