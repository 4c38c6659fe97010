#!/usr/bin/env bash
# Runs the 64-bit Windows build's tests under Wine: every GoogleTest program of
# the mingw-x64-tests preset except the slow tests and those listed in
# tests/wine-skips.txt, then kvt.exe and kvt-sensor-sim.exe as a user runs
# them. Prints the counts at the end; exits non-zero when anything failed.
#   tools/wine-tests.sh [build folder]      (default build/mingw-x64-tests)
set -uo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/mingw-x64-tests}/bin
skips=tests/wine-skips.txt
wine=$(command -v wine || command -v wine64 || true)
if [ -z "$wine" ] || [ ! -d "$bin" ]; then
    echo "wine-tests: need wine64 and a build of the mingw-x64-tests preset in $bin" >&2
    exit 2
fi

work=$(mktemp -d)
export WINEDEBUG=-all WINEPREFIX="$work/prefix"
# The tests' own data folders lie in the prefix's temporary folder.
cleanup() {
    wineserver -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
"$wine" wineboot -i >/dev/null 2>&1

filter="-Slow*"
skipped=0
echo "Left out under Wine:"
while read -r name reason; do
    case "$name" in '' | '#'*) continue ;; esac
    filter+=":$name"
    skipped=$((skipped + 1))
    echo "  $name: $reason"
done <"$skips"

# One process per test, as ctest runs them on Linux: each gets a data folder of
# its own. Two at a time.
run_one() {
    local program=$1 test=$2 log attempt
    log="$work/results/$(basename "$program" .exe).${test//\//_}"
    # A second try for a test that fails once: a Wine process now and then
    # fails to start on a loaded machine. Such tests are named at the end.
    for attempt in 1 2; do
        timeout 300 "$wine" "$program" --gtest_filter="$test" >"$log" 2>&1
        if grep -q '^\[  SKIPPED \] 1 test' "$log"; then
            mv "$log" "$log.skipped"
            return
        elif grep -q '^\[  PASSED  \] 1 test' "$log"; then
            [ "$attempt" -eq 2 ] && touch "$log.retried"
            mv "$log" "$log.passed"
            return
        fi
    done
    mv "$log" "$log.failed"
}
export -f run_one
export wine work
mkdir -p "$work/results"
for program in "$bin"/kvt_*_tests.exe; do
    echo "== $(basename "$program")"
    "$wine" "$program" --gtest_list_tests --gtest_filter="$filter" | tr -d '\r' |
        awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }' |
        xargs -P 2 -I{} bash -c 'run_one "$0" "$1"' "$program" {}
done
passed=$(find "$work/results" -name '*.passed' | wc -l)
failed=$(find "$work/results" -name '*.failed' | wc -l)
for log in "$work/results"/*.skipped; do
    [ -e "$log" ] || continue
    skipped=$((skipped + 1))
    echo "Skipped $(basename "$log" .skipped): $(grep -m1 -A1 'Skipped' "$log" | tail -1 | tr -d '\r')"
done
for log in "$work/results"/*.retried; do
    [ -e "$log" ] && echo "Passed at the second try: $(basename "$log" .retried)"
done
for log in "$work/results"/*.failed; do
    [ -e "$log" ] || continue
    echo "FAILED $(basename "$log" .failed):"
    grep -E 'Failure|Expected|Actual|Value of|Which is' "$log" | head -8 | tr -d '\r'
done

# The programs as a user runs them, from the build folder.
check() {
    local what=$1
    shift
    if "$@" >"$work/check.log" 2>&1; then
        passed=$((passed + 1))
    else
        echo "FAILED: $what"
        tail -40 "$work/check.log"
        failed=$((failed + 1))
    fi
}
mkdir -p "$work/data"
KVT_DATA_DIR=$("$wine" winepath -w "$work/data" | tr -d '\r')
export KVT_DATA_DIR
check "kvt-sensor-sim.exe takes 32-bit serial numbers" \
    "$wine" "$bin/kvt-sensor-sim.exe" --sensor 127.0.0.2:4294967295 --help
check "kvt.exe list --json prints JSON only" \
    bash -c "KVT_SIMULATED_SENSORS=u2 '$wine' '$bin/kvt.exe' list --json | python3 -m json.tool"
check "kvt.exe capture --png writes a PNG that ImageMagick reads" \
    bash -c "'$wine' '$bin/kvt.exe' capture --simulate u2 --out '$work/finger.bmp' --png '$work/finger.png' &&
             test \"\$(identify -format '%m %w %h' '$work/finger.png')\" = 'PNG 256 360'"
# The demo writes the settings it needs into a data folder of its own, as
# tools/run-demo.sh gives it.
mkdir -p "$work/demo"
check "kvt.exe demo" env KVT_DATA_DIR="$("$wine" winepath -w "$work/demo" | tr -d '\r')" \
    "$wine" "$bin/kvt.exe" demo

echo "Wine: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
