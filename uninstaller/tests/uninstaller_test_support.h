// Helpers shared by the uninstaller's tests.
#ifndef KOBARU_UNINSTALLER_TEST_SUPPORT_H_
#define KOBARU_UNINSTALLER_TEST_SUPPORT_H_

#include <iconv.h>

#include <filesystem>
#include <string>

namespace uninstaller_test {

// Text in code page 932, converted by the C library rather than copied from
// the program, so a wrong byte in the program shows.
inline std::string Cp932(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return "<no CP932 converter>";
    std::string in = utf8, out(utf8.size() * 2 + 8, '\0');
    char* src = in.data();
    char* dst = out.data();
    size_t srcLeft = in.size(), dstLeft = out.size();
    const size_t result = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (result == static_cast<size_t>(-1)) return "<not convertible>";
    out.resize(out.size() - dstLeft);
    return out;
}

// Host folder used as the temporary directory: Windows gives it with a
// trailing separator, and the programs append names right behind it.
inline std::string TempDirWithSeparator(const std::string& name) {
    std::filesystem::create_directories(name);
    return std::filesystem::absolute(name).string() + "/";
}

}  // namespace uninstaller_test

#endif  // KOBARU_UNINSTALLER_TEST_SUPPORT_H_
