#!/usr/bin/env bash
# qdxpoll.exe demo as a user runs it on Windows: the zip unpacked into a
# folder of its own, and qdxpoll.exe started from there with no port, so
# that it starts rexfsim.exe from beside itself on a TCP port of 127.0.0.1
# and tours the driver. Then the simulator's end: after the tour, after a
# Ctrl-C, and after qdxpoll.exe is killed outright; a simulator that does
# not start; and rexfsim.exe alone, reached with --port tcp:. One line a row ("ok"/"FAILED"), then "N passed, N failed";
# exit status 0 only when nothing failed.
#
#   tests/wine/demo_zip.sh [BUILD_DIR] [ZIP]
#     BUILD_DIR: a Windows build (default build/windows-x86_64); its Wine
#     prefix is made when missing. ZIP: the package to unpack; by default
#     BUILD_DIR/packages/QDXTLMV-*-win32.zip (scripts/wine32-vm.sh puts it
#     there), else one made now by cpack in BUILD_DIR. Without either the
#     check is skipped with its reason, as a pass of nothing.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build_dir="$(cd "${1:-$source_dir/build/windows-x86_64}" && pwd)" || { echo "0 passed, 1 failed"; exit 1; }
python_cmd="${PYTHON:-python3}"

# shellcheck source=tests/wine/wine_for_build.sh
source "$here/wine_for_build.sh"
unset QDXPOLL_MODULE QDXPOLL_SIMULATOR

work="$(mktemp -d /tmp/demo-zip.XXXXXX)"
passed=0
failed=0
cleanup() {
    kill_simulators
    rm -rf "$work"
    echo "$passed passed, $failed failed"
}
trap cleanup EXIT

verdict() {  # verdict OK WHAT [DETAIL]
    if [ "$1" = 1 ]; then
        passed=$((passed + 1))
        echo "ok      $2"
    else
        failed=$((failed + 1))
        echo "FAILED  $2"
        [ -n "${3:-}" ] && echo "$3" | sed 's/^/        /'
    fi
}

# The simulators this check started: their command lines hold its folder.
simulators() { ps -eo pid=,args= | grep -F "$(basename "$work")" | grep -i 'rexfsim\.exe' | grep -v grep | awk '{print $1}'; }
kill_simulators() { for pid in $(simulators); do kill "$pid" 2>/dev/null; done; }
# Waits up to $1 seconds for the simulators to end; true when they have.
simulators_end_within() {
    local tenths=$(( $1 * 10 ))
    for _ in $(seq 1 "$tenths"); do [ -z "$(simulators)" ] && return 0; sleep 0.1; done
    return 1
}

zip="${2:-}"
if [ -z "$zip" ]; then
    zip="$(ls "$build_dir"/packages/QDXTLMV-*-win32.zip 2>/dev/null | head -n 1)"
fi
if [ -z "$zip" ] && command -v cpack >/dev/null && [ -f "$build_dir/CPackConfig.cmake" ]; then
    (cd "$build_dir" && cpack -G ZIP -B "$work/cpack") >"$work/cpack.log" 2>&1
    zip="$(ls "$work"/cpack/QDXTLMV-*-win32.zip 2>/dev/null | head -n 1)"
    [ -n "$zip" ] || { verdict 0 "cpack made the zip of $build_dir" "$(tail -n 5 "$work/cpack.log")"; exit 1; }
fi
if [ -z "$zip" ]; then
    echo "demo_zip.sh: no zip of $build_dir and no cpack to make one: qdxpoll.exe demo from the zip not checked"
    exit 0
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 600 "$wine_cmd" wineboot -i >/dev/null 2>&1
    "$wineserver_cmd" -w >/dev/null 2>&1
fi
"$python_cmd" -m zipfile -e "$zip" "$work/unpacked" || { verdict 0 "unzip $zip"; exit 1; }
top="$(ls -d "$work"/unpacked/QDXTLMV-*-win32 2>/dev/null | head -n 1)"
qdxpoll="$top/qdxpoll/qdxpoll.exe"
[ -f "$qdxpoll" ] && [ -f "$top/qdxpoll/rexfsim.exe" ]
verdict $(( $? == 0 )) "the zip holds qdxpoll\\qdxpoll.exe and qdxpoll\\rexfsim.exe beside it"
[ -f "$qdxpoll" ] || exit 1

# From a folder of the user's, not the program's: nothing found by accident.
mkdir -p "$work/user"
run_demo() {  # run_demo ARGS...: $out, $code
    (cd "$work/user" && timeout 300 "$wine_cmd" "$qdxpoll" demo "$@") >"$work/out" 2>&1
    code=$?
    out="$(tr -d '\r' <"$work/out")"
}

run_demo
ok=1
for want in 'Simulator: .*\\qdxpoll\\rexfsim\.exe$' 'listening on tcp:127\.0\.0\.1:[0-9]+$' \
    '^== 2\. Port tcp:127\.0\.0\.1:[0-9]+ started' 'written and read back' ' 0 failed;' \
    '^Everything worked' 'Next: qdxpoll --port COM3 read 01K1M1' 'the page answers: HTTP 200'; do
    grep -Eq -- "$want" <<<"$out" || { ok=0; echo "  missing: $want"; }
done
[ "$code" = 0 ] || ok=0
verdict $ok "qdxpoll.exe demo from the unpacked zip: exit 0, its simulator on tcp:, the whole tour good" \
    "exit $code; $(grep -E 'Simulator|listening|Port|Summary|failed|qdxpoll:' <<<"$out" | head -8)"
simulators_end_within 3
verdict $(( $? == 0 )) "no rexfsim.exe left running after the tour"

# Ctrl-C (SIGINT to the Wine process) in the middle of the tour.
(cd "$work/user" && exec "$wine_cmd" "$qdxpoll" demo) >"$work/out" 2>&1 &
demo=$!
for _ in $(seq 1 100); do grep -q '== 3\.' "$work/out" 2>/dev/null && break; sleep 0.1; done
kill -INT "$demo"
wait "$demo"
code=$?
simulators_end_within 5
gone=$?
[ "$gone" = 0 ] && [ "$code" = 130 ] && ok=1 || ok=0
verdict $ok "Ctrl-C during the tour: exit 130, the simulator ended with it (exit $code)" \
    "$(tr -d '\r' <"$work/out" | tail -n 4)"

# qdxpoll.exe killed outright: the simulator must not stay behind.
(cd "$work/user" && exec "$wine_cmd" "$qdxpoll" demo) >"$work/out" 2>&1 &
demo=$!
for _ in $(seq 1 100); do grep -q '== 3\.' "$work/out" 2>/dev/null && break; sleep 0.1; done
{ kill -KILL "$demo"; wait "$demo"; } 2>/dev/null  # no "Killed" from the shell
simulators_end_within 5
verdict $(( $? == 0 )) "qdxpoll.exe killed: its simulator ends by itself within 5 s"

# A program that is no simulator: refused within the bounded wait, no tour.
QDXPOLL_SIMULATOR="Z:${qdxpoll//\//\\}" run_demo
[ "$code" = 70 ] && grep -q "did not start" <<<"$out" && ok=1 || ok=0
verdict $ok "a simulator that announces no port: exit 70, 'did not start'" "exit $code; $(head -n 3 <<<"$out")"

# The zip's rexfsim.exe on its own, as a user starts it: its line on a free
# TCP port of 127.0.0.1, written through qdxpoll.exe --port tcp:, its table
# kept in the --state file after every write (replaced, not only made once).
(cd "$work/user" && exec "$wine_cmd" "$top/qdxpoll/rexfsim.exe" --no-drift --state state.txt) \
    </dev/null >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
port=""
for _ in $(seq 1 200); do
    port="$(tr -d '\r' <"$work/sim.out" | sed -n 's/^rexfsim: listening on tcp:127\.0\.0\.1:\([0-9]*\)$/\1/p')"
    [ -n "$port" ] && break
    sleep 0.1
done
ok=0
if [ -n "$port" ]; then
    ok=1
    for value in 171 172.5; do
        (cd "$work/user" && timeout 120 "$wine_cmd" "$qdxpoll" -q --port "tcp:127.0.0.1:$port" write 01K1S1 "$value") \
            >"$work/out" 2>&1 || ok=0
        grep -q "^01 1 S1 \"0$(printf '%05.1f' "$value")\"" "$work/user/state.txt" 2>/dev/null || ok=0
    done
fi
kill "$sim" 2>/dev/null
wait "$sim" 2>/dev/null
verdict $ok "rexfsim.exe alone on tcp:127.0.0.1:${port:-?}: two writes through qdxpoll.exe, each kept in --state" \
    "$(tr -d '\r' <"$work/out"; tr -d '\r' <"$work/sim.err" | head -3; grep S1 "$work/user/state.txt" 2>/dev/null | head -2)"

[ "$failed" -eq 0 ]
