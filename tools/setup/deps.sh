#!/usr/bin/env bash
# `make demo` and `make test` run this first: it installs the Debian packages
# the target needs when some are missing, with apt-get as root or through sudo
# otherwise; where neither works it names the packages and stops. The lists
# are the README's apt-get line (and .ci/run's), split by what needs them.
#
#   tools/setup/deps.sh demo|test
#   PDKIT_INSTALL_DEPS=no   only check, never install
set -euo pipefail

# The host tree configures its tests and benchmarks too, so the demo needs GoogleTest and Google Benchmark.
demo_packages=(build-essential cmake ninja-build libreadline-dev libgtest-dev libgmock-dev libbenchmark-dev)
test_packages=("${demo_packages[@]}" pkg-config python3
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 mingw-w64-tools openssl osslsigncode
  clang libclang-rt-14-dev lld llvm python3-pefile wine wine64 python3-asn1crypto clang-format)

case "${1:-}" in
  demo) wanted=("${demo_packages[@]}") ;;
  test) wanted=("${test_packages[@]}") ;;
  *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null 2>&1; then
  # Not Debian: the build says for itself what it cannot find.
  exit 0
fi

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [[ "$status" == installed ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

list="${missing[*]}"
give_up() {
  echo "make $1: these Debian packages are missing: $list" >&2
  echo "  install them (as root): apt-get update && apt-get install -y $list" >&2
  echo "  then run make $1 again${2:+ ($2)}" >&2
  exit 1
}

[[ "${PDKIT_INSTALL_DEPS:-yes}" == no ]] && give_up "$1" "PDKIT_INSTALL_DEPS=no: nothing was installed"

if [[ $(id -u) -eq 0 ]]; then
  run=()
elif command -v sudo >/dev/null 2>&1; then
  # On a terminal sudo may ask for a password; elsewhere it must not wait for one.
  if [[ -t 0 ]]; then run=(sudo); else run=(sudo -n); fi
else
  give_up "$1" "not root, and there is no sudo"
fi

echo "make $1: installing the missing Debian packages: $list"
export DEBIAN_FRONTEND=noninteractive
if ! "${run[@]}" apt-get update || ! "${run[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  give_up "$1" "apt-get${run:+ through sudo} failed"
fi

# A build tree configured before these packages came (`make demo` first, then
# `make test`) remembers what it did not find then: the image and Wine tests
# would stay unregistered. Such trees configure afresh; what they compiled stays.
for tree in build/*/; do
  if [[ -f "$tree/CMakeCache.txt" ]]; then
    echo "make $1: $tree configures again to see the new packages"
    rm -f "$tree/CMakeCache.txt" "$tree/build.ninja"
  fi
done
