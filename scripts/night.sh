#!/usr/bin/env bash
# A night of a line in a few minutes: rexfsim at 60 times real time with
# units 01-03 (unit 05 polled but missing), `qdxpoll run --interval 0.5`
# on 9 points from a line file with all three outputs at once (the history,
# the page on 127.0.0.1 and Debian's mosquitto on 127.0.0.1, where it is
# installed), and meanwhile
#
#   the port vanishes   rexfsim killed and started again on the same link
#   a unit goes silent  unit 02 hears nothing for a while ('mute 2 on')
#   a second program    one that locks the device (refused while qdxpoll
#                       holds it), then a `cat` that reads it for a while
#                       (it takes replies: qdxpoll names it)
#
# and then, on a second line behind Debian's ser2net (RFC 2217, 127.0.0.1),
# ser2net stopped and started again on the same port while qdxpoll polls
# through it.
#
# It prints the samples expected, recorded and missing inside and outside
# these disturbances, the values that differ from rexfsim's own (in the
# poll's records and in each output: history, MQTT, page), the mean
# cycle time against the interval (once the missing unit has backed off),
# how soon each outage was recovered against its backoff step, and the
# resident memory of qdxpoll at the start and at the end. Goals: nothing
# missing outside a disturbance, no wrong value, the cycle within 1.1 x the
# interval, every outage recovered within its backoff step, memory flat
# within 1 MiB. The exit code is 1 when a goal is missed.
#
#   scripts/night.sh [--build DIR] [--minutes M]     (defaults: build/default, 2)
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 - "$@" <<'PY'
import argparse, datetime, fcntl, json, os, re, shutil, signal, socket, subprocess, sys, tempfile, threading, time

ap = argparse.ArgumentParser(prog="night.sh")
ap.add_argument("--build", default="build/default")
ap.add_argument("--minutes", type=float, default=2.0, help="length of the run (at least 1)")
a = ap.parse_args()
qdxpoll = os.path.join(a.build, "tools/qdxpoll/qdxpoll")
rexfsim = os.path.join(a.build, "sim/rexfsim")
for p in (qdxpoll, rexfsim):
    if not os.access(p, os.X_OK):
        raise SystemExit(f"missing {p}: build first")
length = max(60.0, a.minutes * 60)
interval = 0.5
work = tempfile.mkdtemp(prefix="qdx-night-")
link = os.path.join(work, "line")
points = ["01K1M1", "01K1S1", "01K1P1", "02K1M1", "02K1S1", "02K1P1", "03K1M1", "03K1S1", "05K1M1"]
missing_unit = "05"

# --- the simulator, with its own view of every value -----------------------
lock = threading.Lock()
sim = None
truth = {}  # (unit, ident) -> [(time, value)] as rexfsim holds them

def start_sim():
    global sim
    s = subprocess.Popen([rexfsim, "--speed", "60", "--units", "1,2,3", "--link", link],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    s.stdout.readline()  # "rexfsim: listening on ..."
    with lock:
        sim = s

def sim_command(text):
    with lock:
        try:
            sim.stdin.write(text + "\n"); sim.stdin.flush()
            return sim.stdout.readline().strip()
        except (BrokenPipeError, ValueError):
            return ""

def watch_truth(stop):
    while not stop.is_set():
        for p in points[:-1]:
            unit, ident = int(p[:2]), p[4:]
            answer = sim_command(f"get {unit} 1 {ident}")
            if answer.startswith("ok "):
                try:
                    truth.setdefault((unit, ident), []).append((time.time(), float(answer[3:].strip().strip('"'))))
                except ValueError:
                    pass
        time.sleep(0.1)

def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0
def wait_listening(port):
    deadline = time.time() + 10
    while not listening(port) and time.time() < deadline:
        time.sleep(0.05)

# --- the outputs: the history, the page and a broker on 127.0.0.1 ----------
db = os.path.join(work, "night.db")
http = free_port()
broker = mqtt_sub = None
with open(os.path.join(work, "night.toml"), "w") as f:
    f.write(f'[line]\nport = "{link}"\ninterval_s = {interval}\ndatabase = "{db}"\nlisten = "127.0.0.1:{http}"\n')
    f.write("".join(f'\n[[point]]\naddress = "{p}"\n' for p in points))
    if shutil.which("mosquitto") and shutil.which("mosquitto_sub"):
        mqtt_port = free_port()
        with open(os.path.join(work, "mosquitto.conf"), "w") as m:
            m.write(f"listener {mqtt_port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        broker = subprocess.Popen(["mosquitto", "-c", os.path.join(work, "mosquitto.conf")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_listening(mqtt_port)
        mqtt_sub = subprocess.Popen(["mosquitto_sub", "-p", str(mqtt_port), "-h", "127.0.0.1", "-v", "-q", "1",
                                     "-t", "qdxtlmv/line1/+/+/+"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    text=True)
        f.write(f'\n[mqtt]\nbroker = "mqtt://127.0.0.1:{mqtt_port}"\n')
mqtt_lines, page_text = [], []
if mqtt_sub:
    threading.Thread(target=lambda: [mqtt_lines.append(l) for l in mqtt_sub.stdout], daemon=True).start()

start_sim()
stop = threading.Event()
threading.Thread(target=watch_truth, args=(stop,), daemon=True).start()
poll = subprocess.Popen([qdxpoll, "--quiet", "--json", "run", "--config", os.path.join(work, "night.toml")],
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
# The page as a browser keeps it open: its event stream, every cycle.
wait_listening(http)
page = subprocess.Popen(["curl", "-s", "-N", f"http://127.0.0.1:{http}/events"], stdout=subprocess.PIPE,
                        stderr=subprocess.DEVNULL, text=True) if shutil.which("curl") else None
if page:
    threading.Thread(target=lambda: [page_text.append(l) for l in page.stdout], daemon=True).start()
lines, notes = [], []  # stdout records; stderr lines with their time
threading.Thread(target=lambda: [lines.append(l) for l in poll.stdout], daemon=True).start()
threading.Thread(target=lambda: [notes.append((time.time(), l.rstrip())) for l in poll.stderr], daemon=True).start()
t0 = time.time()
def at(s):
    while time.time() < t0 + s * length / 120:
        time.sleep(0.05)

windows = []  # [from, quiet again, what, points touched]: their samples may be missing
restarts = []  # when the port came back
at(12)
rss_start = rss_kib(poll.pid)

at(25)  # the port vanishes: the simulator dies and comes back 3 s later
w = time.time()
with lock:
    sim.kill(); sim.wait()
time.sleep(3)
start_sim()
restarts.append(time.time())
windows.append([w, restarts[-1], "port lost (rexfsim killed, back after 3 s)", "all"])

at(50)  # unit 02 hears nothing for 15 s (of 120)
sim_command("mute 2 on")
w = time.time()
time.sleep(15 * length / 120)
sim_command("mute 2 off")
windows.append([w, time.time(), "unit 02 silent", "02"])

at(80)  # a second program: one that locks is refused; a reader takes replies
second = {"locking opener refused": False}
fd = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
try:
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
except OSError:
    second["locking opener refused"] = True
os.close(fd)
w = time.time()
cat = subprocess.Popen(["cat", link], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
time.sleep(4 * length / 120)
cat.terminate(); cat.wait()
windows.append([w, time.time(), f"cat (pid {cat.pid}) reading the device", "all"])
named = any(f"pid {cat.pid} (cat)" in n for _, n in notes)

at(118)
rss_end = rss_kib(poll.pid)
poll.send_signal(signal.SIGINT)
poll.wait(timeout=30)
time.sleep(0.3)
for p in (page, mqtt_sub, broker):
    if p:
        p.terminate(); p.wait()
stop.set()
with lock:
    sim.stdin.close(); sim.terminate(); sim.wait()

# --- what was recorded ------------------------------------------------------
def parse_time(text):
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()

records = [json.loads(l) for l in lines if l.startswith("{")]
readings = [r for r in records if r.get("action") == "read"]
line_summary = next((r for r in records if r.get("action") == "summary" and r.get("address") == "line"), {})
cycles = {}
for r in readings:
    c = cycles.setdefault(r["cycle"], {"time": parse_time(r["time"]), "ok": set()})
    c["time"] = min(c["time"], parse_time(r["time"]))
    if r["status"] == "ok":
        c["ok"].add(r["address"])

# The last cycle may be cut by the Ctrl-C that ends the night: not counted.
if cycles:
    del cycles[max(cycles)]

# A disturbance lasts until every point it touched answers again.
def back_at(after, addresses):
    for n in sorted(cycles):
        if cycles[n]["time"] > after and addresses <= cycles[n]["ok"]:
            return cycles[n]["time"]
    return time.time()
live = {p for p in points if not p.startswith(missing_unit)}
def touched(w):
    return live if w[3] == "all" else {p for p in live if p.startswith(w[3])}
for w in windows:
    w[1] = back_at(w[1], touched(w))

def inside(t, p=None):
    return any(f - 0.6 <= t <= to + 0.1 and (p is None or p in touched(w))
               for w in windows for f, to in [(w[0], w[1])])

expected = {"inside": 0, "outside": 0}
missed = {"inside": 0, "outside": 0}
missed_outside = []
for n, c in sorted(cycles.items()):
    for p in live:
        where = "inside" if inside(c["time"], p) else "outside"
        expected[where] += 1
        if p not in c["ok"]:
            missed[where] += 1
            if where == "outside":
                missed_outside.append((n, p))

def is_wrong(address, t, value):
    near = [v for (tt, v) in truth.get((int(address[:2]), address[4:]), []) if abs(tt - t) <= 1.5]
    # Not judged where rexfsim was not asked around then (it was down).
    return bool(near) and not (min(near) - 0.15 <= float(value) <= max(near) + 0.15)

wrong = []
for r in readings:
    if r["status"] != "ok" or r["value"] is None:
        continue
    if is_wrong(r["address"], parse_time(r["time"]), r["value"]):
        wrong.append((r["address"], r["time"], r["value"]))

# --- each output against the poll's own records and rexfsim's truth ---------
# A sample the poll took (outside the disturbances) that an output lacks is
# lost there; a value it holds that rexfsim did not is wrong.
taken = {}  # (address, ms) -> value, of every good reading outside disturbances
for r in readings:
    if r["status"] == "ok" and r["cycle"] in cycles and not inside(parse_time(r["time"]), r["address"]):
        taken[(r["address"], round(parse_time(r["time"]) * 1000))] = r["value"]
outputs = {}
held = {}
for line in subprocess.run([qdxpoll, "export", db, "--json"], capture_output=True, text=True).stdout.splitlines():
    s = json.loads(line)
    if s.get("status") == "ok":
        held[(s["address"], s["time_ms"])] = s["value"]
outputs["history"] = held
if mqtt_sub:
    held = {}
    for line in mqtt_lines:
        topic, _, payload = line.rstrip("\n").partition(" ")
        u, c, ident = topic.split("/")[-3:]
        s = json.loads(payload)
        if s.get("outcome") == "ok":
            held[(f"{u}K{c}{ident}", round(parse_time(s["time"]) * 1000))] = s["value"]
    outputs["mqtt"] = held
if page:
    # The page's rows are one a cycle, at the cycle's time: matched to the
    # poll's samples by the cycle nearest in time.
    held = {}
    starts_ms = sorted((round(c["time"] * 1000), n) for n, c in cycles.items())
    by_cycle = {}
    for r in readings:
        if r["status"] == "ok":
            by_cycle.setdefault(r["cycle"], {})[r["address"]] = round(parse_time(r["time"]) * 1000)
    for line in page_text:
        if line.startswith("data: {\"row\""):
            row = json.loads(line[6:])["row"]
            near = min(starts_ms, key=lambda s: abs(s[0] - row[0]), default=None)
            if near is None or abs(near[0] - row[0]) > 250:
                continue
            for p, v in zip(points, row[1:]):
                if v is not None and p in by_cycle.get(near[1], {}):
                    held[(p, by_cycle[near[1]][p])] = v
    outputs["page"] = held
output_lost, output_wrong = {}, {}
for name, held in outputs.items():
    output_lost[name] = sum(1 for k in taken if k not in held)
    output_wrong[name] = [(a, ms, v) for (a, ms), v in held.items() if is_wrong(a, ms / 1000, v)]

# The cycle once unit 05 rests: outside the disturbances, from the 12th
# second on.
starts = sorted((n, c["time"]) for n, c in cycles.items())
gaps = [t2 - t1 for (n1, t1), (n2, t2) in zip(starts, starts[1:])
        if n2 == n1 + 1 and t1 > t0 + 12 * length / 120 and not inside(t1) and not inside(t2)]
mean_cycle = sum(gaps) / len(gaps) if gaps else float("nan")

# Each outage against the backoff step in effect when the port came back.
recoveries = []
lost_at = [t for t, n in notes if " lost (" in n]
back = [t for t, n in notes if " back after " in n]
for lost, ready in zip(lost_at, restarts):
    came = next((b for b in back if b >= ready), None)
    step, waited = 0.5, 0.5
    while lost + waited < ready:
        step = min(step * 2, 30.0)
        waited += step
    recoveries.append((ready - lost, None if came is None else came - ready, step))

total = len(readings)
print(f"night of {length:.0f} s, {len(cycles)} cycles of {len(points)} points at --interval {interval} "
      f"(unit {missing_unit} missing), {total} records")
print("disturbances:")
for f, to, what, _ in windows:
    print(f"  {f - t0:6.1f} s .. {to - t0:6.1f} s  {what}")
print(f"samples expected: {expected['inside'] + expected['outside']} "
      f"(inside disturbances {expected['inside']}, outside {expected['outside']})")
print(f"samples recorded: {expected['inside'] + expected['outside'] - missed['inside'] - missed['outside']}")
print(f"samples missing:  inside disturbances {missed['inside']}, outside {missed['outside']}"
      + (f"  e.g. {missed_outside[:5]}" if missed_outside else ""))
print(f"wrong values:     {len(wrong)}" + (f"  e.g. {wrong[:3]}" if wrong else ""))
for name in ("history", "mqtt", "page"):
    if name not in outputs:
        print(f"{name + ':':<17} not run ({'mosquitto is' if name == 'mqtt' else 'curl is'} not installed)")
        continue
    print(f"{name + ':':<17} {len(outputs[name])} samples held; of the {len(taken)} taken outside disturbances "
          f"{output_lost[name]} lost; {len(output_wrong[name])} wrong values"
          + (f"  e.g. {output_wrong[name][:2]}" if output_wrong[name] else ""))
print(f"mean cycle:       {mean_cycle:.3f} s against the interval of {interval} s "
      f"({mean_cycle / interval:.2f} x; qdxpoll measured {line_summary.get('cycle_s', float('nan'))} s "
      f"over the whole night)")
for i, (down, after, step) in enumerate(recoveries, 1):
    print(f"outage {i}:         port back after {down:.1f} s; polling resumed "
          + ("never" if after is None else f"{after:.2f} s later") + f" (backoff step {step:g} s)")
print(f"outages counted:  {line_summary.get('outages')} ({line_summary.get('outage_s')} s)")
print(f"second program:   locking opener refused: {second['locking opener refused']}; "
      f"the reader named in qdxpoll's messages: {named}")
print(f"RSS:              {rss_start} KiB at the start, {rss_end} KiB at the end "
      f"({rss_end - rss_start:+d} KiB)")
# --- ser2net in front of the line: a device server that restarts -----------
# A second, shorter leg: rexfsim behind Debian's ser2net (RFC 2217) on
# 127.0.0.1, qdxpoll polling through it, and ser2net stopped and started
# again on the same port mid-run.
leg = None
ser2net_bin = shutil.which("ser2net") or ("/usr/sbin/ser2net" if os.access("/usr/sbin/ser2net", os.X_OK) else None)
if ser2net_bin:
    link2 = os.path.join(work, "line2")
    sim2 = subprocess.Popen([rexfsim, "--speed", "60", "--units", "1,2,3", "--link", link2],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    sim2.stdout.readline()
    port = free_port()
    conf = os.path.join(work, "ser2net.yaml")
    with open(conf, "w") as f:
        f.write(f"connection: &line\n    accepter: telnet(rfc2217),tcp,127.0.0.1,{port}\n"
                f"    connector: serialdev,{link2},9600n81,local\n    options:\n      kickolduser: true\n")
    def start_ser2net():
        s = subprocess.Popen([ser2net_bin, "-n", "-u", "-c", conf], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while not listening(port) and time.time() < deadline:
            time.sleep(0.05)
        return s
    server = start_ser2net()
    live2 = [p for p in points if not p.startswith(missing_unit)]
    poll2 = subprocess.Popen([qdxpoll, "--port", f"rfc2217:127.0.0.1:{port}", "--quiet", "--json", "poll", *live2,
                              "--interval", str(interval)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines2, notes2 = [], []
    threading.Thread(target=lambda: [lines2.append(l) for l in poll2.stdout], daemon=True).start()
    threading.Thread(target=lambda: [notes2.append((time.time(), l.rstrip())) for l in poll2.stderr],
                     daemon=True).start()
    l0 = time.time()
    time.sleep(10)
    down_at = time.time()
    server.terminate(); server.wait()
    time.sleep(3)
    server = start_ser2net()
    up_at = time.time()
    time.sleep(12)
    poll2.send_signal(signal.SIGINT)
    poll2.wait(timeout=30)
    server.terminate(); server.wait()
    sim2.stdin.close(); sim2.terminate(); sim2.wait()
    time.sleep(0.3)
    recs2 = [json.loads(l) for l in lines2 if l.startswith("{")]
    cyc2 = {}
    for r in recs2:
        if r.get("action") != "read":
            continue
        c = cyc2.setdefault(r["cycle"], {"time": parse_time(r["time"]), "ok": set()})
        c["time"] = min(c["time"], parse_time(r["time"]))
        if r["status"] == "ok":
            c["ok"].add(r["address"])
    if cyc2:
        del cyc2[max(cyc2)]  # cut by the Ctrl-C that ends the leg
    resumed = next((c["time"] for n, c in sorted(cyc2.items()) if c["time"] > up_at and set(live2) <= c["ok"]), None)
    outside2 = [(n, sorted(set(live2) - c["ok"])) for n, c in sorted(cyc2.items())
                if not (down_at - 0.6 <= c["time"] <= (resumed or time.time()) + 0.1) and set(live2) - c["ok"]]
    missing_outside2 = sum(len(m) for _, m in outside2)
    statuses2 = {(r["cycle"], r["address"]): r["status"] for r in recs2 if r.get("action") == "read"}
    summary2 = next((r for r in recs2 if r.get("action") == "summary" and r.get("address") == "line"), {})
    lost2 = next((t for t, n in notes2 if " lost (" in n), None)
    step, waited = 0.5, 0.5
    while lost2 is not None and lost2 + waited < up_at:
        step = min(step * 2, 30.0)
        waited += step
    leg = {"cycles": len(cyc2), "missing_outside": missing_outside2,
           "resumed_after": None if resumed is None else resumed - up_at, "step": step,
           "outages": summary2.get("outages"), "outage_s": summary2.get("outage_s")}
    print(f"ser2net (RFC 2217) in front of a second line: {leg['cycles']} cycles of {len(live2)} points; "
          f"stopped at {down_at - l0:.1f} s, started again 3 s later")
    print(f"  samples missing outside the restart: {missing_outside2}; polling resumed "
          + ("never" if resumed is None else f"{resumed - up_at:.2f} s after ser2net was back")
          + f" (backoff step {step:g} s); outages counted: {leg['outages']} ({leg['outage_s']} s)"
          + (f"  e.g. cycle {outside2[0][0]}: {[(a, statuses2.get((outside2[0][0], a))) for a in outside2[0][1][:3]]}"
             if outside2 else ""))
else:
    print("ser2net in front of the line: not run (ser2net is not installed: scripts/setup-debian.sh)")

goals = {
    "nothing missing outside disturbances": missed["outside"] == 0,
    "no wrong value": not wrong,
    "cycle within 1.1 x the interval": mean_cycle <= 1.1 * interval,
    "outages recovered within their backoff step": all(r[1] is not None and r[1] <= r[2] + interval
                                                      for r in recoveries) and len(recoveries) == len(restarts),
    "memory flat within 1 MiB": abs(rss_end - rss_start) <= 1024,
    "a locking second program refused": second["locking opener refused"],
}
for name in outputs:
    goals[f"{name}: nothing lost outside disturbances, no wrong value"] = not output_lost[name] and not output_wrong[name]
if leg is not None:
    goals["ser2net restarted: nothing missing outside it, polling resumed within its backoff step"] = (
        leg["missing_outside"] == 0 and leg["resumed_after"] is not None
        and leg["resumed_after"] <= leg["step"] + interval and leg["outages"] == 1)
for goal, met in goals.items():
    print(f"  {'met   ' if met else 'MISSED'}  {goal}")
sys.exit(0 if all(goals.values()) else 1)
PY
