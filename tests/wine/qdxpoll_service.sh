# Sourced by run.sh once the lines are mapped: qdxpoll.exe service, a line's
# file run as a Windows service by Wine's service control manager
# (services.exe), checked with Wine's sc as well:
#   - install registers qdxpoll@line1, stopped, and refuses a second one;
#   - the service's command line started by hand is refused;
#   - start runs it; reload takes a good file (a point added) and keeps the
#     running setup when a broken file is refused; stop ends it with exit
#     code 0, the file broken meanwhile or not;
#   - its history holds the simulator's values, the point added after the
#     reload included, and its log says each step with its time;
#   - install refuses a history whose folder is missing; a service whose
#     port does not exist stops as it starts, and start says why from its log;
#   - remove leaves no service, and the log and the history.
# Uses run.sh's wine_cmd, build_dir, work, line3 and sim_command, and night_count,
# night_run and night_exe from qdxpoll_night.sh.

if [ ! -f "$night_exe" ] || [ -z "$line3" ]; then
    echo "run.sh: no qdxpoll.exe or simulator line: qdxpoll.exe service not checked"
    return 0
fi

service_dir="$work/service"
mkdir -p "$service_dir"
service_win="Z:${service_dir//\//\\}"
service_file="$service_win\\line1.toml"

# The line's file: POINTS... on COM7 (8 bits, no parity: a pseudo-terminal's).
service_write_file() {
    local file="$1"
    shift
    {
        printf '[line]\nname = "line1"\nport = "COM7"\nsettings = "9600,8N1"\ntimeout_ms = 1500\n'
        printf 'interval_s = 0.5\ndatabase = "line1.db"\n'
        for point in "$@"; do printf '[[point]]\naddress = "%s"\n' "$point"; done
    } >"$file"
}

# sc query NAME's STATE line ("" when there is no such service).
service_state() {
    (cd "$build_dir" && timeout 60 "$wine_cmd" sc query "$1") 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}

# One row: NAME, qdxpoll.exe's status wanted, words its output must hold, ARGS...
service_row() {
    local what="$1" want="$2" says="$3" rc
    shift 3
    night_run "$@"
    rc=$?
    [ "$rc" -eq "$want" ] && grep -qF -- "$says" "$work/night.out"
    night_count "service: $what (exit $rc, wanted $want)" $? "$work/night.out"
}

# Never leave a service behind to start with a later Wine session, nor meet
# one an earlier run left.
service_forget() {
    (cd "$build_dir" && timeout 60 "$wine_cmd" sc delete qdxpoll@line1; timeout 60 "$wine_cmd" sc delete qdxpoll@line9) \
        >/dev/null 2>&1
}
service_forget

sim_command "set 1 1 S1 123.4" >/dev/null
truth_m1="$(sim_command "get 1 1 M1" | sed -n 's/^ok *//p')"
truth_s1="$(sim_command "get 1 1 S1" | sed -n 's/^ok *//p')"
service_write_file "$service_dir/line1.toml" 01K1M1

service_row "install registers qdxpoll@line1" 0 "service qdxpoll@line1 installed" \
    service install --config "$service_file"
[ "$(service_state qdxpoll@line1)" = STOPPED ]
night_count "service: sc query says it is installed and stopped" $?
service_row "a second install is refused" 64 "installed already" service install --config "$service_file"
service_row "its command line started by hand is refused" 64 "did not start this process" \
    run --config "$service_file" --service qdxpoll@line1 --service-log "$service_win\\line1.log"

service_row "start runs it" 0 "service qdxpoll@line1 running" service start --config "$service_file"
[ "$(service_state qdxpoll@line1)" = RUNNING ]
night_count "service: sc query says it runs" $?
sleep 3
service_write_file "$service_dir/line1.toml" 01K1M1 01K1S1
service_row "reload takes the file with a point added" 0 "read again" service reload --config "$service_file"
sleep 3
cp "$service_dir/line1.toml" "$service_dir/good.toml"
printf '[[point]]\naddress = "01K1Q9"\n' >>"$service_dir/line1.toml"
service_row "a broken file is refused before the service is asked to reload" 64 "invalid address" \
    service reload --config "$service_file"
[ "$(service_state qdxpoll@line1)" = RUNNING ]
night_count "service: it still runs after the broken file" $?
service_row "stop with the file broken meanwhile" 0 "stopped, exit code 0" service stop --config "$service_file"
cp "$service_dir/good.toml" "$service_dir/line1.toml"
service_row "start again" 0 "service qdxpoll@line1 running" service start --config "$service_file"
sleep 2
service_row "stop ends it with exit code 0" 0 "stopped, exit code 0" service stop --config "$service_file"
[ "$(service_state qdxpoll@line1)" = STOPPED ]
night_count "service: sc query says it stopped" $?

# The history against the simulator's values: M1 all along, S1 from the
# reload on, and nothing else.
night_run export "$service_win\\line1.db" --csv
rc=$?
# time,address,value,raw,status,...: the raw text against the simulator's.
service_rows() { tail -n +2 "$work/night.out" | awk -F, -v a="$1" -v r="$2" '$2 == a && $4 == r && $5 == "ok"' | wc -l; }
m1_rows="$(service_rows 01K1M1 "$truth_m1")"
s1_rows="$(service_rows 01K1S1 "$truth_s1")"
all_rows="$(tail -n +2 "$work/night.out" | grep -c .)"
[ "$rc" -eq 0 ] && [ "$m1_rows" -ge 4 ] && [ "$s1_rows" -ge 2 ] && [ "$all_rows" -eq $((m1_rows + s1_rows)) ]
night_count "service: its history holds M1 $truth_m1 ($m1_rows samples) and S1 $truth_s1 from the reload on ($s1_rows), nothing else ($all_rows)" \
    $? "$work/night.out"
log="$service_dir/line1.log"
grep -q '^[0-9-]* [0-9:]* service qdxpoll@line1: started by the service control manager' "$log" &&
    grep -q "'qdxpoll service reload' reads" "$log" && grep -q 'run: .* cycles in .* history [0-9]* samples, 0 not stored' "$log" &&
    grep -q 'service qdxpoll@line1: ended, exit code 0' "$log"
night_count "service: its log says each step with its time" $? "$log"

# A port that is not there: the service stops as it starts, and says why.
service_write_file "$service_dir/line9.toml" 01K1M1
sed -i 's/"COM7"/"COM9"/' "$service_dir/line9.toml"
sed -i 's|^database = .*|database = "none/line9.db"|' "$service_dir/line9.toml"
service_row "install with the history's folder missing is refused" 64 "does not exist" \
    service install --config "$service_win\\line9.toml"
sed -i 's|^database = .*|database = "line9.db"|' "$service_dir/line9.toml"
service_row "install of a second line" 0 "service qdxpoll@line9 installed" \
    service install --config "$service_win\\line9.toml"
service_row "start with no port stops and says why" 66 "cannot open port COM9" \
    service start --config "$service_win\\line9.toml"
service_row "remove of the second line" 0 "removed" service remove --config "$service_win\\line9.toml"

service_row "remove removes it" 0 "service qdxpoll@line1 removed" service remove --config "$service_file"
[ -z "$(service_state qdxpoll@line1)" ] && [ -f "$log" ] && [ -f "$service_dir/line1.db" ]
night_count "service: no service after remove; its log and history are kept" $?
service_row "stop of a removed service says so" 64 "no service qdxpoll@line1 is installed" \
    service stop --config "$service_file"

service_forget
true
