#!/bin/sh
# Installs what is missing, builds, and (until the desktop application is
# there) shows what the SIP parser makes of a sample INVITE.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
build/default/tools/sipdump/quorvelle-sipdump samples/invite.sip
