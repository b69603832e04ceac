#include "config/dvbv5_channels.h"

#include <sstream>

#include "common/command_line.h"

namespace {
std::string Trim(const std::string& s) {
  const char* blank = " \t\r";
  const auto first = s.find_first_not_of(blank);
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(blank) - first + 1);
}

// The first number of a value; a list such as "514 614" names several
// streams and the first is the one a player picks.
bool FirstNumber(const std::string& value, int max, int& out) {
  const std::string first = value.substr(0, value.find_first_of(" \t,"));
  if (first[0] == '-' || first[0] == '+') return false;
  long long n = 0;
  if (!cli::ToInt(first.c_str(), 0, max, n)) return false;
  out = static_cast<int>(n);
  return true;
}
}  // namespace

bool FindDvbV5Service(const std::string& text, const std::string& name, DvbV5Service& out,
                      std::string& error) {
  std::istringstream in(text);
  std::string line;
  bool inside = false;
  bool found = false;
  bool haveSid = false;
  DvbV5Service service;
  service.name = name;
  while (std::getline(in, line)) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    if (t[0] == '[') {
      if (inside) break;  // the wanted section has ended
      inside = t.back() == ']' && t.substr(1, t.size() - 2) == name;
      found = found || inside;
      continue;
    }
    if (!inside) continue;
    const auto eq = t.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = Trim(t.substr(0, eq));
    const std::string value = Trim(t.substr(eq + 1));
    int* field = nullptr;
    int max = 0x1FFF;
    if (key == "SERVICE_ID") {
      field = &service.serviceId;
      max = 0xFFFF;
      haveSid = true;
    } else if (key == "VIDEO_PID") {
      field = &service.videoPid;
    } else if (key == "AUDIO_PID") {
      field = &service.audioPid;
    }
    if (field != nullptr && !FirstNumber(value, max, *field)) {
      error = "channel \"" + name + "\": " + key + " is not a number in range: \"" + value + "\"";
      return false;
    }
  }
  if (!found) {
    error = "no channel \"" + name + "\" in the channel file";
    return false;
  }
  if (!haveSid) {
    error = "channel \"" + name + "\" has no SERVICE_ID";
    return false;
  }
  out = service;
  return true;
}
