#!/bin/sh
# Installs, with apt-get, every Debian package Quorvelle needs to build, run and
# test (real peers included). Packages already present are not touched, so a
# second run costs a dpkg query and nothing else.
set -eu

PACKAGES="cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev uuid-dev portaudio19-dev libasound2-dev libgsm1-dev
  libspeex-dev libspeex1 libspeexdsp-dev libespeak-ng-dev espeak-ng-data
  qt6-base-dev qt6-svg-dev qt6-qpa-plugins qt6-translations-l10n libxcb1-dev
  libopus-dev libosip2-dev libsofia-sip-ua-dev libspandsp-dev
  sip-tester baresip-core kamailio coturn sox xvfb xauth imagemagick iproute2 procps iptables
  dbus desktop-file-utils x11-utils"

missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# Peers must never start as system services: the tests start them on free ports.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get install -y -q --no-install-recommends $missing
