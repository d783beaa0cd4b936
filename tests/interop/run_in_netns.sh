#!/bin/sh
# Runs a command inside a new network namespace that holds only loopback, so
# that every address the user agent and the peers choose is 127.0.0.1 and no
# port can collide with the machine's. As root the namespace is made
# directly; otherwise inside a user namespace (where unprivileged ones are
# allowed). When neither works the test fails: it never runs unisolated.
set -eu
if [ "$(id -u)" -eq 0 ]; then
  exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' netns "$@"
fi
exec unshare --map-root-user --net -- sh -c 'ip link set lo up && exec "$@"' netns "$@"
