#!/usr/bin/env bash
# Checks a built package: check-package.sh corvan-proxy_<version>_<arch>.deb
# Its contents (program, units, desktop entry, icons, manual page), its dependencies, the
# desktop entry (desktop-file-validate), the units (systemd-analyze verify) and the manual
# page (groff -ww, without a warning, and no service named as not running: a note left
# from before it ran). A tool that is missing is skipped with a message.
#   check-package.sh --manual-page PAGE   only the last check, on an uncompressed page
set -euo pipefail
fail=0
bad() { echo "check-package: $*" >&2; fail=1; }

# The sentences of a manual page (roff on stdin) that say a service does not run, one a
# line; none when it says no such thing. The roff requests and font changes are taken out
# and the lines joined, so a service name on a line of its own (.B HTTP) still counts.
stale_services() {
  local name='(HTTP|SOCKS|DNS|mapping)' not="(not|n't|cannot) (yet )?run"
  sed -E 's/^\.[A-Za-z]+ ?//; s/\\f[BIRP]//g; s/\\-/-/g' | tr '\n' ' ' |
    grep -oiE "$name[^.]{0,80}$not|$not[^.]{0,40}$name" || true
}
check_manual_page() {
  local stale
  stale=$(stale_services)
  [ -z "$stale" ] || bad "the manual page says a service does not run: $stale"
}

if [ "${1:-}" = --manual-page ]; then
  check_manual_page <"$2"
  exit "$fail"
fi

deb=$(realpath "$1")

contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/corvan-proxy \
            ./usr/lib/systemd/system/corvan-proxy.service \
            ./usr/lib/systemd/user/corvan-proxy.service \
            ./usr/share/applications/corvan-proxy.desktop \
            ./usr/share/icons/hicolor/scalable/apps/corvan-proxy.svg \
            ./usr/share/icons/hicolor/48x48/apps/corvan-proxy.png \
            ./usr/share/man/man1/corvan-proxy.1.gz \
            ./usr/share/doc/corvan-proxy/copyright; do
  grep -q " $path\$" <<<"$contents" || bad "the package lacks $path"
done
depends=$(dpkg-deb -f "$deb" Depends)
grep -q "libstdc++6" <<<"$depends" || bad "no library dependencies declared: '$depends'"
for script in postinst prerm postrm; do
  dpkg-deb -I "$deb" "$script" >/dev/null || bad "the package lacks its $script script"
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"

if command -v desktop-file-validate >/dev/null; then
  out=$(desktop-file-validate "$tmp/usr/share/applications/corvan-proxy.desktop" 2>&1) ||
    bad "desktop-file-validate: $out"
  [ -z "$out" ] || bad "desktop-file-validate: $out"
else
  echo "check-package: desktop-file-validate not found (desktop-file-utils): entry not checked"
fi

if command -v systemd-analyze >/dev/null; then
  # Copies whose ExecStart names the extracted program: verify checks that it exists.
  for unit in system user; do
    mkdir -p "$tmp/verify/$unit"
    copy="$tmp/verify/$unit/corvan-proxy.service"
    sed "s|/usr/bin/corvan-proxy|$tmp/usr/bin/corvan-proxy|" \
      "$tmp/usr/lib/systemd/$unit/corvan-proxy.service" >"$copy"
    scope=(); [ "$unit" = user ] && scope=(--user)
    mkdir -p -m 700 "$tmp/run"  # a user manager needs a runtime folder, even to verify
    out=$(XDG_RUNTIME_DIR="$tmp/run" systemd-analyze "${scope[@]}" verify --man=no "$copy" 2>&1) ||
      bad "systemd-analyze verify ($unit unit): $out"
    out=$(grep -v "^$" <<<"$out" || true)
    [ -z "$out" ] || bad "systemd-analyze verify ($unit unit): $out"
  done
else
  echo "check-package: systemd-analyze not found (systemd): units not checked"
fi

if command -v groff >/dev/null; then
  out=$(zcat "$tmp/usr/share/man/man1/corvan-proxy.1.gz" | groff -man -ww -z 2>&1) ||
    bad "groff: $out"
  [ -z "$out" ] || bad "groff: $out"
else
  echo "check-package: groff not found: manual page not checked"
fi
zcat "$tmp/usr/share/man/man1/corvan-proxy.1.gz" | check_manual_page

[ "$fail" = 0 ] && echo "check-package: $(basename "$deb") is whole"
exit "$fail"
