#!/bin/sh
# Installs what is missing, builds and starts the desktop softphone. Without
# a display it says so and points to the console softphone.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
targets="quorvelle"
[ -f src/cli/CMakeLists.txt ] && targets="$targets quorvelle-cli"
cmake --build --preset default --target $targets
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "quorvelle: no display here (neither DISPLAY nor WAYLAND_DISPLAY is set); use the console softphone: build/default/src/cli/quorvelle-cli"
  exit 0
fi
exec build/default/src/app/quorvelle "$@"
