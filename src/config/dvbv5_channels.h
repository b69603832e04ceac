#pragma once

#include <string>

// A service from a channel file in the format that dvbv5-scan writes and
// dvbv5-zap reads: "[NAME]" sections of "KEY = VALUE" lines.
struct DvbV5Service {
  std::string name;
  int serviceId = -1;
  int videoPid = 0;  // 0 when the file names none
  int audioPid = 0;  // the first of several
};

// Looks up the section called `name` (exactly, the first one when several
// have that name) in the text of a channel file. False with a one-line reason
// in `error` when there is no such section, or when its SERVICE_ID is missing
// or its SERVICE_ID, VIDEO_PID or AUDIO_PID is not a number in range.
bool FindDvbV5Service(const std::string& text, const std::string& name, DvbV5Service& out,
                      std::string& error);
