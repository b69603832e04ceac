#pragma once

#include <cstdint>
#include <map>
#include <string>

// The daemon's settings: key to value text, filled with defaults at
// construction and merged with the settings file by load.
class Config {
 public:
  Config();
  virtual ~Config();

  // Merges the file at `path` over the current entries (nothing is removed).
  // True when the file could be opened. Logs the path and then every entry.
  bool load(const std::string& path);
  // Logs every entry in key order as "CONFIG: key = value".
  void dump() const;

  // 1 when the key exists, -1 when it does not (`out` untouched). A value that
  // is not a number leaves `out` unchanged but still answers 1.
  int getValue(const std::string& key, int& out) const;
  int getValue(const std::string& key, std::string& out) const;
  int getValueHex(const std::string& key, uint32_t& out) const;

  // Sets one entry as a settings-file line would; for tools that layer
  // settings on top of a file.
  void set(const std::string& key, const std::string& value);

 private:
  std::map<std::string, std::string> entries;
};
