#pragma once

#include <string>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H

// Where the screen looks for a font when the configured one cannot be
// opened: the box's default font exists only on the box, and a screen
// without text shows no teletext subtitle and no message at all.
struct FontFallback {
  // Tried in order.
  std::vector<std::string> files;
  // Asked after them for the system's "sans" font, as fontconfig's fc-match
  // answers; empty: nobody is asked.
  std::string matcher;

  // DejaVu Sans and Liberation Sans where Debian, Fedora and Arch install
  // them, then fc-match.
  static FontFallback Default();
};

// Why FreeType cannot use the font file: the system's reason when the file
// cannot be opened, FreeType's when it is not a font it reads; empty when
// the font opens.
std::string FontProblem(FT_Library library, const std::string& path);

// FreeType's own text for an error code.
const char* FreeTypeErrorText(FT_Error error);

// The file the matcher program names for "sans"; empty when there is no such
// program, it fails, names no absolute path or does not answer within three
// seconds (it is then killed).
std::string AskFontMatcher(const std::string& program);
