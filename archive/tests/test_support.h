// Helpers shared by the library tests: a fresh working directory per test
// and a byte builder for archive fixtures.
#ifndef TAMARIN_TESTS_TEST_SUPPORT_H_
#define TAMARIN_TESTS_TEST_SUPPORT_H_

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "tamarin/memory.h"
#include "tamarin/pack_file.h"
#include "tamarin_writer/testing.h"
#include "tamarin_writer/writer.h"

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

// A block holding exactly bytes, as the reader attaches one.
inline boost::shared_ptr<tamarin::CMemory> Block(const std::string& bytes) {
    boost::shared_ptr<tamarin::CMemory> block =
        boost::make_shared<tamarin::CMemory>(static_cast<uint32_t>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), block->Bytes());
    return block;
}

inline void WriteFile(const std::string& name, const std::string& bytes) {
    // On Windows a backslash in the name is a folder.
    const std::filesystem::path path(name);
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    FILE* f = std::fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr) << name;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Writes a packaged program to name: a 4 KiB "MZ" image with an archive of
// entries behind it, its start in the header word.
inline void WritePackaged(const std::string& name,
                          const std::vector<tamarin_writer::Entry>& entries) {
    tamarin_writer::Archive archive;
    archive.entries = entries;
    std::string image("MZ");
    image.resize(4096, '\0');
    tamarin_writer::Encoded out;
    std::string error;
    ASSERT_FALSE(tamarin_writer::AppendArchive(image, archive, tamarin_writer::kHeaderWord, &out,
                                               &error)) << error;
    WriteFile(name, out.bytes);
}

// Runs each test in an empty directory of its own, set as the current
// directory (plain files and archives are looked up there), with the
// archive library's process-wide state reset.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir.emplace(); }
    void TearDown() override { m_dir.reset(); }

private:
    std::optional<tamarin_writer::ScratchDir> m_dir;
};

}  // namespace tamarin_test

#endif  // TAMARIN_TESTS_TEST_SUPPORT_H_
