#!/usr/bin/env bash
# Installs an already built tree into a temporary prefix and checks what a user and a developer
# get: the programs, the library with its SONAME beside its private engine, only the public
# headers, the CMake package and the pkg-config file, the desktop entry, icons and metainfo
# (validated with the desktop's own tools), and `vellacast --version`. Then a small program of
# somebody else's (consumer/) is built against the installed library through
# find_package(KelvanePlayer) and plays a tone from a loopback HTTP server on the "No sound"
# device until it hears it.
# Usage: tests/install/check.sh [BUILD-DIR]   (default: build/ at the top of the checkout)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(realpath "${1:-$top/build}")
work=$(mktemp -d /tmp/vellacast-install.XXXXXX)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
  cat "$work/install.log" >&2
  fail "cmake --install failed"
}

echo "== installed files"
app_id=ru.vellacast.Vellacast
for file in bin/vellacast bin/klplay bin/vellacast-devservice \
  "$libdir/libKelvanePlayer.so" "$libdir/libKelvanePlayer.so.1" \
  "$libdir/libKelvanePlayer.so.$version" "$libdir/libKelvanePlayerEngine.so.1" \
  "$libdir/cmake/KelvanePlayer/KelvanePlayerConfig.cmake" \
  "$libdir/pkgconfig/kelvaneplayer.pc" include/KelvanePlayer/klplayer.h \
  include/KelvanePlayer/rep_klplayer_merged.h include/KelvanePlayer/klmetadataupdater.h \
  "share/applications/$app_id.desktop" "share/metainfo/$app_id.metainfo.xml" \
  "share/icons/hicolor/scalable/apps/$app_id.svg" \
  "share/icons/hicolor/48x48/apps/$app_id.png" "share/icons/hicolor/256x256/apps/$app_id.png"; do
  [ -e "$prefix/$file" ] || fail "$file is not installed"
done
# The engine and the library's inner parts stay private.
[ ! -e "$prefix/$libdir/libKelvanePlayerEngine.so" ] || fail "the engine has a development link"
for header in "$prefix"/include/KelvanePlayer/*.h; do
  grep -q '#include <bass.h>' "$header" && fail "$(basename "$header") includes the engine"
done
[ ! -e "$prefix/include/KelvanePlayer/klplayback.h" ] || fail "a back-end header is installed"
[ ! -e "$prefix/include/bass.h" ] || fail "the engine header is installed"
readelf -d "$prefix/$libdir/libKelvanePlayer.so.$version" |
  grep -q 'SONAME.*\[libKelvanePlayer\.so\.1\]' || fail "libKelvanePlayer has no SONAME"
file "$prefix/share/icons/hicolor/48x48/apps/$app_id.png" | grep -q '48 x 48' ||
  fail "the 48x48 icon is not 48x48"

echo "== desktop entry and metainfo"
desktop-file-validate "$prefix/share/applications/$app_id.desktop"
# --no-net: the screenshots are named by the project's web address, which CI does not reach.
appstreamcli validate --no-net "$prefix/share/metainfo/$app_id.metainfo.xml"

echo "== service units and dashboard"
for unit in vellacast.service vellacast@.service; do
  [ -e "$prefix/lib/systemd/user/$unit" ] || fail "$unit is not installed"
  grep -qx "ExecStart=$prefix/bin/vellacast --headless" "$prefix/lib/systemd/user/$unit" ||
    fail "$unit does not start the installed program: $(grep ExecStart "$prefix/lib/systemd/user/$unit")"
done
if command -v systemd-analyze >/dev/null; then
  # An instance unit is checked through an instance of it. The user manager it simulates wants a
  # runtime directory; a warning (an unknown setting, a bad value) fails the check as well.
  cp "$prefix/lib/systemd/user/vellacast@.service" "$work/vellacast@station1.service"
  mkdir -m 700 "$work/runtime"
  XDG_RUNTIME_DIR=$work/runtime SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --user \
    "$prefix/lib/systemd/user/vellacast.service" "$work/vellacast@station1.service" \
    >"$work/verify.log" 2>&1 || { cat "$work/verify.log" >&2; fail "systemd-analyze verify"; }
  [ ! -s "$work/verify.log" ] || { cat "$work/verify.log" >&2; fail "systemd-analyze verify warned"; }
fi
python3 -m json.tool "$prefix/share/doc/vellacast/vellacast-dashboard.json" >/dev/null ||
  fail "the dashboard is not valid JSON"

echo "== the installed program"
# Run from the working directory so that nothing is written into the checkout.
(cd "$work" && "$prefix/bin/vellacast" --version) >"$work/version.txt" ||
  fail "vellacast --version failed"
grep -qx "vellacast $version" "$work/version.txt" ||
  fail "vellacast --version printed: $(cat "$work/version.txt")"
[ -z "$(ls "$work"/vellacast_* 2>/dev/null)" ] || fail "vellacast --version wrote a log file"

echo "== pkg-config"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
[ "$(pkg-config --modversion kelvaneplayer)" = "$version" ] || fail "pkg-config version"
# The file finds the prefix from its own place: its directories name the temporary prefix.
[ "$(realpath "$(pkg-config --variable=includedir kelvaneplayer)")" = "$prefix/include" ] ||
  fail "pkg-config includedir: $(pkg-config --variable=includedir kelvaneplayer)"
[ "$(realpath "$(pkg-config --variable=libdir kelvaneplayer)")" = "$prefix/$libdir" ] ||
  fail "pkg-config libdir: $(pkg-config --variable=libdir kelvaneplayer)"
pkg-config --libs kelvaneplayer | grep -q -- "-lKelvanePlayer" ||
  fail "pkg-config --libs: $(pkg-config --libs kelvaneplayer)"

echo "== a program built against the installed library"
cmake -S "$here/consumer" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || {
  cat "$work/consumer.log" >&2
  fail "the consumer did not build"
}
mkdir "$work/www"
ffmpeg -v error -f lavfi -i sine=frequency=440:duration=30 -b:a 128k "$work/www/tone.mp3"
python3 -u -m http.server --bind 127.0.0.1 --directory "$work/www" 0 >"$work/server.log" 2>&1 &
server_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/server.log" | head -n1)
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || fail "the loopback server did not start: $(cat "$work/server.log")"
"$work/consumer/consumer" "http://127.0.0.1:$port/tone.mp3" 2>"$work/consumer-run.log" || {
  tail -n 20 "$work/consumer-run.log" >&2
  fail "the consumer did not hear the stream"
}
echo "PASS"
