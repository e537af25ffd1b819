#!/usr/bin/env bash
# Installs, through apt-get, whatever the build and the tests need and this machine lacks.
# With --fuzz, also what make fuzz needs: clang++ and the libFuzzer runtime.
set -euo pipefail

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || missing+=(make)
command -v python3 >/dev/null 2>&1 || missing+=(python3)
command -v sha1sum >/dev/null 2>&1 || missing+=(coreutils)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
# libsodium seals the datagrams of swarms with a key (shim/seal); CMake finds it by pkg-config.
[ -f /usr/include/sodium.h ] || missing+=(libsodium-dev)
command -v pkg-config >/dev/null 2>&1 || missing+=(pkg-config)
# ip (iproute2) makes the network namespaces of the test of peers on two hosts.
command -v ip >/dev/null 2>&1 || [ -x /usr/sbin/ip ] || [ -x /sbin/ip ] || missing+=(iproute2)
# The window plot of the loss benchmark (scripts/plot_windows.py) runs on the system Python.
/usr/bin/python3 -c "import matplotlib" >/dev/null 2>&1 || missing+=(python3-matplotlib)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
updated=0
install() {
  echo "installing: $*"
  if [ $updated -eq 0 ]; then
    $SUDO apt-get update -q
    updated=1
  fi
  $SUDO apt-get install -y -q "$@"
}

# Whether apt knows a package of this name (after an update, on a machine without lists).
known_package() {
  apt-cache policy "$1" 2>/dev/null | grep -q 'Candidate: [0-9]'
}

# Whether clang++ links a libFuzzer program with the sanitizers.
links_fuzzer() {
  local probe ok=0
  probe=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
    > "$probe/probe.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    >/dev/null 2>&1 || ok=1
  rm -rf "$probe"
  return $ok
}

# The package of the libFuzzer runtime: libclang-rt-dev where the distribution has it (Debian 12
# and later), otherwise the one of clang's major version (libclang-rt-14-dev), or
# libclang-common-N-dev on releases that keep the runtime there.
install_fuzzer_runtime() {
  local major pkg
  major=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
  [ $updated -eq 1 ] || { $SUDO apt-get update -q; updated=1; }
  for pkg in libclang-rt-dev ${major:+libclang-rt-$major-dev libclang-common-$major-dev}; do
    if known_package "$pkg"; then
      install "$pkg"
      return
    fi
  done
  echo "no package with the libFuzzer runtime of clang $major found" >&2
  return 1
}

[ ${#missing[@]} -eq 0 ] || install "${missing[@]}"

if [ "${1:-}" = "--fuzz" ]; then
  command -v clang++ >/dev/null 2>&1 || install clang
  links_fuzzer || install_fuzzer_runtime
fi
