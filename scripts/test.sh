#!/bin/sh
# Installs what is missing, builds everything and runs every test (unit and
# interop; the interop tests start their own peers on 127.0.0.1).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default -j2 "$@"
