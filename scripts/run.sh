#!/bin/sh
# Installs what is missing, builds, and (until the desktop application is
# there) starts the console softphone with the arguments given, for example
#   scripts/run.sh --server pbx.example.org --user 201 --password secret
# Without arguments it shows the console softphone's options and commands.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
if [ $# -eq 0 ]; then
  exec build/default/src/cli/quorvelle-cli --help
fi
exec build/default/src/cli/quorvelle-cli "$@"
