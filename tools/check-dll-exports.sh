#!/usr/bin/env bash
# Checks the export tables of a Windows build: KVTBasic.dll exports exactly the
# functions its public headers declare, and each algorithm module exactly the
# names in modules/exports/<module>.names, all undecorated (no @N suffix).
#   tools/check-dll-exports.sh BUILD_FOLDER OBJDUMP
#   e.g. tools/check-dll-exports.sh build/mingw-i686 i686-w64-mingw32-objdump
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$1/bin
objdump=$2

exports() {
    "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort
}

compare() {
    local dll=$1 expected=$2 actual
    actual=$(exports "$bin/$dll")
    if [ -z "$actual" ]; then
        echo "$dll: no export table" >&2
        return 1
    fi
    if [ "$actual" != "$expected" ]; then
        echo "$dll exports differ from what is expected (< expected, > exported):" >&2
        diff <(echo "$expected") <(echo "$actual") >&2 || true
        return 1
    fi
    echo "$dll: $(echo "$actual" | wc -l) exports as expected"
}

status=0
declared=$(sed -n 's/^KVT_API .* KVT_CALL \([A-Za-z_]*\)(.*/\1/p' include/kvt/KVTBasic.h \
    include/kvt/KVTSimulator.h | sort)
compare KVTBasic.dll "$declared" || status=1
for module in VFExtractor VFMatcher NFRecord; do
    compare "$module.dll" "$(sort "modules/exports/$module.names")" || status=1
done
exit $status
