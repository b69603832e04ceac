#include "common/command_line.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cli {

namespace {

// getopt_long values of the options without a short form, and of --version;
// above every character so that they never meet a letter.
constexpr int kLongOnlyBase = 0x1000;
constexpr int kVersion = 0x0FFF;

// The option as the user wrote it, without any "=value".
std::string Spelling(int argc, char** argv, int index, int letter) {
  const bool longForm = index > 0 && index < argc && std::strncmp(argv[index], "--", 2) == 0;
  if (!longForm && letter > 0 && letter < 0x100) return std::string("-") + static_cast<char>(letter);
  if (index <= 0 || index >= argc) return "?";
  std::string text = argv[index];
  const auto equals = text.find('=');
  return equals == std::string::npos ? text : text.substr(0, equals);
}

}  // namespace

bool ToInt(const char* text, long long min, long long max, long long& out, int base) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, base);
  if (*end != '\0' || errno == ERANGE || value < min || value > max) return false;
  out = value;
  return true;
}

bool ToNumber(const char* text, double min, double max, double& out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  // Written so that NaN fails as well.
  if (*end != '\0' || !(value >= min && value <= max)) return false;
  out = value;
  return true;
}

bool ToSize(const char* text, long long maxWidth, long long maxHeight, int& width, int& height) {
  if (text == nullptr) return false;
  const std::string v = text;
  const size_t x = v.find('x');
  long long w = 0, h = 0;
  if (x == std::string::npos || !ToInt(v.substr(0, x).c_str(), 720, maxWidth, w) ||
      !ToInt(v.substr(x + 1).c_str(), 576, maxHeight, h)) {
    return false;
  }
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return true;
}

int UsageError(const Program& program, const std::string& message) {
  std::fprintf(program.err, "%s: %s (see %s --help)\n", program.name, message.c_str(), program.name);
  return 2;
}

int Parse(const Program& program, int argc, char** argv, std::vector<std::string>& operands) {
  std::string shortOptions = ":h";
  std::vector<option> table;
  std::vector<int> ids;  // getopt value - kLongOnlyBase -> index, for long-only ones
  for (size_t i = 0; i < program.options.size(); ++i) {
    const Option& o = program.options[i];
    const int value = o.letter != 0 ? o.letter : kLongOnlyBase + static_cast<int>(i);
    if (o.letter != 0) {
      shortOptions += o.letter;
      if (o.takesValue) shortOptions += ':';
    }
    table.push_back({o.name, o.takesValue ? required_argument : no_argument, nullptr, value});
  }
  table.push_back({"help", no_argument, nullptr, 'h'});
  table.push_back({"version", no_argument, nullptr, kVersion});
  table.push_back({nullptr, 0, nullptr, 0});

  // Messages are ours, one line each; 0 makes getopt start afresh, so a
  // program (or a test) may parse more than once.
  opterr = 0;
  optind = 0;
  for (;;) {
    const int c = getopt_long(argc, argv, shortOptions.c_str(), table.data(), nullptr);
    if (c == -1) break;
    if (c == 'h') {
      std::fputs(program.usage, program.out);
      return 0;
    }
    if (c == kVersion) {
      std::fprintf(program.out, "%s %s\n", program.name, ZUVA_VERSION_TEXT);
      return 0;
    }
    if (c == '?') return UsageError(program, "unknown option '" + Spelling(argc, argv, optind - 1, optopt) + "'");
    if (c == ':') return UsageError(program, "option '" + Spelling(argc, argv, optind - 1, optopt) + "' needs a value");

    const Option* found = nullptr;
    for (size_t i = 0; i < program.options.size(); ++i) {
      const Option& o = program.options[i];
      if ((o.letter != 0 && c == o.letter) || c == kLongOnlyBase + static_cast<int>(i)) found = &o;
    }
    if (found == nullptr) continue;
    std::string error;
    const char* value = found->takesValue ? optarg : nullptr;
    if (program.handle && !program.handle(found->id, value, error)) {
      if (error.empty()) {
        error = std::string("bad value '") + (value != nullptr ? value : "") + "' for --" + found->name;
      }
      return UsageError(program, error);
    }
  }
  for (int i = optind; i < argc; ++i) operands.emplace_back(argv[i]);
  return -1;
}

namespace {
bool Refuse(const std::string& path, const std::string& reason, std::string& error) {
  error = path + ": " + reason;
  return false;
}

// The folder a file named by `path` goes into.
std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

bool CheckOutputFile(const std::string& path, std::string& error) {
  if (path.empty()) return Refuse(path, "empty file name", error);
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return Refuse(path, strerror(EISDIR), error);
    if (access(path.c_str(), W_OK) != 0) return Refuse(path, strerror(errno), error);
    return true;
  }
  if (errno != ENOENT) return Refuse(path, strerror(errno), error);
  const std::string folder = FolderOf(path);
  if (stat(folder.c_str(), &info) != 0) return Refuse(path, strerror(errno), error);
  if (!S_ISDIR(info.st_mode)) return Refuse(path, strerror(ENOTDIR), error);
  if (access(folder.c_str(), W_OK | X_OK) != 0) return Refuse(path, strerror(errno), error);
  return true;
}

bool MakeOutputDir(const std::string& path, std::string& error) {
  if (path.empty()) return Refuse(path, "empty folder name", error);
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return Refuse(path, strerror(errno), error);
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return Refuse(path, strerror(errno), error);
  if (!S_ISDIR(info.st_mode)) return Refuse(path, strerror(ENOTDIR), error);
  if (access(path.c_str(), W_OK | X_OK) != 0) return Refuse(path, strerror(errno), error);
  return true;
}

}  // namespace cli
