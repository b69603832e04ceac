# Shared by the checks against FFmpeg; sourced after the check defines say().
#
#   require_commands CMD...  each must be installed, else SKIP (exit 0)
#   require_tools TOOL...    each must be built in $build (default
#                            build/default, or $ZUVA_BUILD_DIR), else FAIL
#   open_out_dir NAME [DIR]  $out: DIR, new or empty, kept; without DIR a
#                            temporary folder, removed on every way out

build="${ZUVA_BUILD_DIR:-build/default}"
failed=0

require_commands() {
  local cmd
  for cmd in "$@"; do
    command -v "$cmd" >/dev/null 2>&1 ||
      { say "SKIP: $cmd is not installed (scripts/setup.sh --interop installs it)"; exit 0; }
  done
}

require_tools() {
  local tool
  for tool in "$@"; do
    [ -x "$build/$tool" ] || { say "FAIL: $build/$tool is missing; build first"; exit 1; }
  done
}

# What is already in DIR is the user's: never deleted, never mixed in. /tmp is
# no place to keep anything, a failed check's files included: to look at
# them, name a folder.
open_out_dir() {
  if [ $# -ge 2 ]; then
    out="$2"
    if [ -e "$out" ] && { [ ! -d "$out" ] || [ -n "$(ls -A "$out")" ]; }; then
      say "FAIL: $out exists and is not an empty folder; name a new one"
      exit 1
    fi
    mkdir -p "$out"
    trap 'say "files kept in $out"' EXIT
  else
    out="$(mktemp -d "/tmp/zuva-$1-XXXXXX")"
    trap 'rm -rf "$out"; [ "$failed" = 0 ] || say "run again with an OUT_DIR to keep the files"' EXIT
  fi
}
