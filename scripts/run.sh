#!/bin/sh
# Installs what is missing, builds and starts the desktop softphone. Without
# a display it says so and points to the console softphone, for example
#   build/default/src/cli/quorvelle-cli --server pbx.example.org --user 201 --password secret
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default --target quorvelle quorvelle-cli
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "quorvelle: no display here (neither DISPLAY nor WAYLAND_DISPLAY is set); use the console softphone: build/default/src/cli/quorvelle-cli --help"
  exit 0
fi
exec build/default/src/app/quorvelle "$@"
