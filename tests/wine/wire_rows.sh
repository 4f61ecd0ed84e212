#!/usr/bin/env bash
# qdxpoll.exe with its layer under the unchanged module, against the
# simulator rexfsim on COM7: the sick-line rows with the causes and exit
# codes qdxpoll gives on Linux, the trace, scan's classes, save's absent
# identifiers, Ctrl-C, a lost port recovered, and reads through ser2net
# with tcp: and rfc2217:. One line a row ("ok"/"FAILED", what it checked),
# then "N passed, N failed"; exit status 0 only when nothing failed.
#
#   tests/wine/wire_rows.sh [BUILD_DIR] [REXFSIM]
#     BUILD_DIR: a Windows build (default build/windows-x86_64) holding
#     tools/qdxpoll/qdxpoll.exe; its Wine prefix is made when missing.
#     REXFSIM: the Linux simulator (default build/default/sim/rexfsim).
#
# A pseudo-terminal under Wine keeps 8 data bits and no parity, so every row
# asks for 9600,8N1 (rexfsim without --line-check takes any line).
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build_dir="$(cd "${1:-$source_dir/build/windows-x86_64}" && pwd)" || exit 1
rexfsim="${2:-$source_dir/build/default/sim/rexfsim}"
qdxpoll="$build_dir/tools/qdxpoll/qdxpoll.exe"
for f in "$qdxpoll" "$rexfsim"; do
    [ -e "$f" ] || { echo "wire_rows.sh: missing $f" >&2; echo "0 passed, 1 failed"; exit 1; }
done

# shellcheck source=tests/wine/wine_for_build.sh
source "$here/wine_for_build.sh"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 600 "$wine_cmd" wineboot -i >/dev/null 2>&1
    "$wineserver_cmd" -w >/dev/null 2>&1
fi

work="$(mktemp -d /tmp/wire-rows.XXXXXX)"
link="$work/com7"
passed=0
failed=0
sim_pid=""
ser2net_pid=""
cleanup() {
    [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; }
    [ -n "$ser2net_pid" ] && { kill "$ser2net_pid" 2>/dev/null; wait "$ser2net_pid" 2>/dev/null; }
    rm -f "$WINEPREFIX/dosdevices/com7"
    "$wineserver_cmd" -k >/dev/null 2>&1
    rm -rf "$work"
    echo "$passed passed, $failed failed"
}
trap cleanup EXIT

# One simulator with commands on its stdin, its line linked at $link (the
# same name after a restart, as a device's is).
start_sim() {
    mkfifo "$work/sim.in" 2>/dev/null
    "$rexfsim" --no-drift --link "$link" "$@" <"$work/sim.in" >"$work/sim.out" 2>/dev/null &
    sim_pid=$!
    exec 7>"$work/sim.in"
    for _ in $(seq 1 100); do [ -e "$link" ] && return 0; sleep 0.05; done
    echo "wire_rows.sh: rexfsim did not start" >&2
}
stop_sim() {
    exec 7>&-
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=""
}
sim() { echo "$*" >&7; sleep 0.2; }

# COM7 names the link, in the registry too (Wine's mount manager restores
# the device links from there when it starts).
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"COM7"="%s"\n' "$link" >"$work/ports.reg"
timeout 120 "$wine_cmd" regedit /S "$(timeout 60 "$wine_cmd" winepath -w "$work/ports.reg" 2>/dev/null | tr -d '\r')" >/dev/null 2>&1
"$wineserver_cmd" -w >/dev/null 2>&1
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$link" "$WINEPREFIX/dosdevices/com7"
rm -f "$WINEPREFIX/dosdevices/com9"
"$wineserver_cmd" -p >/dev/null 2>&1

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

run_qdxpoll() {  # run_qdxpoll ARGS... : $out, $err, $code
    (cd "$build_dir" && timeout 120 "$wine_cmd" "$qdxpoll" "$@") >"$work/out" 2>"$work/err"
    code=$?
    out="$(tr -d '\r' <"$work/out")"
    err="$(tr -d '\r' <"$work/err")"
}

# row SCENARIO EXIT PATTERN QDXPOLL-ARGS...: the exit code, and the pattern
# (grep -E) in what it printed.
row() {
    local scenario=$1 want_code=$2 pattern=$3
    shift 3
    run_qdxpoll -q -p "${ROW_PORT:-COM7}" --line 9600,8N1 "$@"
    local ok=0
    [ "$code" = "$want_code" ] && printf '%s\n%s\n' "$out" "$err" | grep -Eq -- "$pattern" && ok=1
    verdict $ok "$scenario: exit $want_code, /$pattern/" "exit $code; $(printf "%s\n%s" "$out" "$err" | grep -v "^#" | grep -iE "fail|qdxpoll|$pattern" | head -6)"
}

start_sim
row "a good read" 0 "^[0-9.-]+" read 01K1M1
row "silence (no unit 07)" 69 "no answer from unit 07 to 3 polls" read 07K1M1
row "EOT (unit 01 lacks M2)" 69 "EOT.*not fitted" read 01K1M2
sim script nak,nak,nak
row "NAK on read" 69 "NAK" read 01K1M1
sim script bad-bcc,bad-bcc,bad-bcc
row "bad BCC" 69 "BCC" read 01K1M1
sim script no-etx,no-etx,no-etx
row "no ETX" 69 "ETX|cut" read 01K1M1
row "NAK on write (S1 out of range)" 76 "refused" write 01K1S1 5000
sim fault delay:600:1
row "late answer (600 ms late)" 69 "late" read 01K1M1
sim fault clear
sim script garbage-answer,garbage-answer,garbage-answer
row "write stored, answer garbled" 75 "." write 01K1S1 178
ROW_PORT=COM9 row "port missing" 66 "COM9" read 01K1M1
row "the trace shows the reply with its BCC" 0 "^trace .* <- <STX>M1.*BCC [0-9A-F]+ ok" --trace read 01K1M1
row "scan: one raw poll an address, its classes" 0 "^1 silent" scan M1 --units 0-1
row "--direct: the module's own calls on the port" 0 "^01K1M1 .*float" --direct read 01K1M1
row "save: absent identifiers named" 0 "absent \\(M2" save 01

# Ctrl-C: a silent unit read with a long reply timeout; the console's
# Ctrl-C reaches a Wine program as SIGINT.
(cd "$build_dir" && exec "$wine_cmd" "$qdxpoll" -q -p COM7 --line 9600,8N1 read 07K1M1 -t 5000) >"$work/out" 2>"$work/err" &
reader=$!
sleep 3
sent=$(date +%s%N)
kill -INT "$reader"
wait "$reader"
code=$?
ms=$(( ($(date +%s%N) - sent) / 1000000 ))
[ "$code" = 130 ] && [ "$ms" -lt 1000 ] && ok=1 || ok=0
verdict $ok "Ctrl-C on a silent unit at -t 5000: exit 130 within 1 s (took $ms ms, exit $code)" "$(tr -d '\r' <"$work/err" | head -3)"

# A lost port: the simulator killed, and back on the same name 3 s later.
(cd "$build_dir" && exec timeout 60 "$wine_cmd" "$qdxpoll" -p COM7 --line 9600,8N1 poll 01K1M1 -i 0.5 -n 20) >"$work/out" 2>"$work/err" &
poller=$!
sleep 3
stop_sim
sleep 3
start_sim
wait "$poller"
err="$(tr -d '\r' <"$work/err")"
echo "$err" | grep -q "lost" && echo "$err" | grep -q "back after" && ok=1 || ok=0
verdict $ok "a lost port is seen and recovered by reopening" "$(echo "$err" | grep -v '^$' | head -8)"

# A device server: ser2net on 127.0.0.1 in front of the simulator's line.
ser2net_cmd="$(command -v ser2net || echo /usr/sbin/ser2net)"
if [ -x "$ser2net_cmd" ]; then
    port_raw=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    port_2217=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    cat >"$work/ser2net.yaml" <<YAML
connection: &raw
  accepter: tcp,127.0.0.1,$port_raw
  connector: serialdev,$(readlink -f "$link"),9600n81,local
connection: &telnet
  accepter: telnet(rfc2217),tcp,127.0.0.1,$port_2217
  connector: serialdev,$(readlink -f "$link"),9600n81,local
YAML
    "$ser2net_cmd" -n -d -c "$work/ser2net.yaml" >"$work/ser2net.log" 2>&1 &
    ser2net_pid=$!
    sleep 1
    ROW_PORT="tcp:127.0.0.1:$port_raw" row "a read through ser2net, tcp:" 0 "^[0-9.-]+" read 01K1M1
    ROW_PORT="rfc2217:127.0.0.1:$port_2217" row "a read through ser2net, rfc2217:" 0 "^[0-9.-]+" read 01K1M1
else
    echo "wire_rows.sh: no ser2net: tcp: and rfc2217: not checked"
fi
stop_sim
[ "$failed" -eq 0 ]
