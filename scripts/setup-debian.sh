#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test QDXTLMV:
# compilers for the three builds, GoogleTest sources, the host tool's
# libraries (with cpp-httplib and dygraphs for the page of qdxpoll watch, and
# toml++ for the settings files of qdxpoll save and restore, SQLite for the
# history of qdxpoll log, libmosquitto for qdxpoll mqtt, with mosquitto and
# its clients for its tests), the
# peer library for the benchmarks, Wine for the Windows build's tests and
# Chromium for the page's test in a browser. Run as root (or through sudo).
#
# Some kernels run no 32-bit programs (their 32-bit emulation is off). There
# the script installs qemu-user-static and registers it for 32-bit x86
# programs through binfmt_misc, so that the -m32 build and its tests run
# under the emulator, and installs 64-bit Wine and the x86-64 MinGW compiler
# for the Windows checks (32-bit Wine cannot start on such a kernel), with
# qemu-system-x86 and debootstrap for the 32-bit Wine checks inside a small
# emulated Debian machine (scripts/wine32-vm.sh).
# QDX_FORCE_EMULATION=1 installs the same on a machine that runs 32-bit
# programs, so that the fallback can be tried there; it registers nothing.
# Running it again changes nothing.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
apt_get() {
    $SUDO apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3 "$@"
}
# A mirror in the middle of a sync serves index files of the wrong size for a
# few minutes: try again, then go on with the lists already there (what is
# installed needs no new ones; a package that cannot be had still fails).
apt_update() {
    for attempt in 1 2 3; do
        apt_get update -qq && return 0
        echo "setup: the package lists did not all download (attempt $attempt of 3)" >&2
        [ "$attempt" = 3 ] || sleep 30
    done
    echo "setup: going on with the package lists already there" >&2
}
apt_install() {
    for attempt in 1 2; do
        apt_get install -y -qq "$@" >/dev/null && return 0
        [ "$attempt" = 2 ] || { sleep 30; apt_update; }
    done
    return 1
}
$SUDO dpkg --add-architecture i386
apt_update
apt_install \
  cmake make g++ g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686 \
  googletest libcli11-dev nlohmann-json3-dev libfmt-dev libmodbus-dev \
  pkg-config libcpp-httplib-dev libjs-dygraphs libtomlplusplus-dev libsqlite3-dev \
  clang libclang-rt-14-dev python3 procps ser2net \
  libmosquitto-dev mosquitto mosquitto-clients \
  wine wine32:i386 chromium

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ "$("$here/runs-32-bit.sh" 2>/dev/null)" = native ]; then
    if [ "${QDX_FORCE_EMULATION:-0}" = 1 ]; then
        apt_install qemu-user-static wine64 g++-mingw-w64-x86-64 qemu-system-x86 debootstrap
        echo "setup: QDX_FORCE_EMULATION=1: installed qemu-user-static, wine64, MinGW x86-64, qemu-system-x86 and debootstrap for the fallback checks (this kernel runs 32-bit programs itself)"
    fi
    exit 0
fi

# No 32-bit programs here: qemu-i386 runs them, registered with the F flag
# (the kernel opens the emulator once, so it works in any mount namespace)
# for both executables and position-independent ones (e_type 2 and 3).
apt_install qemu-user-static wine64 g++-mingw-w64-x86-64 qemu-system-x86 debootstrap
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-i386" ]; then
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" | $SUDO tee "$binfmt/register" >/dev/null
fi
if [ "$(cat "$binfmt/qemu-i386" | head -n 1)" != enabled ]; then
    echo 1 | $SUDO tee "$binfmt/qemu-i386" >/dev/null
fi
if [ "$("$here/runs-32-bit.sh")" = emulated ]; then
    echo "setup: this kernel runs no 32-bit programs: registered qemu-i386 (qemu-user-static) for them through binfmt_misc; installed wine64, MinGW x86-64, qemu-system-x86 and debootstrap for the Windows checks"
else
    echo "setup: this kernel runs no 32-bit programs, and qemu-i386 through binfmt_misc did not help" >&2
    exit 1
fi
