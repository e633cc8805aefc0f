#!/bin/sh
# Installs the Debian packages that dorvex needs to build and test. Idempotent:
# packages already present are left alone and apt is not touched at all then.
set -eu

PACKAGES="cmake make g++ pkg-config git
libusb-dev libunicorn-dev
gcc-arm-none-eabi binutils-arm-none-eabi libnewlib-arm-none-eabi
libgtest-dev libgmock-dev googletest libbenchmark-dev"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    echo "deps: all packages present"
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "deps: missing packages:$missing" >&2
    echo "deps: run 'make deps' as root (or: sudo apt-get install$missing)" >&2
    exit 1
fi

echo "deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
