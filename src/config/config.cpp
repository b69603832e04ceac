#include "config/config.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "common/log.h"

namespace {

// The built-in settings, in the order the box's builds set them.
const char* const kDefaults[][2] = {
    {"SubtileType", "2"},
    {"Language", "swe"},
    {"SecondaryLanguage", "eng"},
    {"RecDelay", "4"},
    {"StartYPos", "0"},
    {"WideStartYPos", "0"},
    {"StartXPos", "60"},
    {"CenterText", "1"},
    {"TextColor", "ffffffff"},
    {"OutlineColor", "000000ff"},
    {"BackgroundColor", "00000044"},
    {"UseBackground", "2"},
    {"Font", "/usr/share/fonts/md_khmurabi_10.ttf"},
    {"FontSize", "28"},
    {"WideFontSize", "28"},
    {"RowSpace", "5"},
    {"WideRowSpace", "0"},
    {"UseDVBFirst", "1"},
    {"UseExternalChannels", "2"},
    {"ExtraYSize", "0"},
    {"WideExtraYSize", "0"},
};

// Keys that are read but absent unless the file sets them.
const char* const kKeysWithoutDefault[] = {"OSDMessages",     "OutlineSize", "DVBMaxShowTime",
                                           "UseDVBSubtitles", "Adapter",     "Demux",
                                           "FrameBuffer"};

bool IsKnownKey(const std::string& key) {
  for (const auto& entry : kDefaults) {
    if (key == entry[0]) return true;
  }
  for (const char* known : kKeysWithoutDefault) {
    if (key == known) return true;
  }
  return false;
}

}  // namespace

Config::Config() {
  for (const auto& entry : kDefaults) entries[entry[0]] = entry[1];
}

Config::~Config() = default;

bool Config::load(const std::string& path) {
  log("Load settings from: %s\n", path.c_str());
  std::ifstream file(path);
  const bool opened = file.is_open();
  if (opened) {
    std::string line;
    std::set<std::string> warned;
    while (std::getline(file, line)) {
      if (line.empty()) continue;
      if (line[0] == '#' || line[0] == ';') continue;
      // Only the first blank separates; a line without one is both key and
      // value, as the box's original tools wrote such lines.
      const std::string::size_type blank = line.find(' ');
      const std::string key = blank == std::string::npos ? line : line.substr(0, blank);
      entries[key] = blank == std::string::npos ? line : line.substr(blank + 1);
      // Kept like any other entry, but nothing reads it: most often a
      // misspelt key, whose setting the user believes in force.
      if (!IsKnownKey(key) && warned.insert(key).second) {
        log("CONFIG: Unknown key \"%s\" is ignored\n", key.c_str());
      }
    }
  }
  dump();
  return opened;
}

void Config::dump() const {
  for (const auto& entry : entries) {
    log("CONFIG: %s = %s\n", entry.first.c_str(), entry.second.c_str());
  }
}

int Config::getValue(const std::string& key, int& out) const {
  const auto it = entries.find(key);
  if (it == entries.end()) return -1;
  std::istringstream stream(it->second);
  int value = 0;
  if (stream >> value) out = value;
  return 1;
}

int Config::getValue(const std::string& key, std::string& out) const {
  const auto it = entries.find(key);
  if (it == entries.end()) return -1;
  out = it->second;
  return 1;
}

int Config::getValueHex(const std::string& key, uint32_t& out) const {
  const auto it = entries.find(key);
  if (it == entries.end()) {
    log("CONFIG: Failed to getValueHex()\n");
    return -1;
  }
  unsigned int value = 0;
  if (sscanf(it->second.c_str(), "%x", &value) == 1) out = value;
  return 1;
}

void Config::set(const std::string& key, const std::string& value) { entries[key] = value; }
