#pragma once

#include <cstdio>
#include <string>

#include "platform/platform.h"

// zuva-status: does the box plugin's job from a shell. The demultiplexer is
// reached through `platform.io` at `platform.paths.demux`, and the status file
// written is `platform.paths.statusFile` unless --status-file names another.
// `demuxName` is the device as the user knows it, for messages.
//
// Exit status: 0 done; 1 the demultiplexer or the file failed; 2 bad input.
int RunStatusTool(int argc, char** argv, const Platform& platform, const std::string& demuxName,
                  FILE* out, FILE* err);
