# Sourced by run.sh once the lines are mapped: qdxpoll.exe watch on the
# simulator's line (COM7), met from Linux as a browser and as an attacker
# meet it: curl asks the rows of the page server's table (each status
# checked), a slow client and a stream that never reads hold their sockets
# meanwhile, a flood of writes is refused without reaching the simulator,
# and Chromium draws the page into BUILD_DIR/artifacts.
# Uses run.sh's wine_cmd, build_dir, work, line3 and sim_command, and night_count and night_line from
# qdxpoll_night.sh.

page_exe="${qdxpoll_exe:-$build_dir/tools/qdxpoll/qdxpoll.exe}"
if [ ! -f "$page_exe" ] || [ -z "$line3" ] || ! command -v curl >/dev/null; then
    echo "run.sh: no qdxpoll.exe, simulator line or curl: qdxpoll.exe watch not checked"
    return 0
fi
(cd "$build_dir" && timeout 300 "$wine_cmd" "$page_exe" --port COM7 "${night_line[@]}" \
    watch 01K1M1 01K1S1 --interval 0.2 --allow-writes) >"$work/page.out" 2>"$work/page.err" &
page_pid=$!
page_port=""
for _ in $(seq 1 600); do
    page_port="$(tr -d '\r' <"$work/page.err" | sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' | head -n 1)"
    [ -n "$page_port" ] && break
    kill -0 $page_pid 2>/dev/null || break
    sleep 0.1
done
if [ -z "$page_port" ]; then
    night_count "watch serves its page" 1 "$work/page.err"
    kill $page_pid 2>/dev/null
    wait $page_pid 2>/dev/null
    return 0
fi
page_url="http://127.0.0.1:$page_port"
own="Origin: $page_url"
evil="127.qdxpoll.example:$page_port"
repeated="/chart.csv?points=01K1M1$(printf ',01K1M1%.0s' $(seq 1 500))"
printf 'X-Big: %s\n' "$(head -c 140000 /dev/zero | tr '\0' x)" >"$work/big.header"

# STATUS WHAT CURL-ARGUMENTS...: the status curl gets must be STATUS.
page_row() {
    local want=$1 what=$2 got
    shift 2
    got="$(curl -s -o "$work/page.body" -w '%{http_code}' --max-time 30 "$@")"
    [ "$got" = "$want" ]
    night_count "watch: $what: HTTP $want (got $got)" $? "$work/page.body"
}

# Up to 15 s for the first cycle, so that the rows below meet a page with data.
for _ in $(seq 1 150); do
    curl -s --max-time 5 "$page_url/history?max=4" | grep -q '"rows":\[\[' && break
    sleep 0.1
done

# A stream that never reads and requests that come a byte at a time, held
# while the rows are asked: the server drops them, and answers the rows.
"$python_cmd" - "$page_port" <<'PY' &
import socket, sys, time
port = int(sys.argv[1])
hogs = []
for i in range(4):
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
    hogs.append(s)
slow = [socket.create_connection(("127.0.0.1", port)) for i in range(20)]
text = b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-Slow: " % port + b"x" * 60
for at in range(len(text)):
    for s in slow:
        try:
            s.send(text[at:at + 1])
        except OSError:
            pass
    time.sleep(0.5)
PY
page_hogs=$!
sleep 1

page_row 200 "the page" "$page_url/"
grep -q '<script src="/dygraph.min.js">' "$work/page.body"
night_count "watch: the page names its chart library" $? "$work/page.body"
page_row 200 "the chart library" "$page_url/dygraph.min.js"
[ "$(wc -c <"$work/page.body")" -gt 100000 ]
night_count "watch: the chart library is whole" $? "$work/page.body"
page_row 200 "a range of the history" "$page_url/history?points=01K1S1,01K1M1&from=0"
page_row 200 "a chart's CSV" "$page_url/chart.csv?points=01K1M1&from=0"
grep -Eq '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z,24\.0' "$work/page.body"
night_count "watch: the CSV holds the simulator's 24.0" $? "$work/page.body"
page_row 400 "a range that ends before it begins" "$page_url/history?from=5&to=1"
page_row 400 "one point named over and over" "$page_url$repeated"
page_row 403 "a page of another name pointing here" -H "Host: $evil" "$page_url/"
page_row 403 "another site's page holding a stream" -H "Origin: http://qdxpoll.example" "$page_url/events"
page_row 403 "another site's blind request for the history" -H "Sec-Fetch-Site: cross-site" "$page_url/chart.csv"
page_row 403 "a page of another site writing" -H "Origin: http://qdxpoll.example" \
    -H "Content-Type: application/json" --data '{"address":"01K1S1","value":"1"}' "$page_url/write"
page_row 403 "a name of another site made to point here, writing" -H "Host: $evil" -H "Origin: http://$evil" \
    -H "Content-Type: application/json" --data '{"address":"01K1S1","value":"158"}' "$page_url/write"
page_row 403 "an origin that only begins as the page's" -H "$own.qdxpoll.example" \
    -H "Content-Type: application/json" --data '{"address":"01K1S1","value":"158"}' "$page_url/write"
page_row 415 "a form of another site" --data 'address=01K1S1&value=1' "$page_url/write"
page_row 415 "a type that only begins as JSON" -H "Content-Type: application/jsonx" \
    --data '{"address":"01K1S1","value":"158"}' "$page_url/write"
page_row 415 "a compressed body" -H "Content-Encoding: gzip" -H "Content-Type: application/json" \
    --data-binary $'\x1f\x8b' "$page_url/write"
page_row 403 "a point the page does not offer" -H "Content-Type: application/json" \
    --data '{"address":"01K1P1","value":"31"}' "$page_url/write"
page_row 400 "an address with a NUL and bytes after it" -H "Content-Type: application/json" \
    --data '{"address":"01K1S1\u0000XYZ","value":"158"}' "$page_url/write"
page_row 200 "a write from the page itself" -H "$own" -H "Content-Type: application/json" \
    --data '{"address":"01K1S1","value":"42.5"}' "$page_url/write"
grep -q '"verified"' "$work/page.body"
night_count "watch: the page's write is verified" $? "$work/page.body"
# Beyond the 128 KB a request may bring: refused, or the connection dropped
# (status 000), never served.
got="$(curl -s -o "$work/page.body" -w '%{http_code}' --max-time 30 -H "@$work/big.header" "$page_url/")"
[ "$got" != 200 ]
night_count "watch: a request beyond 128 KB is not served (got $got)" $? "$work/page.body"
kill $page_hogs 2>/dev/null
wait $page_hogs 2>/dev/null
# A flood of writes at once: those beyond the few that may wait are refused
# (429) and never reach the unit, which counts every select it answers.
page_selects() { sim_command stats | sed -n 's/.* selects=\([0-9]*\).*/\1/p'; }
selects_before="$(page_selects)"
"$python_cmd" - "$page_port" >"$work/flood.out" 2>&1 <<'PY'
import socket, sys
port = int(sys.argv[1])
body = b'{"address":"01K1S1","value":"42.5","verify":false}'
ask = (b"POST /write HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
       b"Content-Length: %d\r\nConnection: close\r\n\r\n%s" % (port, len(body), body))
# Every connection made first, then the requests sent together.
links = [socket.create_connection(("127.0.0.1", port), timeout=60) for _ in range(12)]
for s in links:
    s.sendall(ask)
for s in links:
    answer = b""
    while b"\r\n" not in answer:
        part = s.recv(4096)
        if not part:
            break
        answer += part
    print(answer.split(b" ")[1].decode() if answer.startswith(b"HTTP/") else "none")
PY
page_refused=$(grep -c '^429$' "$work/flood.out")
page_written=$(grep -c '^200$' "$work/flood.out")
[ "$page_refused" -gt 0 ] && [ $((page_refused + page_written)) -eq 12 ]
night_count "watch: a flood of 12 writes at once: some refused 429, the rest written ($page_refused, $page_written)" \
    $? "$work/flood.out"
if [ -n "$selects_before" ]; then
    [ $(( $(page_selects) - selects_before )) -eq "$page_written" ]
    night_count "watch: no refused write reached the simulator" $? "$work/flood.out"
fi

kill $page_pid 2>/dev/null
wait $page_pid 2>/dev/null

# The page as Chromium draws it, from Linux: a watch of 40 cycles, whose
# stream keeps the page loading until it ends; Chromium takes the picture
# then, the chart drawn and the page saying that watch has ended.
browser="$(command -v chromium || command -v chromium-browser || true)"
if [ -n "$browser" ]; then
    mkdir -p "$build_dir/artifacts"
    rm -f "$build_dir/artifacts/watch-page-wine.png"
    (cd "$build_dir" && timeout 300 "$wine_cmd" "$page_exe" --port COM7 "${night_line[@]}" \
        watch 01K1M1 01K1S1 --interval 0.2 --count 40) >"$work/page.out" 2>"$work/page.err" &
    page_pid=$!
    page_port=""
    for _ in $(seq 1 600); do
        page_port="$(tr -d '\r' <"$work/page.err" | sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' | head -n 1)"
        [ -n "$page_port" ] && break
        kill -0 $page_pid 2>/dev/null || break
        sleep 0.1
    done
    timeout 120 "$browser" --headless=new --no-sandbox --disable-gpu --hide-scrollbars --window-size=1280,800 \
        --user-data-dir="$work/chromium" --virtual-time-budget=60000 \
        --screenshot="$build_dir/artifacts/watch-page-wine.png" "http://127.0.0.1:$page_port/" \
        >"$work/chromium.log" 2>&1
    [ -n "$page_port" ] && [ -s "$build_dir/artifacts/watch-page-wine.png" ]
    night_count "watch: Chromium draws the page (artifacts/watch-page-wine.png)" $? "$work/chromium.log"
    wait $page_pid
    night_count "watch ran its 40 cycles and ended" $? "$work/page.err"
else
    echo "run.sh: no Chromium: qdxpoll.exe's page not drawn"
fi
return 0
