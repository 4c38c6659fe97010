#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it as an application
# would: builds examples/list-sensors.c against it with CMake (find_package)
# and with pkg-config, runs both and the installed kvt on simulated sensors.
#   tools/check-install.sh [preset]     (dev by default; the preset must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}
build=build/$preset
[ -d "$build" ] || { echo "check-install: $build is not built (cmake --preset $preset)" >&2; exit 1; }

work=$(mktemp -d -t kvt-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "check-install: $*" >&2; exit 1; }

# The installed kvt must find the library and the modules through its RUNPATH alone.
readelf -d "$prefix/bin/kvt" | grep -q 'RUNPATH.*\$ORIGIN/\.\./lib' || fail "kvt has no RUNPATH \$ORIGIN/../lib"
readelf -d "$prefix/lib/libkvtbasic.so" | grep -q 'SONAME.*libkvtbasic\.so\.2' || fail "libkvtbasic has no SONAME"

# Runs a program on two simulated sensors and checks that it lists both.
check_lists_both() {
    local out
    out=$(KVT_DATA_DIR=$(mktemp -d -p "$work") KVT_SIMULATED_SENSORS=u2,u1 "$@" 2>&1) \
        || fail "$* failed: $out"
    grep -q "Kelo U2 USB" <<<"$out" && grep -q "Kelo U1 USB" <<<"$out" \
        || fail "$* did not list both sensors: $out"
}

echo "== installed kvt"
check_lists_both env -u LD_LIBRARY_PATH "$prefix/bin/kvt" list
info=$(KVT_DATA_DIR=$(mktemp -d -p "$work") "$prefix/bin/kvt" info --json)
grep -q '"name": "VeriFinger50"' <<<"$info" || fail "installed library did not load its modules: $info"

echo "== example built with find_package(KVTBasic)"
cmake -S examples -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
check_lists_both "$work/cmake-build/list-sensors"

echo "== example built with pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046  # pkg-config's flags are meant to split
cc -Wall -Werror examples/list-sensors.c $(pkg-config --cflags --libs kvtbasic) \
    -Wl,-rpath,"$(pkg-config --variable=libdir kvtbasic)" -o "$work/list-sensors"
check_lists_both "$work/list-sensors"

echo "check-install: $preset installs and links"
