#!/usr/bin/env bash
# The main job: build the dev preset (when needed) and run the kvt walk-through
# in a data folder of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev >/dev/null
cmake --build --preset dev --target kvt >/dev/null
# The data folder is kept: it holds the pictures and the log of the run.
data_dir=$(mktemp -d -t kvt-demo-XXXXXX)
export KVT_DATA_DIR="$data_dir"
kvt=build/dev/tools/kvt/kvt
"$kvt" version
"$kvt" demo
