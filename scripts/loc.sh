#!/usr/bin/env bash
# Code lines (src/ and tools/) against test lines (tests/ whole, helpers and
# fixtures included, recorded samples not) and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files --cached --others --exclude-standard "$@" | while read -r f; do [ -f "$f" ] && cat "$f"; done | wc -l; }
code=$(count 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tools/*.h')
tests=$(count 'tests/*.cpp' 'tests/*.h' 'tests/*.sh' 'tests/*.py')
echo "code lines:  $code"
echo "test lines:  $tests"
echo "tests/code:  $((100 * tests / code)) %"
