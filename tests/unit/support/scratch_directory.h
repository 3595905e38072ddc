// A fresh directory under /tmp for one test (mkdtemp), removed with
// everything in it when the object goes; and whole-file reads and writes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

// The whole content of a file ("" when it cannot be read).
inline std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFileText(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

class ScratchDirectory {
 public:
  // prefix names the directory: /tmp/<prefix>-XXXXXX.
  explicit ScratchDirectory(const std::string& prefix = "zunder") {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~ScratchDirectory() { Remove(); }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // False when no directory could be made (the path is then empty).
  bool IsMade() const { return !path.empty(); }
  const std::string& Path() const { return path; }
  std::string Path(const std::string& name) const { return path + "/" + name; }

  void Put(const std::string& name, const std::string& content) const { WriteFileText(Path(name), content); }
  std::string Get(const std::string& name) const { return ReadFileText(Path(name)); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }

  // Removes the directory now; false when some of it could not be removed.
  bool Remove() {
    if (path.empty()) return true;
    std::error_code error;
    std::filesystem::remove_all(path, error);
    path.clear();
    return !error;
  }

 private:
  std::string path;
};
