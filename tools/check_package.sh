#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it: the file
# name, the files and where they go, the dependencies, the man pages and
# the packaged unit (with systemd-analyze verify where it exists).
# Usage: tools/check_package.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
out=$(mktemp -d "${TMPDIR:-/tmp}/merovane-deb.XXXXXX")
trap 'rm -rf "$out"' EXIT
fail() { echo "check_package: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log" >&2; fail "cpack failed"; }
deb="$out/merovane_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb (got: $(ls "$out"))"

listing=$(dpkg-deb -c "$deb")
files=$(awk '{print $6}' <<<"$listing")
for want in ./usr/bin/merovane ./usr/bin/merovane-judge \
            ./usr/share/man/man8/merovane.8.gz ./usr/share/man/man8/merovane-judge.8.gz \
            ./usr/share/doc/merovane/README.md ./usr/lib/systemd/system/merovane.service; do
  grep -qx "$want" <<<"$files" || fail "missing $want in the package: $files"
done
grep -q '^-rwxr-xr-x .* ./usr/bin/merovane$' <<<"$listing" || fail "the program is not executable"

depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libsqlite3-0' <<<"$depends" || fail "no libsqlite3 dependency: $depends"
grep -q 'python3' <<<"$depends" || fail "no python3 dependency (merovane-judge): $depends"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version differs from $version"
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "not amd64"

root="$out/root"
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/merovane" --version | grep -qx "merovane $version" || fail "--version is not $version"
zcat "$root/usr/share/man/man8/merovane.8.gz" | grep -q "^\.TH MEROVANE 8 .*merovane $version" ||
  fail "man page merovane(8) without the version"
if command -v man >/dev/null 2>&1; then
  rendered=$(MANWIDTH=80 man -l "$root/usr/share/man/man8/merovane.8.gz" 2>/dev/null || true)
  grep -q 'merovane ctl' <<<"$rendered" || fail "man page merovane(8) does not render"
fi

unit="$root/usr/lib/systemd/system/merovane.service"
for line in 'ExecStart=/usr/bin/merovane service' 'Restart=on-failure' 'DynamicUser=yes' \
            'User=merovane' 'StateDirectory=merovane' 'Environment=MEROVANE_HOME=/var/lib/merovane' \
            'NoNewPrivileges=yes' 'ProtectSystem=strict' 'ProtectHome=yes' 'PrivateTmp=yes' \
            'RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX' 'ExecReload=/bin/kill -HUP $MAINPID'; do
  grep -qxF "$line" "$unit" || fail "the unit lacks: $line"
done
if command -v systemd-analyze >/dev/null 2>&1; then
  # Verified against the unpacked program: the unit's paths point into it.
  check="$out/merovane.service"
  sed "s|/usr/bin/merovane|$root/usr/bin/merovane|" "$unit" >"$check"
  if ! SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$check" >"$out/verify.log" 2>&1; then
    # Outside a booted systemd (containers) verify cannot load its manager.
    if grep -qiE 'Failed to (initialize|connect|setup)|System has not been booted' "$out/verify.log"; then
      echo "check_package: systemd-analyze verify unavailable here: $(head -1 "$out/verify.log")"
    else
      cat "$out/verify.log" >&2
      fail "systemd-analyze verify reports the unit"
    fi
  elif grep -q 'merovane.service' "$out/verify.log"; then
    cat "$out/verify.log" >&2
    fail "systemd-analyze verify warns about the unit"
  fi
fi
echo "check_package: $deb ok"
