#pragma once

#include <string>

// The one form in which the daemon compares three-letter language codes, from
// whichever side they come: the stream's descriptors, the settings and the
// channels file. ASCII letters are lower-cased, and each language that has two
// codes (one from its English name, one from its own) is folded onto the
// first: "fra", "FRA" and "Fre" all become "fre", "deu" becomes "ger". Any
// other text comes back lower-cased and otherwise as it was, so a code with
// a trailing blank or carriage return still matches nothing.
std::string NormalizeLanguageCode(const std::string& code);
