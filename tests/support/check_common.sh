# Shared by the checks against FFmpeg; sourced after the check defines say().
#
#   require_tools TOOL...    each must be built in $build (default
#                            build/default, or $ZUVA_BUILD_DIR), else FAIL
#   open_out_dir NAME [DIR]  $out: DIR, emptied and kept; without DIR a
#                            temporary folder, removed at exit unless
#                            $failed is not 0

build="${ZUVA_BUILD_DIR:-build/default}"
failed=0

require_tools() {
  local tool
  for tool in "$@"; do
    [ -x "$build/$tool" ] || { say "FAIL: $build/$tool is missing; build first"; exit 1; }
  done
}

open_out_dir() {
  if [ $# -ge 2 ]; then
    out="$2"
    rm -rf "$out"
    mkdir -p "$out"
    keep=1
  else
    out="$(mktemp -d "/tmp/zuva-$1-XXXXXX")"
    keep=0
  fi
  trap 'if [ "$keep" = 0 ] && [ "$failed" = 0 ]; then rm -rf "$out"; else say "files kept in $out"; fi' EXIT
}
