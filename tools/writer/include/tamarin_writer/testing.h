// Helpers for tests that put archives on disk: a scratch folder that is also
// the working directory (the reader looks for plain files of an entry's name
// there first), and byte surgery on encoded archives.
#ifndef TAMARIN_WRITER_TESTING_H_
#define TAMARIN_WRITER_TESTING_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "tamarin/memory.h"
#include "tamarin/pack_file.h"

namespace tamarin_writer {

// A fresh empty folder under the system's temporary folder that is the
// working directory while the object lives; removed afterwards. Also resets
// the reader's process-wide state on entry and exit.
class ScratchDir {
public:
    ScratchDir() : m_previous(std::filesystem::current_path()) {
        std::mt19937_64 random(static_cast<uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count()));
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        do {
            m_path = base / ("tamarin-test-" + std::to_string(random() % 1000000000u));
        } while (!std::filesystem::create_directory(m_path));
        std::filesystem::current_path(m_path);
        tamarin::ResetArchiveStateForTesting();
    }
    ~ScratchDir() {
        tamarin::ResetArchiveStateForTesting();
        std::error_code ignored;
        std::filesystem::current_path(m_previous, ignored);
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // Absolute path of name inside the folder.
    std::string Path(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_previous;
    std::filesystem::path m_path;
};

// Replaces the file's content (plain write: tests rewrite one path often).
inline void PutFile(const std::string& path, const std::string& bytes) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline uint32_t WordAt(const std::string& bytes, size_t at) {
    return tamarin::DecodeWord(reinterpret_cast<const unsigned char*>(bytes.data()) + at);
}

inline void PatchWord(std::string& bytes, size_t at, uint32_t value) {
    tamarin::EncodeWord(value, reinterpret_cast<unsigned char*>(&bytes[at]));
}

}  // namespace tamarin_writer

#endif  // TAMARIN_WRITER_TESTING_H_
