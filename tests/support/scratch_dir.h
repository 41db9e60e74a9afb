// A fresh folder for each test, removed afterwards, and whole-file helpers.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace q4d::test {

using Bytes = std::vector<unsigned char>;

inline Bytes read_stream(std::FILE* f) {
  Bytes bytes;
  for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
  return bytes;
}

// The file's bytes, or nothing if it cannot be opened.
inline Bytes read_bytes(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return {};
  Bytes bytes = read_stream(f);
  std::fclose(f);
  return bytes;
}

inline std::string read_text(const std::string& path) {
  const Bytes bytes = read_bytes(path);
  return std::string(bytes.begin(), bytes.end());
}

inline void write_bytes(const std::string& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "q4d_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

}  // namespace q4d::test
