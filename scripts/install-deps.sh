#!/bin/sh
# Installs the Debian packages a step needs, only those missing, so repeated
# runs cost nothing.  Usage: install-deps.sh build|test|fuzz|lint
set -eu

build_packages="g++ cmake ninja-build make"
test_packages="$build_packages libgtest-dev libbenchmark-dev python3 netbase curl openssl netcat-openbsd iproute2 python3-pyftpdlib chromium chromium-driver"
# libFuzzer and the sanitizer runtimes come with clang's runtime package.
fuzz_packages="$build_packages clang libclang-rt-14-dev iproute2"
# The format check and clang-tidy.
lint_packages="$build_packages git clang-format clang-tidy"

case "${1:-build}" in
  build) wanted=$build_packages ;;
  test) wanted=$test_packages ;;
  fuzz) wanted=$fuzz_packages ;;
  lint) wanted=$lint_packages ;;
  *) echo "usage: $0 build|test|fuzz|lint" >&2; exit 2 ;;
esac

missing=""
for package in $wanted; do
  if ! dpkg -s "$package" 2>/dev/null | grep -q '^Status: install ok installed'; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    echo "missing packages:$missing (run as root to install them)" >&2; exit 1
  fi
else
  SUDO=
fi
echo "installing:$missing" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
