#include "config/channels.h"

#include <fstream>
#include <sstream>

#include "common/log.h"
#include "stream/language_code.h"

int SplitString(const std::string& text, const std::string& delimiter,
                std::vector<std::string>& fields, bool keepEmpty) {
  if (text.empty() || delimiter.empty()) return 0;
  std::vector<std::string::size_type> hits;
  for (std::string::size_type at = text.find(delimiter); at != std::string::npos;
       at = text.find(delimiter, at + delimiter.size())) {
    hits.push_back(at);
  }
  if (hits.empty()) return 0;
  std::string::size_type start = 0;
  for (std::string::size_type at : hits) {
    std::string piece = text.substr(start, at - start);
    if (keepEmpty || !piece.empty()) fields.push_back(piece);
    start = at + delimiter.size();
  }
  std::string last = text.substr(start);
  if (keepEmpty || !last.empty()) fields.push_back(last);
  return static_cast<int>(hits.size());
}

namespace {
int ReadHex(const std::string& field) {
  std::istringstream stream(field);
  unsigned int value = 0;
  stream >> std::hex >> value;
  // A field without digits reads as 0, like an empty one.
  if (stream.fail()) return 0;
  return static_cast<int>(value);
}
}  // namespace

int FindExternalTXT(const std::string& path, int sid, const std::string& language, int& pid,
                    int& page) {
  log("EXT::Checking for TXT Subtitles in external file...\n");
  std::ifstream file(path);
  if (!file.is_open()) return 0;
  // Written either way (fra or fre, any case), an entry names the same
  // language as the settings do.
  const std::string wanted = NormalizeLanguageCode(language);
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    std::vector<std::string> fields;
    SplitString(line, " ", fields, true);
    // A line needs service id, PID, page and language; shorter lines have no
    // meaning and are passed over rather than read past their end.
    if (fields.size() < 4) continue;
    const int lineSid = ReadHex(fields[0]);
    const int linePid = ReadHex(fields[1]);
    const int linePage = ReadHex(fields[2]);
    if (lineSid == sid && NormalizeLanguageCode(fields[3]) == wanted) {
      pid = linePid;
      page = linePage;
      return 1;
    }
  }
  return 0;
}
