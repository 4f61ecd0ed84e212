#!/usr/bin/env bash
# Runs qdxpoll against the simulator rexfsim on every kind of sick line and
# prints a table: scenario, the failure line qdxpoll prints, its hint, its
# exit code and the time the run took (Ctrl-C: the time from the signal to
# the exit).
#
#   scripts/sick-line-table.sh [BUILD_DIR]     (default build/default)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
qdxpoll=$build/tools/qdxpoll/qdxpoll
rexfsim=$build/sim/rexfsim
for program in "$qdxpoll" "$rexfsim"; do
  [[ -x $program ]] || { echo "missing $program: build first" >&2; exit 1; }
done

# One simulator with commands on stdin; its pseudo-terminal is $port.
start_sim() {
  coproc SIM { exec "$rexfsim" --no-drift "$@" 2>/dev/null; }
  read -r line <&"${SIM[0]}"
  port=${line#rexfsim: listening on }
}
stop_sim() {
  echo quit >&"${SIM[1]}"
  wait "$SIM_PID" 2>/dev/null
}
sim() {  # sends one command to the simulator, reads its answer
  echo "$*" >&"${SIM[1]}"
  read -r answer <&"${SIM[0]}"
  [[ $answer == ok* ]] || echo "simulator: $* -> $answer" >&2
}

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

row() {  # row SCENARIO QDXPOLL-ARGS...
  local scenario=$1; shift
  local out=/tmp/sick-line-$$ start end code message hint
  start=$(now_ms)
  "$qdxpoll" -q -p "${ROW_PORT:-$port}" "$@" >"$out.out" 2>"$out.err"
  code=$?
  end=$(now_ms)
  message=$(grep -m1 '^qdxpoll: ' "$out.err")
  [[ -n $message ]] || message="(stdout) $(head -1 "$out.out")"
  hint=$(grep -m1 '^  hint: ' "$out.err" | sed 's/^  hint: //')
  printf '| %s | `%s` | %s | %s | %.2f s |\n' "$scenario" "${message//|/\\|}" "${hint//|/\\|}" "$code" \
    "$(echo "($end - $start) / 1000" | bc -l)"
  rm -f "$out.out" "$out.err"
}

echo "| scenario | qdxpoll prints | hint | exit | time |"
echo "|---|---|---|---|---|"

start_sim
row "silence (no unit 07)" read 07K1M1
row "EOT (unit 01 lacks M2, an option)" read 01K1M2
sim script nak,nak,nak
row "NAK on read" read 01K1M1
sim script nak,nak,nak
row "NAK on write (frame taken as damaged)" write 01K1S1 178
row "NAK on write (read-only M1)" write 01K1M1 50
row "NAK on write (S1 out of range)" write 01K1S1 2000
sim script bad-bcc,bad-bcc,bad-bcc
row "bad BCC" read 01K1M1
sim script no-stx,no-stx,no-stx
row "no STX" read 01K1M1
sim script no-etx,no-etx,no-etx
row "no ETX" read 01K1M1
sim set-raw 1 1 M1 '"  ----"'
row "not a number" read 01K1M1
sim set 1 1 M1 24
sim script split:400
row "timeout too short (reply in pieces 400 ms apart)" read 01K1M1
sim fault delay:600:1
row "late answer (every answer 600 ms late)" read 01K1M1
sim fault clear
sim fault delay:350:1
row "late answer, -t 100 (350 ms late)" read 01K1M1 -t 100
sim fault clear
sim script garbage-answer,garbage-answer,garbage-answer
row "write stored, answer garbled" write 01K1S1 178
sim script silence,silence,silence
row "write met by silence, reads answered" write 01K1S1 26
# Another program's polls, answered while it still holds the line open.
exec {other}<>"$port"
printf '\x0401K1M1\x05\x0401K1M1\x05\x0401K1M1\x05' >&"$other"
sleep 0.2
row "answers from before the run, still on the line" read 01K1M1
exec {other}>&-
ROW_PORT=/dev/ttyQDX9 row "port missing" read 01K1M1
work=$(mktemp -d)
"$qdxpoll" -q -p "$port" save 01 -o "$work/edited.toml" >/dev/null 2>&1
sed -i 's/^P1 = { value = [0-9.]*/P1 = { value = 3000.0/' "$work/edited.toml"
row "restore: a file value outside its range" restore "$work/edited.toml" --to 1 --yes
echo "# kept" >"$work/line.toml"
row "init over an existing file" init --units 1 --output "$work/line.toml"
row "export of a history that is not there" export "$work/nope.db"
rm -rf "$work"

# Another program holds the port.
"$qdxpoll" -q -p "$port" poll 01K1M1 -i 0.2 >/dev/null 2>&1 &
holder=$!
sleep 0.5
row "port held" read 01K1M1
kill -INT "$holder"; wait "$holder" 2>/dev/null

# Ctrl-C while a silent unit is read with a long reply timeout, with and
# without the relay.
interrupt_row() {  # interrupt_row SCENARIO QDXPOLL-ARGS...
  local scenario=$1; shift
  local out=/tmp/sick-line-$$ reader sent code end
  "$qdxpoll" -q -p "$port" "$@" >"$out.out" 2>"$out.err" &
  reader=$!
  sleep 1
  sent=$(now_ms)
  kill -INT "$reader"
  wait "$reader"
  code=$?
  end=$(now_ms)
  printf '| %s | `%s` | %s | %s | %.2f s after Ctrl-C |\n' "$scenario" "$(grep -m1 '^qdxpoll: ' "$out.err")" \
    "$(grep -m1 '^  hint: ' "$out.err" | sed 's/^  hint: //')" "$code" \
    "$(echo "($end - $sent) / 1000" | bc -l)"
  rm -f "$out.out" "$out.err"
}
interrupt_row "Ctrl-C with -t 5000" read 07K1M1 -t 5000
interrupt_row "Ctrl-C with --direct -t 1000" --direct read 07K1M1 -t 1000
stop_sim

# A unit with the longest interval time, read with a short reply timeout.
start_sim --interval-time 250
row "timeout too short (interval time 250 ms, -t 100)" read 01K1M1 -t 100
stop_sim

# Units whose line settings differ from qdxpoll's (9600,7O2).
start_sim --line-check --baud 19200 --parity odd --stop-bits 2
row "wrong baud (unit at 19200,7O2)" read 01K1M1
stop_sim
start_sim --line-check --baud 9600 --parity even --stop-bits 2
row "wrong parity (unit at 9600,7E2)" read 01K1M1
stop_sim
