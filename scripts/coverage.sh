#!/usr/bin/env bash
# Line and branch coverage of src/ by the whole test suite: builds the
# coverage preset, runs the suite from zeroed counters and prints gcovr's
# summary. Extra arguments go to gcovr (e.g. --html-details out.html).
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v gcovr >/dev/null; then
  sudo apt-get install -y gcovr || apt-get install -y gcovr
fi
cmake --preset coverage >/dev/null
find build/coverage -name "*.gcda" -delete
cmake --build --preset coverage -j "$(nproc)"
# The test discovery at build time ran the binary: start from zero again.
find build/coverage -name '*.gcda' -delete
ctest --preset coverage -j "$(nproc)"
# Exception and compiler-made branches are not decisions in our code.
gcovr --root . --filter 'src/' --object-directory build/coverage \
  --exclude-throw-branches --exclude-unreachable-branches --gcov-ignore-parse-errors --print-summary "$@" \
  build/coverage | tail -n 3
