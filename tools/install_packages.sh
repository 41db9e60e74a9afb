#!/usr/bin/env bash
# Installs the Debian packages that building and testing quorvane_4d need,
# those that are missing only (nothing at all when every one is there), with
# sudo unless run as root. The README's commands and .ci/run begin with it.
#
# usage: tools/install_packages.sh [--ci]
#   --ci   also what CI needs beyond the tests: Clang and its sanitizer and
#          fuzzer runtimes, llvm's symbolizer, Google Benchmark
#
# g++, cmake, zlib1g-dev and libzstd-dev build the program and the library;
# libgtest-dev, python3 and zstd(1) run the tests; python3-dev, pybind11-dev
# and python3-numpy build the Python package, python3-zstandard writes zstd
# files for its tests, and python3-torch lets its PyTorch tests and
# examples/train_tiny.py run; pkg-config serves the install test.
set -euo pipefail
packages=(g++ cmake make zlib1g-dev libzstd-dev zstd libgtest-dev python3 python3-numpy python3-zstandard python3-dev
          pybind11-dev python3-torch pkg-config)
if [ "${1:-}" = --ci ]; then
  packages+=(clang libclang-rt-14-dev llvm libbenchmark-dev)
elif [ $# -gt 0 ]; then
  echo "usage: tools/install_packages.sh [--ci]" >&2
  exit 2
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]})) || exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing ${missing[*]}" >&2
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
