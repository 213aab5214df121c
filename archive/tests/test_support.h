// Helpers shared by the library tests: a fresh working directory per test
// and a byte builder for archive fixtures.
#ifndef TAMARIN_TESTS_TEST_SUPPORT_H_
#define TAMARIN_TESTS_TEST_SUPPORT_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tamarin/memory.h"
#include "tamarin/pack_file.h"

namespace tamarin_test {

// Little-endian bytes, appended piece by piece.
class Bytes {
public:
    Bytes& Word(uint32_t value) {
        unsigned char w[4];
        tamarin::EncodeWord(value, w);
        m_bytes.append(reinterpret_cast<const char*>(w), 4);
        return *this;
    }
    Bytes& Raw(const std::string& bytes) {
        m_bytes += bytes;
        return *this;
    }
    // Length word, then the bytes.
    Bytes& Str(const std::string& bytes) {
        return Word(static_cast<uint32_t>(bytes.size())).Raw(bytes);
    }
    Bytes& Fill(size_t count, char value) {
        m_bytes.append(count, value);
        return *this;
    }
    size_t size() const { return m_bytes.size(); }
    const std::string& str() const { return m_bytes; }

private:
    std::string m_bytes;
};

inline void WriteFile(const std::string& name, const std::string& bytes) {
    // On Windows a backslash in the name is a folder.
    const std::filesystem::path path(name);
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    FILE* f = std::fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr) << name;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

// Runs each test in an empty directory of its own, set as the current
// directory (plain files and archives are looked up there), with the
// archive library's process-wide state reset.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<unsigned> counter(0);
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_previous = std::filesystem::current_path();
        m_dir = std::filesystem::temp_directory_path() /
                ("tamarin_test_" + std::to_string(stamp) + "_" + std::to_string(counter++));
        std::filesystem::create_directories(m_dir);
        std::filesystem::current_path(m_dir);
        tamarin::ResetArchiveStateForTesting();
    }
    void TearDown() override {
        tamarin::ResetArchiveStateForTesting();
        std::filesystem::current_path(m_previous);
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

private:
    std::filesystem::path m_previous;
    std::filesystem::path m_dir;
};

}  // namespace tamarin_test

#endif  // TAMARIN_TESTS_TEST_SUPPORT_H_
