// The external channels file, looked up by FindExternalTXT, and the string
// splitter it cuts lines with.
//
// Input: byte 0 = length n of the delimiter, then n delimiter bytes, then the
// file. The lookup's service id and language come from the file's own first
// line, so matches are reachable.

#include <string>
#include <vector>

#include "config/channels.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  if (size < 1) return 0;
  size_t n = data[0] % 4;
  if (n > size - 1) n = size - 1;
  const std::string delimiter(reinterpret_cast<const char*>(data + 1), n);
  const std::string text(reinterpret_cast<const char*>(data + 1 + n), size - 1 - n);

  // Cutting and joining again must give back the text.
  std::vector<std::string> fields;
  const int cuts = SplitString(text, delimiter, fields, true);
  FUZZ_CHECK(cuts >= 0);
  if (cuts == 0) {
    FUZZ_CHECK(fields.empty());
  } else {
    FUZZ_CHECK(fields.size() == static_cast<size_t>(cuts) + 1);
    std::string joined = fields[0];
    for (size_t i = 1; i < fields.size(); ++i) joined += delimiter + fields[i];
    FUZZ_CHECK(joined == text);
  }
  std::vector<std::string> nonEmpty;
  FUZZ_CHECK(SplitString(text, delimiter, nonEmpty, false) == cuts);
  for (const std::string& f : nonEmpty) FUZZ_CHECK(!f.empty());

  const std::string path = fuzz::Scratch().File("zuva.channels");
  fuzz::WriteFile(path, data + 1 + n, size - 1 - n);
  std::vector<std::string> first;
  const std::string firstLine = text.substr(0, text.find('\n'));
  SplitString(firstLine, " ", first, true);
  const int sid = first.empty() ? 0 : static_cast<int>(std::strtoul(first[0].c_str(), nullptr, 16));
  const std::string language = first.size() >= 4 ? first[3] : "swe";
  int pid = -7, page = -7;
  const int found = FindExternalTXT(path, sid, language, pid, page);
  FUZZ_CHECK(found == 0 || found == 1);
  if (found == 0) FUZZ_CHECK(pid == -7 && page == -7);
  return 0;
}
