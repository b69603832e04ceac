#!/usr/bin/env bash
# Builds the PC's Debian package (scripts/package-deb.sh) and the box's .ipk
# and fails when either lacks a file it must carry, or when lintian finds an
# error or a warning in the Debian package.
#
#   scripts/check-packages.sh [--install]   (after scripts/cross-build-powerpc.sh)
#
# --install also installs the Debian package with apt-get on this machine,
# runs its programs and reads its manual pages, purges it and checks that it
# left no file and no user behind (as root or through sudo; refused when zuva
# is installed here already).
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"
out="$src/build/packages"
mkdir -p "$out"
failed=0
install_test=0
[ "${1:-}" = "--install" ] && install_test=1

# expect LISTING WHAT PATH...: every PATH must be a line of LISTING.
expect() {
  local listing="$1" what="$2"
  shift 2
  for path in "$@"; do
    if ! grep -qxF -- "$path" <<<"$listing"; then
      echo "check-packages: $what lacks $path" >&2
      failed=1
    fi
  done
}

# Snapshot of the places a package can leave files in.
snapshot() { find /etc /usr /opt /var/lib/systemd -xdev 2>/dev/null | sort; }

# install_and_purge DEB: apt-get install, the programs and pages work, the
# user exists; apt-get purge after an enable and an edit leaves no file, no
# link and no user.
install_and_purge() {
  local deb="$1" sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  if dpkg-query -W -f='${Status}' zuva 2>/dev/null | grep -q "ok installed"; then
    echo "check-packages: zuva is installed on this machine; not testing install and purge" >&2
    failed=1
    return
  fi
  local apt=($sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -y -qq)
  # A first round brings the dependencies, so that the snapshot holds them.
  "${apt[@]}" install --no-install-recommends "$deb" >/dev/null
  "${apt[@]}" purge zuva >/dev/null
  local before after
  before="$(snapshot)"
  "${apt[@]}" install --no-install-recommends "$deb" >/dev/null
  echo "installed: $(dpkg-query -W -f='${Package} ${Version}, ${Installed-Size} KB' zuva)"
  for program in zuva zuva-status zuva-replay; do
    [ "$("$program" --version)" = "$program $(dpkg-query -W -f='${Version}' zuva | cut -d- -f1)" ] || {
      echo "check-packages: the installed $program --version says '$("$program" --version)'" >&2
      failed=1
    }
  done
  for page in man8/zuva.8 man5/zuva.conf.5 man1/zuva-status.1 man1/zuva-replay.1; do
    local text warnings
    text="$(MANWIDTH=80 man -l "/usr/share/man/$page.gz" 2>/dev/null)"
    warnings="$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "/usr/share/man/$page.gz" 2>&1 >/dev/null)"
    echo "man -l $page: $(wc -l <<<"$text") lines, $(head -n 1 <<<"$text" | tr -s ' ')"
    if ! grep -q '^NAME' <<<"$text" || [ -n "$warnings" ]; then
      echo "check-packages: man -l $page fails: $warnings" >&2
      failed=1
    fi
  done
  if command -v systemd-sysusers >/dev/null && ! id -nG zuva 2>/dev/null | grep -qw video; then
    echo "check-packages: the postinst did not make the user zuva in group video" >&2
    failed=1
  fi
  # What a user does: enable the unit, edit the settings.
  if command -v systemctl >/dev/null; then $sudo systemctl enable zuva.service >/dev/null 2>&1 || true; fi
  echo "Language ger" | $sudo tee -a /etc/zuva/zuva.conf >/dev/null
  "${apt[@]}" purge zuva >/dev/null
  after="$(snapshot)"
  if [ "$before" != "$after" ]; then
    echo "check-packages: apt-get purge zuva left behind:" >&2
    comm -13 <(echo "$before") <(echo "$after") >&2
    failed=1
  fi
  if getent passwd zuva >/dev/null || getent group zuva >/dev/null; then
    echo "check-packages: apt-get purge zuva left the user or group zuva" >&2
    failed=1
  fi
  echo "purged: no file, link or user left"
}

echo "== Debian package for PCs"
deb="$(scripts/package-deb.sh "$out" | tail -n 1)"
echo "$deb ($(stat -c %s "$deb") bytes)"
files="$(dpkg-deb -c "$deb" | awk '{print $6}')"
expect "$files" "$deb" ./usr/bin/zuva ./usr/bin/zuva-status ./usr/bin/zuva-replay \
  ./etc/zuva/zuva.conf ./etc/zuva/zuva.channels ./etc/zuva/zuva.translation \
  ./usr/lib/systemd/system/zuva.service ./usr/lib/sysusers.d/zuva.conf \
  ./usr/share/man/man8/zuva.8.gz ./usr/share/man/man5/zuva.conf.5.gz \
  ./usr/share/man/man1/zuva-status.1.gz ./usr/share/man/man1/zuva-replay.1.gz \
  ./usr/share/doc/zuva/copyright ./usr/share/doc/zuva/changelog.Debian.gz \
  ./usr/share/doc/zuva/examples/zuva.conf.example ./usr/share/doc/zuva/examples/zuva.channels.example
control="$(mktemp -d)"
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$deb" "$control"
expect "$(cat "$control/conffiles")" "$deb conffiles" \
  /etc/zuva/zuva.conf /etc/zuva/zuva.channels /etc/zuva/zuva.translation
expect "$(ls "$control")" "$deb control" postinst prerm postrm
if grep -v '^[[:space:]]*#' "$control/postinst" | grep -qE 'systemctl (start|enable|restart)|invoke-rc.d|deb-systemd-(invoke|helper enable)'; then
  echo "check-packages: the postinst starts something" >&2
  failed=1
fi
unit="$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/systemd/system/zuva.service)"
expect "$unit" "zuva.service" "ExecStart=/usr/bin/zuva --config-dir /etc/zuva" "Restart=on-failure" \
  "KillSignal=SIGTERM" "PrivateTmp=no"
# The broadcast recordings are under their authors' licence, which the
# copyright file must carry for any of them the package installs.
if grep -q '\.ts$' <<<"$files" &&
  ! dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/zuva/copyright | grep -q BSD-2-Clause; then
  echo "check-packages: $deb installs a recording without its BSD-2-Clause licence" >&2
  failed=1
fi
# Every error and warning counts; overrides in the package carry their reason.
# (Shown overrides count as failures for --fail-on, hence two runs.)
echo "lintian $(lintian --version | awk '{print $2}') on $(basename "$deb"):"
lintian --show-overrides "$deb" 2>&1 | grep -v 'running with root privileges' | sed 's/^/  /' || true
if ! lintian --fail-on error,warning "$deb" >/dev/null 2>&1; then
  echo "check-packages: lintian reports errors or warnings on $deb" >&2
  failed=1
fi
if [ "$install_test" = 1 ]; then install_and_purge "$deb"; fi

echo "== opkg package for the box"
ipk="$(scripts/package-ipk.sh "$out" | tail -n 1)"
echo "$ipk"
members="$(ar t "$ipk")"
[ "$members" = "$(printf 'debian-binary\ncontrol.tar.gz\ndata.tar.gz')" ] || {
  echo "check-packages: $ipk holds '$members' instead of debian-binary, control.tar.gz, data.tar.gz" >&2
  failed=1
}
ar p "$ipk" control.tar.gz | tar -tzf - >/dev/null
expect "$(ar p "$ipk" control.tar.gz | tar -tzf -)" "$ipk control" ./control ./conffiles
expect "$(ar p "$ipk" control.tar.gz | tar -xzOf - ./conffiles)" "$ipk conffiles" \
  /var/tuxbox/config/zuva/zuva.conf /var/tuxbox/config/zuva/zuva.channels \
  /var/tuxbox/config/zuva/zuva.translation
expect "$(ar p "$ipk" data.tar.gz | tar -tzf -)" "$ipk data" ./usr/bin/zuva ./etc/init.d/zuva \
  ./var/tuxbox/config/zuva/zuva.conf ./var/tuxbox/config/zuva/zuva.channels \
  ./var/tuxbox/config/zuva/zuva.translation
case "$(ar p "$ipk" data.tar.gz | tar -xzOf - ./usr/bin/zuva | file -b -)" in
  *"ELF 32-bit MSB"*PowerPC*) ;;
  *) echo "check-packages: $ipk's daemon is not a PowerPC program" >&2; failed=1 ;;
esac

[ "$failed" = 0 ] && echo "check-packages: both packages are complete"
exit "$failed"
