# Sourced by run.sh once the lines are mapped: what qdxpoll.exe needs to keep
# a line running unattended, as a user runs it under Wine.
#   - list-ports names the mapped COM ports;
#   - log then export round-trip on the simulator's line (COM7), and a
#     history file made on one platform reads the same on the other, both
#     ways (with the Linux qdxpoll of build/default, or QDXPOLL);
#   - log ended by TerminateProcess mid-run leaves a file that opens, is
#     whole and keeps all but its last second;
#   - mqtt publishes the samples and the retained status to mosquitto,
#     takes a set-topic write through the allow-list and refuses one outside
#     it; mqtts:// and a CA file are refused before any port is opened.
# Uses run.sh's wine_cmd, build_dir, qdxpoll_exe (the zip's, when there), work,
# line3, broker_port, python_cmd and
# adds to its totals.

night_exe="${qdxpoll_exe:-$build_dir/tools/qdxpoll/qdxpoll.exe}"
night_linux="${QDXPOLL:-$source_dir/build/default/tools/qdxpoll/qdxpoll}"
night_win_dir="Z:${work//\//\\}"
# A reply timeout long enough for a loaded machine, or an emulated one: a
# late answer would change the exit codes these checks expect.
night_line=(--data-bits 8 --parity none --quiet --timeout 1500)

night_count() {  # NAME STATUS [DETAIL FILE]
    if [ "$2" -eq 0 ]; then
        total_passed=$((total_passed + 1))
        echo "run.sh: qdxpoll.exe: ok: $1"
    else
        total_failed=$((total_failed + 1))
        echo "run.sh: qdxpoll.exe: FAILED: $1" >&2
        [ -n "${3:-}" ] && [ -f "$3" ] && tr -d '\r' <"$3" | tail -n 15 >&2
    fi
    summary="$total_passed passed, $total_failed failed"
}

# qdxpoll.exe ARGS... > $work/night.out (stdout and stderr, CRs dropped); its status.
night_run() {
    local rc
    (cd "$build_dir" && timeout 120 "$wine_cmd" "$night_exe" "$@") >"$work/night.raw" 2>&1
    rc=$?
    tr -d '\r' <"$work/night.raw" >"$work/night.out"
    return $rc
}

# The rows of an export --csv, without its header, as both platforms give them.
night_rows() { tr -d '\r' | tail -n +2 | sort; }

if [ ! -f "$night_exe" ]; then
    echo "run.sh: no qdxpoll.exe: its checks skipped"
    return 0
fi

# list-ports: every mapped line, by the name --port takes.
night_run list-ports
rc=$?
for com in COM5 COM6 ${line3:+COM7}; do
    grep -Eq "^$com +--port $com( |\$)" "$work/night.out"
    night_count "list-ports names $com" $(( rc | $? )) "$work/night.out"
done

# Without TLS, mqtts:// and a CA file are refused first: COM9 names no
# device, so a refusal that names the port would mean the port came first.
for case in "--broker mqtts://127.0.0.1:8883" "--broker mqtt://127.0.0.1:1883 --tls-ca $night_win_dir\\ca.pem"; do
    # shellcheck disable=SC2086
    night_run --port COM9 mqtt 01K1M1 $case --count 1
    rc=$?
    [ $rc -eq 64 ] && grep -q "without TLS" "$work/night.out" && ! grep -q "COM9" "$work/night.out"
    night_count "mqtt ${case%% *} ${case#* } refused before polling" $? "$work/night.out"
done

if [ -z "$line3" ]; then
    echo "run.sh: no simulator line: qdxpoll.exe's history and mqtt not checked"
    return 0
fi

# log then export, on Windows.
night_run --port COM7 "${night_line[@]}" log 01K1M1 01K1S1 --db "$night_win_dir\\win.db" --count 5 --interval 0
night_count "log --db keeps a night's samples" $? "$work/night.out"
night_run export "$night_win_dir\\win.db" --csv
rc=$?
cp "$work/night.out" "$work/win-by-win.csv"
[ $rc -eq 0 ] && [ "$(night_rows <"$work/win-by-win.csv" | grep -c ',01K1M1,')" -eq 5 ] &&
    [ "$(night_rows <"$work/win-by-win.csv" | grep -c ',01K1S1,')" -eq 5 ]
night_count "export --csv gives back the 10 samples log kept" $? "$work/win-by-win.csv"

# log ended by TerminateProcess mid-run (taskkill /F, as Windows' Task
# Manager ends it): the file opens, its integrity check is ok, and nothing
# printed more than 1.5 s before the kill is missing from its export.
night_kill_db="$night_win_dir\\killed.db"
(cd "$build_dir" && exec timeout 120 "$wine_cmd" "$night_exe" --port COM7 "${night_line[@]}" --json \
    log 01K1M1 01K1S1 --db "$night_kill_db" --interval 0.1) >"$work/killed.raw" 2>&1 &
night_log=$!
for _ in $(seq 1 600); do
    [ "$(grep -c '"action":"read"' "$work/killed.raw")" -ge 40 ] && break
    kill -0 $night_log 2>/dev/null || break
    sleep 0.1
done
(cd "$build_dir" && timeout 60 "$wine_cmd" taskkill /F /IM qdxpoll.exe) >"$work/taskkill.out" 2>&1
night_kill_rc=$?
wait $night_log
night_log_rc=$?
tr -d '\r' <"$work/killed.raw" >"$work/killed.out"
# Killed, not ended by its count or a timeout: no summary line was printed.
[ $night_kill_rc -eq 0 ] && [ $night_log_rc -ne 124 ] && ! grep -q '"action":"summary"' "$work/killed.out"
night_count "log ended by TerminateProcess (taskkill /F) mid-run" $? "$work/taskkill.out"
night_run export "$night_kill_db" --csv
rc=$?
cp "$work/night.out" "$work/killed.csv"
[ $rc -eq 0 ] && "$python_cmd" - "$work/killed.out" "$work/killed.csv" "$work/killed.db" >"$work/killed.check" 2>&1 <<'PY'
import csv, datetime, json, sqlite3, sys
def ms(t):
    at = datetime.datetime.strptime(t, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
    return round(at.timestamp() * 1000)
printed = {}
for line in open(sys.argv[1]):
    try:
        j = json.loads(line)
    except ValueError:
        continue
    if j.get("action") == "read" and j.get("status") != "skipped":
        printed[(ms(j["time"]), j["address"])] = (j["raw"], j["status"])
rows = {(ms(r["time"]), r["address"]): (r["raw"], r["status"]) for r in csv.DictReader(open(sys.argv[2]))}
last = max(t for t, _ in printed)
lost = [k for k in printed if k[0] < last - 1500 and k not in rows]
foreign = [k for k in rows if printed.get(k) != rows[k]]
check = sqlite3.connect("file:" + sys.argv[3] + "?mode=ro", uri=True).execute("PRAGMA integrity_check").fetchall()
print(f"{len(printed)} printed, {len(rows)} exported, the last {last - max(t for t, _ in rows) if rows else '?'} ms "
      f"of them not, lost {lost[:5]}, never printed {foreign[:5]}, {check}")
sys.exit(0 if rows and not lost and not foreign and check == [("ok",)] else 1)
PY
night_count "the killed log's file opens, is whole and keeps all but its last second" $? "$work/killed.check"
[ -f "$work/killed.check" ] && echo "run.sh: the killed log: $(tail -n 1 "$work/killed.check")"

if [ -x "$night_linux" ] && "$night_linux" export --help >/dev/null 2>&1; then
    # The Windows file read on Linux: the same rows.
    "$night_linux" export "$work/win.db" --csv >"$work/win-by-linux.csv" 2>&1
    rc=$?
    [ $rc -eq 0 ] && [ -n "$(night_rows <"$work/win-by-linux.csv")" ] &&
        diff <(night_rows <"$work/win-by-win.csv") <(night_rows <"$work/win-by-linux.csv") >/dev/null
    night_count "the file qdxpoll.exe made reads the same on Linux" $? "$work/win-by-linux.csv"
    # A Linux file read on Windows, from the same simulator line, the port
    # free again once qdxpoll.exe ended.
    "$night_linux" --port "$line3" "${night_line[@]}" log 01K1M1 --db "$work/linux.db" --count 4 --interval 0 \
        >"$work/linux-log.out" 2>&1
    rc=$?
    "$night_linux" export "$work/linux.db" --csv >"$work/linux-by-linux.csv" 2>&1
    night_run export "$night_win_dir\\linux.db" --csv
    [ $rc -eq 0 ] && [ "$(night_rows <"$work/linux-by-linux.csv" | grep -c ',01K1M1,')" -eq 4 ] &&
        diff <(night_rows <"$work/linux-by-linux.csv") <(night_rows <"$work/night.out") >/dev/null
    night_count "a file made on Linux reads the same in qdxpoll.exe" $? "$work/night.out"
else
    echo "run.sh: no Linux qdxpoll with export ($night_linux): the history across platforms not checked"
fi

if [ -z "$broker_port" ] || ! command -v mosquitto_sub >/dev/null || ! command -v mosquitto_pub >/dev/null; then
    echo "run.sh: no mosquitto broker and clients: qdxpoll.exe mqtt not checked"
    return 0
fi

# mqtt: samples, the retained status and set topics through the allow-list.
night_topic="qdxtlmv/winline"
mosquitto_sub -h 127.0.0.1 -p "$broker_port" -v -t "$night_topic/#" -W 120 >"$work/sub.out" 2>&1 &
night_sub=$!
sleep 0.5  # the subscription before the first message; no result depends on it
(cd "$build_dir" && timeout 120 "$wine_cmd" "$night_exe" --port COM7 "${night_line[@]}" mqtt 01K1M1 \
    --broker "mqtt://127.0.0.1:$broker_port" --line-name winline --interval 0.2 --count 150 \
    --allow-writes --writable 01K1S1) >"$work/mqtt.out" 2>&1 &
night_mqtt=$!
for _ in $(seq 1 600); do
    grep -q "^$night_topic/01/1/M1 " "$work/sub.out" && break
    kill -0 $night_mqtt 2>/dev/null || break
    sleep 0.1
done
mosquitto_pub -h 127.0.0.1 -p "$broker_port" -t "$night_topic/01/1/S1/set" -m 180.5
mosquitto_pub -h 127.0.0.1 -p "$broker_port" -t "$night_topic/02/1/S1/set" -m 170
for _ in $(seq 1 600); do
    [ "$(grep -c "/set/result " "$work/sub.out")" -ge 2 ] && break
    kill -0 $night_mqtt 2>/dev/null || break
    sleep 0.1
done
wait $night_mqtt
rc=$?
night_count "mqtt ran its cycles and ended" $rc "$work/mqtt.out"
grep -Eq "^$night_topic/01/1/M1 \{.*\"value\"" "$work/sub.out"
night_count "mqtt publishes the samples on PREFIX/LINE/UNIT/CHANNEL/ID" $? "$work/sub.out"
grep -Eq "^$night_topic/01/1/S1/set/result .*verified" "$work/sub.out"
night_count "a set value on an allowed point is written and verified" $? "$work/sub.out"
grep -Eq "^$night_topic/02/1/S1/set/result .*not_writable" "$work/sub.out"
night_count "a set value outside the allow-list is refused" $? "$work/sub.out"
mosquitto_sub -h 127.0.0.1 -p "$broker_port" -v -t "$night_topic/status" -C 1 -W 10 >"$work/status.out" 2>&1
grep -q '"offline"' "$work/status.out"
night_count "the retained status says offline once mqtt ended" $? "$work/status.out"
kill $night_sub 2>/dev/null
wait $night_sub 2>/dev/null
return 0
