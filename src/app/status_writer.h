#pragma once

#include <string>

// What the box's plugin tells the daemon about the service it plays, in the
// order of the seven lines of the status file. PIDs the writer does not know
// stay 0: the daemon uses them only to notice a change.
struct StatusRecord {
  int sid = -1;
  int vpid = 0;
  int apid = 0;
  int tpid = 0;
  int aspect = 2;    // 2: a 16:9 picture; 1: 4:3
  int seekable = 0;  // nonzero: a recording played back
  int pmtPid = -1;
};

// The seven decimal lines, each ending in "\n".
std::string FormatStatus(const StatusRecord& record);

// Writes the record to `path` through a temporary file in the same folder
// and a rename, so a reader sees the old file or the new one, never a part.
// False, with the reason in `error` and nothing left behind, on failure.
bool WriteStatusFile(const std::string& path, const StatusRecord& record, std::string* error);
