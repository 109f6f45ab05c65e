// A temporary folder for a test, removed with everything in it.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

class TempDir {
 public:
  // A new folder of a random name that did not exist before, as mkdtemp()
  // makes one (which not every platform has).
  TempDir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device random;
    for (;;) {
      std::filesystem::path candidate = base / ("sercap-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) {
        path_ = candidate.string();
        return;
      }
    }
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
