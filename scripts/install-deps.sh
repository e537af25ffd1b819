#!/usr/bin/env bash
# Installs, through apt-get, whatever the build and the tests need and this machine lacks.
set -euo pipefail

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || missing+=(make)
command -v python3 >/dev/null 2>&1 || missing+=(python3)
command -v sha1sum >/dev/null 2>&1 || missing+=(coreutils)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
# ip (iproute2) makes the network namespaces of the test of peers on two hosts.
command -v ip >/dev/null 2>&1 || [ -x /usr/sbin/ip ] || [ -x /sbin/ip ] || missing+=(iproute2)
# The window plot of the loss benchmark (scripts/plot_windows.py) runs on the system Python.
/usr/bin/python3 -c "import matplotlib" >/dev/null 2>&1 || missing+=(python3-matplotlib)

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q "${missing[@]}"
