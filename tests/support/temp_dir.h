// Files of the tests: a fresh directory under /tmp for one test, removed with its content when
// it goes out of scope, and small whole-file helpers.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace test_support {

class temp_dir {
 public:
  /// Makes /tmp/<prefix>.XXXXXX; path() stays empty when it cannot be made.
  explicit temp_dir(const std::string& prefix = "unit_test") {
    std::string s_template = "/tmp/" + prefix + ".XXXXXX";
    if (mkdtemp(s_template.data()) != nullptr) path_ = s_template;
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  ~temp_dir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  /// Path of @p name inside the directory.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Whole content of a file (empty when it cannot be read).
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// True when something (file, directory, ...) exists at @p s_path.
inline bool exists(const std::string& s_path) {
  struct stat st {};
  return stat(s_path.c_str(), &st) == 0;
}

}  // namespace test_support
