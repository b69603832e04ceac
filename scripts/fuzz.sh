#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzz.cpp) with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs each for SECONDS (default 60).
# Fails when any target finds a crash, a leak, a time-out or an out-of-memory.
#
#   scripts/fuzz.sh [--no-build] [SECONDS] [TARGET...]
#
# TARGET is a name such as psi or dvbsub (default: every target). Seeds are
# read from fuzz/corpus/<target>/ and never changed; what the fuzzer learns
# goes to build/fuzz/corpus/<target>/, findings to build/fuzz/findings/<target>/
# and the output of each run to build/fuzz/logs/<target>.log.
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)

build=1
if [ "${1:-}" = "--no-build" ]; then
  build=0
  shift
fi
seconds=60
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    targets+=("${name%_fuzz}")
  done
fi

out=$root/build/fuzz
if [ $build -eq 1 ]; then
  scripts/setup.sh
  scripts/setup.sh --fuzz
  cmake --preset fuzz >/dev/null
  names=()
  for t in "${targets[@]}"; do names+=("${t}_fuzz"); done
  cmake --build --preset fuzz -j2 --target "${names[@]}"
fi

failed=()
for t in "${targets[@]}"; do
  bin=$out/fuzz/${t}_fuzz
  if [ ! -x "$bin" ]; then
    echo "fuzz: no target $t ($bin)" >&2
    failed+=("$t")
    continue
  fi
  mkdir -p "$out/corpus/$t" "$out/findings/$t" "$out/logs"
  log=$out/logs/$t.log
  echo "fuzz: $t for ${seconds}s"
  status=0
  nice "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="$out/findings/$t/" -print_final_stats=1 \
    "$out/corpus/$t" "$root/fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  if [ $status -ne 0 ]; then
    echo "fuzz: $t FAILED (exit $status); see $log and $out/findings/$t/" >&2
    grep -E '^==[0-9]+==ERROR|FUZZ_CHECK|SUMMARY|^artifact_prefix|Test unit written' "$log" | head -5 >&2 || true
    failed+=("$t")
  else
    echo "fuzz: $t ok, ${runs:-?} runs, ${cov:-cov: ?}"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: no findings"
