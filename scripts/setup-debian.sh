#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and run QDXTLMV, in
# groups by what needs them, each its own install:
#
#   demo   what the demo builds and runs with: the compiler and CMake, the
#          host tool's libraries (CLI11, fmt, nlohmann-json, cpp-httplib and
#          dygraphs for the page of qdxpoll watch, toml++ for the settings and
#          line files, SQLite for the history, libmosquitto for mqtt).
#   tests  the demo's, and what the default test suite adds: GoogleTest's
#          sources, Chromium for the page's test in a browser, ser2net,
#          mosquitto and its clients, python3, procps and systemd (whose
#          systemd-analyze checks the service unit). (The default.)
#   ci     the tests', and what .ci/run's other steps add: the -m32
#          compiler, MinGW-w64, clang with its sanitizer runtime for fuzzing,
#          libmodbus for the benchmark, Wine, and 32-bit Wine (wine32:i386)
#          for the Windows checks on the product itself. It also fetches the
#          Debian sources of SQLite, cpp-httplib and mosquitto, which the
#          Windows builds compile themselves (scripts/fetch-windows-sources.sh;
#          tcl makes SQLite's amalgamation).
#
# A group that cannot be installed is named in one line with apt's reason and
# what it costs; setup then goes on with the others. Only a group the caller
# asked for fails the command. 32-bit Wine is apart from the ci group: where
# it cannot be had (the mirror's i386 lists do not match their amd64 twins
# while it syncs), setup installs qemu-system-x86 and debootstrap instead,
# and .ci/run runs the 32-bit Windows checks inside a small emulated Debian
# machine (scripts/wine32-vm.sh) that takes all its packages from bookworm
# main.
#
# Some kernels run no 32-bit programs (their 32-bit emulation is off). There
# the ci group also installs qemu-user-static and registers it for 32-bit
# x86 programs through binfmt_misc, so that the -m32 build and its tests run
# under the emulator, and installs 64-bit Wine and the x86-64 MinGW compiler
# for the Windows checks, with qemu-system-x86 and debootstrap for the
# emulated machine.
#
# QDX_FORCE_EMULATION=1 installs the emulated path's tools on a machine that
# runs 32-bit programs, so that the fallback can be tried there; it registers
# nothing. QDX_SETUP_WITHOUT=wine32 acts as if 32-bit Wine could not be had
# (a broken i386 list on a healthy machine); .ci/run reads it too.
#
# Run as root (or through sudo). Running it again installs nothing and asks
# no mirror when every package of the groups is there.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

want="${1:-tests}"
case "$want" in
demo | tests | ci) ;;
-h | --help)
    sed -n '2,/^$/{s/^# \{0,1\}//;p}' "$0"
    exit 0
    ;;
*)
    echo "usage: scripts/setup-debian.sh [demo|tests|ci]   (default: tests)" >&2
    exit 64
    ;;
esac

demo_packages="cmake make g++ pkg-config libcli11-dev nlohmann-json3-dev libfmt-dev
  libcpp-httplib-dev libjs-dygraphs libtomlplusplus-dev libsqlite3-dev libmosquitto-dev"
tests_packages="googletest python3 procps chromium ser2net mosquitto mosquitto-clients systemd"
ci_packages="g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686 clang libclang-rt-14-dev
  libmodbus-dev wine dpkg-dev unzip tcl"
wine32_packages="wine32:i386"
vm_packages="qemu-system-x86 debootstrap e2fsprogs"
emulation_packages="qemu-user-static wine64 g++-mingw-w64-x86-64 $vm_packages"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
apt_get() {
    $SUDO apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3 "$@"
}
without() { [[ ",${QDX_SETUP_WITHOUT:-}," == *",$1,"* ]]; }

# The lists are fetched once a run, and only when something is missing. A
# mirror in the middle of a sync serves an index of the wrong size: try once
# more, then go on with the lists there are (a package they lack fails its
# own group, not the others).
lists_fresh=0
lists_broken=""
apt_update() {
    [ "$lists_fresh" = 1 ] && return 0
    lists_fresh=1
    local log
    log="$(mktemp)"
    for attempt in 1 2; do
        if apt_get update -qq >"$log" 2>&1; then rm -f "$log"; return 0; fi
        [ "$attempt" = 2 ] || sleep 10
    done
    lists_broken="$(grep -o 'Failed to fetch [^ ]*' "$log" | sort -u | sed 's/Failed to fetch //' | tr '\n' ' ')"
    echo "setup: some package lists did not download (${lists_broken:-see apt-get update}$(grep -m1 -o 'File has unexpected size[^.]*' "$log" | sed 's/^/: /')); going on with those there are" >&2
    rm -f "$log"
}

missing_of() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
    done
}

# install GROUP-NAME WHAT-IT-COSTS PACKAGES...: 0 when all are installed; else
# names the group with apt's reason and what it costs, and returns 1.
install_group() {
    local name="$1" cost="$2"
    shift 2
    local missing
    missing="$(missing_of "$@")"
    [ -z "$missing" ] && return 0
    apt_update
    local log
    log="$(mktemp)"
    # shellcheck disable=SC2086 # one package a word
    if apt_get install -y -qq $missing >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    local reason
    reason="$(grep -E '^E: ' "$log" | head -n 1 | sed 's/^E: //')"
    [ -n "$reason" ] || reason="$(tail -n 1 "$log")"
    # Multi-Arch: same packages must have one version on both architectures:
    # an i386 list that failed leaves the i386 twins older than the amd64 ones.
    if [[ "$*" == *:i386* && "$lists_broken" == *binary-i386* ]]; then
        reason="the mirror's i386 lists do not match; apt: $reason"
    fi
    echo "setup: $name cannot be installed ($reason): $cost" >&2
    rm -f "$log"
    return 1
}

failed=0
need() { # need GROUP: the caller asked for GROUP or one that includes it
    case "$want:$1" in
    demo:demo | tests:demo | tests:tests | ci:*) return 0 ;;
    esac
    return 1
}

install_group "the demo's packages" "nothing can be built" $demo_packages || failed=1
if need tests; then
    install_group "the test suite's packages" "the tests cannot be built or run" \
        $tests_packages || failed=1
fi
if ! need ci; then
    [ "$failed" = 0 ] && echo "setup: ready for the $want"
    exit "$failed"
fi

install_group "CI's packages" "the -m32, Windows and fuzz steps cannot run" $ci_packages || failed=1
if ! fetch_log="$("$here/fetch-windows-sources.sh" 2>&1 >/dev/null)"; then
    echo "setup: the Windows libraries' sources cannot be fetched (${fetch_log##*fetch-windows-sources: }): the Windows builds are made without SQLite, cpp-httplib and libmosquitto, and their checks under Wine are left out" >&2
fi

runs32="$("$here/runs-32-bit.sh" 2>/dev/null || true)"
if [ "$runs32" = native ]; then
    wine32_cost="the 32-bit Windows checks will run in the emulated machine (scripts/wine32-vm.sh)"
    if without wine32; then
        echo "setup: QDX_SETUP_WITHOUT=wine32: 32-bit Wine left out as if it could not be had: $wine32_cost"
        install_group "the emulated machine's tools" "the 32-bit Windows checks cannot run" $vm_packages || failed=1
    elif [ -n "$(missing_of $wine32_packages)" ]; then
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            $SUDO dpkg --add-architecture i386
            lists_fresh=0
        fi
        if ! install_group "32-bit Wine" "$wine32_cost" $wine32_packages; then
            install_group "the emulated machine's tools" "the 32-bit Windows checks cannot run" \
                $vm_packages || failed=1
        fi
    fi
    if [ "${QDX_FORCE_EMULATION:-0}" = 1 ]; then
        install_group "the emulated path's tools" "the fallback checks cannot run" $emulation_packages || failed=1
        echo "setup: QDX_FORCE_EMULATION=1: installed qemu-user-static, wine64, MinGW x86-64, qemu-system-x86 and debootstrap for the fallback checks (this kernel runs 32-bit programs itself)"
    fi
    exit "$failed"
fi

# No 32-bit programs here: qemu-i386 runs them, registered with the F flag
# (the kernel opens the emulator once, so it works in any mount namespace)
# for both executables and position-independent ones (e_type 2 and 3).
install_group "the emulated path's tools" "the -m32 tests and the Windows checks cannot run" \
    $emulation_packages || exit 1
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-i386" ]; then
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" | $SUDO tee "$binfmt/register" >/dev/null
fi
if [ "$(head -n 1 "$binfmt/qemu-i386")" != enabled ]; then
    echo 1 | $SUDO tee "$binfmt/qemu-i386" >/dev/null
fi
if [ "$("$here/runs-32-bit.sh")" = emulated ]; then
    echo "setup: this kernel runs no 32-bit programs: registered qemu-i386 (qemu-user-static) for them through binfmt_misc; installed wine64, MinGW x86-64, qemu-system-x86 and debootstrap for the Windows checks"
else
    echo "setup: this kernel runs no 32-bit programs, and qemu-i386 through binfmt_misc did not help" >&2
    exit 1
fi
exit "$failed"
