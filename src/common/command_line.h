#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// The option handling every zuva program shares, on getopt_long: -h/--help
// prints the usage on standard output, --version prints "NAME VERSION", and
// anything wrong (an unknown option, a missing value, a value the program
// refuses) is one line on standard error and exit status 2.
namespace cli {

struct Option {
  const char* name;  // long name, without the dashes
  char letter;       // short form, 0 for none
  bool takesValue;
  int id;            // handed to the program's handler; must not be '?' or ':'
};

struct Program {
  const char* name;   // for messages: "zuva-mkdemo"
  const char* usage;  // the whole --help text
  std::vector<Option> options;
  // Takes one option with its value (null without one). False refuses it,
  // with `error` as the message, or "bad value" when it is left empty.
  std::function<bool(int id, const char* value, std::string& error)> handle;
  // Where help and version go, and where usage errors go.
  FILE* out = stdout;
  FILE* err = stderr;
};

// Parses argv. Returns -1 when the program is to go on, with the operands
// (the arguments that are not options, in order) in `operands`; otherwise the
// exit status, after the help, version or error text has been printed.
int Parse(const Program& program, int argc, char** argv, std::vector<std::string>& operands);

// A whole argument as a number in [min, max] (decimal, or hexadecimal with
// `base` 16); false for anything else, trailing characters included.
bool ToInt(const char* text, long long min, long long max, long long& out, int base = 10);
bool ToNumber(const char* text, double min, double max, double& out);
// A whole argument WIDTHxHEIGHT of at least 720x576 and at most maxWidth x
// maxHeight; false for anything else, leaving width and height alone.
bool ToSize(const char* text, long long maxWidth, long long maxHeight, int& width, int& height);

// One line "NAME: message (see NAME --help)" on standard error; returns 2,
// the status of every usage error.
int UsageError(const Program& program, const std::string& message);

// Checks made before a program starts its work, so that it never runs to the
// end and then cannot write what it was asked to. False with "PATH: reason"
// (the system's words) in `error`.
// A file: an existing one must be a writable file, a new one needs a
// writable folder. Nothing is created.
bool CheckOutputFile(const std::string& path, std::string& error);
// A folder: an existing one must be a writable folder; a missing one is made
// (its parent must exist).
bool MakeOutputDir(const std::string& path, std::string& error);

}  // namespace cli
