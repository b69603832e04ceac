#pragma once

#include <string>
#include <vector>

// Cuts `text` at every occurrence of `delimiter` and appends the pieces to
// `fields` (empty ones only when `keepEmpty`). Returns the number of
// occurrences; 0 (and nothing appended) when there is none or an input is empty.
int SplitString(const std::string& text, const std::string& delimiter,
                std::vector<std::string>& fields, bool keepEmpty);

// Looks the service and language up in the external channels file at `path`:
// lines of hexadecimal service id, PID and page, then the language code.
// 1 with `pid` and `page` set from the first matching line, else 0.
int FindExternalTXT(const std::string& path, int sid, const std::string& language, int& pid,
                    int& page);
