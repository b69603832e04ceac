#!/usr/bin/env bash
# Builds the tests with ThreadSanitizer and runs the end-to-end suite and the
# threaded units under it: the replays, the PES filter and its reader thread,
# the main loop and the drawing lock. Any report of a race fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j 2 --target zuva_tests
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
ctest --preset tsan -R 'EndToEnd|PES|MainLoop|CaptureReplay|BroadcastDamage|FrameBufferLock' --output-on-failure "$@"
