#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "platform/platform.h"

// zuva-status: does the box plugin's job from a shell. The demultiplexer is
// reached through `platform.io` at `platform.paths.demux`, and the status file
// written is `platform.paths.statusFile` unless --status-file names another.
// `select`, when given, picks the device layer for the demultiplexer that
// the options leave (--adapter, --demux), as the daemon picks its own.
//
// Exit status: 0 done; 1 the demultiplexer or the file failed; 2 bad input.
using DeviceSelector = std::function<DeviceIO*(const Paths&)>;
int RunStatusTool(int argc, char** argv, const Platform& platform, FILE* out, FILE* err,
                  const DeviceSelector& select = nullptr);
