#pragma once

#include <string>

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to the named file, replacing it.
  void Write(const std::string& name, const std::string& content) const;
  bool Exists(const std::string& name) const;

 private:
  std::string path_;
};

std::string ReadWholeFile(const std::string& path);
