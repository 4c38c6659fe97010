#!/usr/bin/env bash
# The main job: build the dev preset (when needed) and run the kvt walk-through
# in a data folder of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x build/dev/tools/kvt/kvt ]; then
    cmake --preset dev >/dev/null
    cmake --build --preset dev --target kvt
fi
data_dir=$(mktemp -d -t kvt-demo-XXXXXX)
trap 'rm -rf "$data_dir"' EXIT
export KVT_DATA_DIR="$data_dir"
kvt=build/dev/tools/kvt/kvt
echo "Data folder: $data_dir"
"$kvt" version
"$kvt" list
