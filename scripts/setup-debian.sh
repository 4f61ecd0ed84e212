#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test QDXTLMV:
# compilers for the three builds, GoogleTest sources, the host tool's
# libraries (with cpp-httplib and dygraphs for the page of qdxpoll watch), the
# peer library for the benchmarks, Wine for the Windows build's tests and
# Chromium for the page's test in a browser. Run as root (or through sudo).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
$SUDO dpkg --add-architecture i386
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq \
  cmake make g++ g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686 \
  googletest libcli11-dev nlohmann-json3-dev libfmt-dev libmodbus-dev \
  pkg-config libcpp-httplib-dev libjs-dygraphs \
  clang libclang-rt-14-dev python3 procps \
  wine wine32:i386 chromium >/dev/null
