#!/usr/bin/env bash
# Runs the Windows checks under Wine: serial_win32_calls.exe (the serial
# layer's Win32 calls against recording stand-ins), version_check.exe (the
# version information of QDXTLMV.dll, TELVOR.dll and qdxpoll.exe), then
# serial_win32_check.exe against two pseudo-terminal lines served by
# line_peer.py and, when it is built, a third one served by the controller
# simulator rexfsim; then sqlite_check.exe, httplib_check.exe and
# mosquitto_check.exe (with a mosquitto broker on 127.0.0.1 when one is
# installed), when the build has those libraries; then qdxpoll.exe as a
# user runs it: list-ports, log and export (the history file read across
# platforms both ways), mqtt with mosquitto, and watch met by curl and
# Chromium on the Linux side (qdxpoll_night.sh, qdxpoll_page.sh), and run
# as a service of Wine's service control manager (qdxpoll_service.sh); the sick
# line's rows (wire_rows.sh); and qdxpoll.exe demo from the unpacked zip,
# with rexfsim.exe as its simulator (demo_zip.sh).
#
# Usage: tests/wine/run.sh [BUILD_DIR]
#   BUILD_DIR is the windows-i686 build (default: build/windows-i686 in the
#   source tree); it must hold the three check programs, QDXTLMV.dll and
#   TELVOR.dll. The Wine prefix lives in BUILD_DIR/wineprefix; it is created
#   (wineboot -i) on the first run only. A windows-x86_64 build runs under
#   64-bit Wine (wine64, WINEARCH=win64), for machines whose kernel runs no
#   32-bit programs; any other under 32-bit Wine.
#
# What CI runs, from the source tree, as root on Debian 12 (bookworm):
#   dpkg --add-architecture i386 && apt-get update
#   apt-get install -y cmake g++-mingw-w64-i686 wine wine32:i386 python3
#   cmake --preset windows-i686
#   cmake --build --preset windows-i686
#   tests/wine/run.sh build/windows-i686
# The first run boots the prefix: 8 to 15 s here, up to a minute or two on a
# slow runner; later runs take about 10 s in all, with or without rexfsim.
# To include the reads and writes through rexfsim, build the default preset
# first (or set REXFSIM). The last line printed is
# "N passed, N failed"; the exit status is 0 only when nothing failed.
#
# Environment: WINE (default wine), WINESERVER (default: the one on PATH),
# PYTHON (default python3), REXFSIM (the controller simulator, a Linux
# program; default build/default/sim/rexfsim when it exists). With the simulator, reads and writes through the module
# are checked on a third line; without it they are skipped. The lines are
# mapped as COM5, COM6 and COM7; COM9 must name no device.
#
# Found under Wine 8 on Linux pseudo-terminals: SetCommState passes 7 data
# bits and parity on without complaint (the pseudo-terminal silently keeps 8
# bits, no parity), ReadFile honours ReadTotalTimeoutConstant, ClearCommError
# reports the pending input, and a second open of a port held without sharing
# is not refused (the program skips the checks of that).
set -u

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build_dir="${1:-$source_dir/build/windows-i686}"
build_dir="$(cd "$build_dir" 2>/dev/null && pwd)" || {
    echo "run.sh: no build directory ${1:-$source_dir/build/windows-i686}" >&2
    echo "0 passed, 1 failed"
    exit 1
}
python_cmd="${PYTHON:-python3}"

# The build's machine decides the Wine: 32-bit programs (the product) under
# 32-bit Wine, an x86-64 build (for machines whose kernel runs no 32-bit
# programs) under 64-bit Wine, called directly so that Debian's wrapper never
# tries the 32-bit loader.
pe_machine() {
    "$python_cmd" - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read(4096)
offset = struct.unpack_from("<I", data, 0x3C)[0]
print(hex(struct.unpack_from("<H", data, offset + 4)[0]))
PY
}
if [ -f "$build_dir/QDXTLMV.dll" ] && [ "$(pe_machine "$build_dir/QDXTLMV.dll")" = 0x8664 ]; then
    export WINEARCH=win64
    wine_cmd="${WINE:-/usr/lib/wine/wine64}"
    export WINELOADER="$wine_cmd"
    wineserver_cmd="${WINESERVER:-/usr/lib/wine/wineserver64}"
else
    export WINEARCH=win32
    wine_cmd="${WINE:-wine}"
    wineserver_cmd="${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver32)}"
fi
echo "run.sh: $WINEARCH Wine ($wine_cmd) for $build_dir"

export WINEPREFIX="$build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono/Gecko prompts at boot

peer_pid=""
broker_port=""
sim_pid=""
sim_in=""
broker_pid=""
work=""
summary="0 passed, 1 failed"
total_passed=0
total_failed=0

cleanup() {
    for pid in $peer_pid $sim_pid $broker_pid; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6" \
        "$WINEPREFIX/dosdevices/com7"
    [ -n "$work" ] && rm -rf "$work"
    # Stop this prefix's server so that nothing is left running.
    "$wineserver_cmd" -k >/dev/null 2>&1
}
finish() {
    cleanup
    echo "$summary"
}
trap finish EXIT
# A run cut short (a timeout, Ctrl-C) has failed, whatever it counted so far.
trap 'summary="$total_passed passed, $((total_failed + 1)) failed"; exit 1' INT TERM

exe="$build_dir/serial_win32_check.exe"
for file in "$exe" "$build_dir/serial_win32_calls.exe" "$build_dir/version_check.exe" \
    "$build_dir/QDXTLMV.dll" "$build_dir/TELVOR.dll"; do
    if [ ! -f "$file" ]; then
        echo "run.sh: missing $file (build the windows-i686 preset first)" >&2
        exit 1
    fi
done

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "run.sh: creating the Wine prefix $WINEPREFIX (first run only)"
    mkdir -p "$WINEPREFIX"
    start=$(date +%s)
    timeout 600 "$wine_cmd" wineboot -i >/dev/null 2>&1 || {
        echo "run.sh: wineboot failed" >&2
        exit 1
    }
    "$wineserver_cmd" -w >/dev/null 2>&1
    echo "run.sh: prefix ready after $(( $(date +%s) - start )) s"
fi

work="$(mktemp -d "$build_dir/wine-lines.XXXXXX")"
line_re='^[0-9]+ passed, [0-9]+ failed'

# Runs one check program under Wine, shows what it printed but its summary,
# and adds its counts to the totals; a program that ends without its summary
# or with a failure status counts one failure more.
total_passed=0
total_failed=0
run_counted() {
    local out="$work/counted.out" rc line
    (cd "$build_dir" && timeout 600 "$wine_cmd" "$@") >"$out" 2>&1
    rc=$?
    tr -d '\r' <"$out" | grep -Ev "$line_re"
    line="$(tr -d '\r' <"$out" | grep -E "$line_re" | tail -n 1)"
    if [ -n "$line" ]; then
        total_passed=$((total_passed + ${line%% passed*}))
        total_failed=$((total_failed + $(echo "$line" | sed -n 's/.* \([0-9]*\) failed.*/\1/p')))
        echo "run.sh: $1: $line"
    fi
    if [ -z "$line" ] || { [ "$rc" -ne 0 ] && echo "$line" | grep -q ' 0 failed'; }; then
        echo "run.sh: $1 ended without success (status $rc)" >&2
        total_failed=$((total_failed + 1))
    fi
    summary="$total_passed passed, $total_failed failed"
}

"$python_cmd" "$here/line_peer.py" "$work/lines" 2 &
peer_pid=$!
for _ in $(seq 1 100); do
    [ -s "$work/lines" ] && break
    sleep 0.1
done
if [ ! -s "$work/lines" ]; then
    echo "run.sh: the line peer did not start" >&2
    exit 1
fi
line1="$(sed -n 1p "$work/lines")"
line2="$(sed -n 2p "$work/lines")"

rexfsim="${REXFSIM:-$source_dir/build/default/sim/rexfsim}"
line3=""
if [ -x "$rexfsim" ]; then
    # Its commands come through a pipe held open here (sim_in): the page's
    # checks ask it what reached the unit.
    mkfifo "$work/sim.in"
    "$rexfsim" --no-drift <"$work/sim.in" >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    exec {sim_in}>"$work/sim.in"
    for _ in $(seq 1 100); do
        line3="$(sed -n 's/^rexfsim: listening on //p' "$work/sim.out" 2>/dev/null | head -n 1)"
        [ -n "$line3" ] && break
        sleep 0.1
    done
    [ -z "$line3" ] && echo "run.sh: $rexfsim did not start; reads and writes not checked" >&2
fi

# COMMAND: the simulator's one-line answer, or nothing without its commands.
sim_command() {
    [ -n "${sim_in:-}" ] || return 0
    local before
    before=$(wc -l <"$work/sim.out")
    echo "$1" >&"$sim_in"
    for _ in $(seq 1 50); do
        if [ "$(wc -l <"$work/sim.out")" -gt "$before" ]; then
            sed -n "$((before + 1))p" "$work/sim.out"
            return 0
        fi
        sleep 0.1
    done
}

# Map the lines as COM5, COM6 (and COM7), both in the registry (which Wine's mount
# manager applies when it starts) and as the device links it reads.
cat >"$work/ports.reg" <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]
"COM5"="$line1"
"COM6"="$line2"
EOF
if [ -n "$line3" ]; then
    echo "\"COM7\"=\"$line3\"" >>"$work/ports.reg"
else
    echo '"COM7"=-' >>"$work/ports.reg"
fi
reg_path="$(timeout 120 "$wine_cmd" winepath -w "$work/ports.reg" 2>/dev/null | tr -d '\r')"
[ -n "$reg_path" ] || reg_path="$work/ports.reg"
timeout 120 "$wine_cmd" regedit /S "$reg_path" \
    >/dev/null 2>&1
"$wineserver_cmd" -w >/dev/null 2>&1
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$line1" "$WINEPREFIX/dosdevices/com5"
ln -sfn "$line2" "$WINEPREFIX/dosdevices/com6"
[ -n "$line3" ] && ln -sfn "$line3" "$WINEPREFIX/dosdevices/com7"
rm -f "$WINEPREFIX/dosdevices/com9"
# One Wine server for all the programs: otherwise each program pays a whole
# session start (seconds natively, half a minute under an emulated machine).
"$wineserver_cmd" -p >/dev/null 2>&1
echo "run.sh: COM5 -> $line1, COM6 -> $line2${line3:+, COM7 -> $line3 (rexfsim)}"

run_counted serial_win32_calls.exe
run_counted version_check.exe QDXTLMV.dll TELVOR.dll tools/qdxpoll/qdxpoll.exe sim/rexfsim.exe
run_counted serial_win32_check.exe COM5 COM6 "" ${line3:+COM7}

# SQLite, cpp-httplib and libmosquitto as the Windows build compiles them,
# where their sources were there to build them; libmosquitto's round trip
# goes through a mosquitto broker on 127.0.0.1 where one is installed.
if [ -f "$build_dir/sqlite_check.exe" ]; then
    run_counted sqlite_check.exe "Z:${work//\//\\}"
    run_counted httplib_check.exe
    broker_port=""
    mosquitto_cmd="$(command -v mosquitto || echo /usr/sbin/mosquitto)"
    if [ -x "$mosquitto_cmd" ]; then
        broker_port="$("$python_cmd" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
        printf '%s\n' "listener $broker_port 127.0.0.1" "allow_anonymous true" "persistence false" >"$work/broker.conf"
        "$mosquitto_cmd" -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
        broker_pid=$!
        for _ in $(seq 1 100); do
            (exec 3<>"/dev/tcp/127.0.0.1/$broker_port") 2>/dev/null && break
            sleep 0.1
        done
    else
        echo "run.sh: no mosquitto broker installed: libmosquitto's round trip not checked"
    fi
    run_counted mosquitto_check.exe $broker_port
else
    echo "run.sh: no sqlite_check.exe: the build has no SQLite, cpp-httplib and libmosquitto (scripts/fetch-windows-sources.sh)"
fi

# QDX_WINE_TOOL_ROWS=tour keeps, of qdxpoll.exe's rows, only its tour through
# the module and the layer under it: where the same rows already ran under
# 64-bit Wine on an x86-64 build of the same source.
tool_rows="${QDX_WINE_TOOL_ROWS:-all}"
if [ "$tool_rows" != all ]; then
    echo "run.sh: of qdxpoll.exe's rows only its tour (QDX_WINE_TOOL_ROWS=$tool_rows): list-ports, history, mqtt, the page and the wire rows are left out"
fi

# qdxpoll.exe's list-ports, history and mqtt (tests/wine/qdxpoll_night.sh),
# and its page (tests/wine/qdxpoll_page.sh).
# They run qdxpoll.exe as the zip lays it out, where the zip can be had
# (BUILD_DIR/packages, or made now by cpack), as a user runs it.
qdxpoll_exe=""
if [ "$tool_rows" = all ]; then
    zip="$(ls "$build_dir"/packages/QDXTLMV-*-win32.zip 2>/dev/null | head -n 1)"
    if [ -z "$zip" ] && command -v cpack >/dev/null && [ -f "$build_dir/CPackConfig.cmake" ]; then
        (cd "$build_dir" && cpack -G ZIP -B "$work/cpack") >"$work/cpack.log" 2>&1
        zip="$(ls "$work"/cpack/QDXTLMV-*-win32.zip 2>/dev/null | head -n 1)"
    fi
    if [ -n "$zip" ] && "$python_cmd" -m zipfile -e "$zip" "$work/zip" 2>/dev/null; then
        qdxpoll_exe="$(ls "$work"/zip/QDXTLMV-*-win32/qdxpoll/qdxpoll.exe 2>/dev/null | head -n 1)"
    fi
    if [ -n "$qdxpoll_exe" ]; then
        echo "run.sh: qdxpoll.exe's rows run it from the zip's layout: ${qdxpoll_exe#"$work"/zip/}"
    else
        echo "run.sh: no zip of $build_dir could be had: qdxpoll.exe's rows run it from the build tree"
    fi
fi
if [ "$tool_rows" = all ]; then
    # shellcheck source=tests/wine/qdxpoll_night.sh
    source "$here/qdxpoll_night.sh"
    # shellcheck source=tests/wine/qdxpoll_page.sh
    source "$here/qdxpoll_page.sh"
    # shellcheck source=tests/wine/qdxpoll_service.sh
    source "$here/qdxpoll_service.sh"
fi

# The host tool's tour against the simulator, through the Windows module. A
# pseudo-terminal keeps 8 data bits and no parity, so the tour asks for them.
demo="$build_dir/tools/qdxpoll/qdxpoll.exe"
if [ -n "$line3" ] && [ -f "$demo" ]; then
    echo "run.sh: qdxpoll.exe demo --port COM7"
    if (cd "$build_dir" && timeout 300 "$wine_cmd" "$demo" demo --port COM7 --data-bits 8 \
        --parity none --quiet) >"$work/demo.out" 2>&1; then
        total_passed=$((total_passed + 1))
        tr -d '\r' <"$work/demo.out" | tail -n 5
    else
        total_failed=$((total_failed + 1))
        tr -d '\r' <"$work/demo.out"
        echo "run.sh: qdxpoll.exe demo failed" >&2
    fi
    summary="$total_passed passed, $total_failed failed"
fi

# A script of rows (one line each, then "N passed, N failed"), its counts
# added to the totals; one that ends without its counts is one failure.
run_rows() {
    local out="$work/rows.out" line
    "$wineserver_cmd" -k >/dev/null 2>&1
    "$@" >"$out" 2>&1
    grep -v -E "$line_re" "$out"
    line="$(grep -E "$line_re" "$out" | tail -n 1)"
    line="${line:-0 passed, 1 failed}"
    total_passed=$((total_passed + ${line%% passed*}))
    total_failed=$((total_failed + $(echo "$line" | sed -n 's/.* \([0-9]*\) failed.*/\1/p')))
    summary="$total_passed passed, $total_failed failed"
}

# qdxpoll.exe with its layer under the module: the sick-line rows, trace,
# scan, save, Ctrl-C, a lost port and device servers (tests/wine/wire_rows.sh).
if [ "$tool_rows" = all ] && [ -x "$rexfsim" ] && [ -f "$demo" ]; then
    run_rows "$here/wire_rows.sh" "$build_dir" "$rexfsim"
fi

# qdxpoll.exe demo with no port, from the zip unpacked as a user unpacks it:
# rexfsim.exe beside it on a TCP port of 127.0.0.1 (tests/wine/demo_zip.sh).
if [ -f "$demo" ] && [ -f "$build_dir/sim/rexfsim.exe" ]; then
    echo "run.sh: qdxpoll.exe demo from the zip"
    run_rows "$here/demo_zip.sh" "$build_dir"
else
    echo "run.sh: no qdxpoll.exe or rexfsim.exe in $build_dir: qdxpoll.exe demo from the zip not checked"
fi

[ "$total_failed" -eq 0 ]
exit $?
