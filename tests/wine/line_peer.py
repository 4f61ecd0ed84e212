#!/usr/bin/env python3
# Controller side of the serial lines used by the Wine checks.
#
# Creates pseudo-terminal pairs, holds their masters (and a raw-mode slave
# descriptor, so the line settings stay put between the program's opens and
# the master never sees a hang-up), writes the slave paths, one per line, to
# the file named by the first argument, and then serves every line:
#
#   "!p"        sends "ABCD", waits 300 ms, sends "EFGHIJK" (a reply in pieces)
#   "!bNNNN"    sends NNNN bytes of 'x' at once (pending input to discard)
#   "!s"        stays silent (nothing is echoed)
#   "!f"        floods the line with 'x' for as long as it can take them, until
#               "!q" comes or 10 s have passed (a device that never stops)
#   otherwise   echoes the bytes back as they came
#
# Runs until SIGTERM or SIGINT.
import os
import pty
import select
import signal
import sys
import time
import tty


def main():
    out_path = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    lines = []
    for _ in range(count):
        master, slave = pty.openpty()
        tty.setraw(slave)
        lines.append((master, slave, os.ttyname(slave)))

    running = [True]

    def stop(_signum, _frame):
        running[0] = False

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    tmp = out_path + ".tmp"
    with open(tmp, "w") as f:
        for _, _, name in lines:
            f.write(name + "\n")
    os.rename(tmp, out_path)

    masters = [m for m, _, _ in lines]
    flooding = {}  # master -> time the flood ends
    while running[0]:
        now = time.monotonic()
        for m in [m for m, until in flooding.items() if now >= until]:
            del flooding[m]
        try:
            ready, writable, _ = select.select(masters, list(flooding), [], 0.2)
        except InterruptedError:
            continue
        for m in writable:
            # Without blocking: once the program stops reading, the peer must
            # still hear "!q" and end the flood.
            os.set_blocking(m, False)
            try:
                os.write(m, b"x" * 512)
            except OSError:
                pass
            finally:
                os.set_blocking(m, True)
        for m in ready:
            try:
                data = os.read(m, 4096)
            except OSError:
                continue
            if data.startswith(b"!p"):
                os.write(m, b"ABCD")
                time.sleep(0.3)
                os.write(m, b"EFGHIJK")
            elif data.startswith(b"!b") and len(data) >= 6:
                os.write(m, b"x" * int(data[2:6]))
            elif data.startswith(b"!s"):
                pass
            elif data.startswith(b"!f"):
                flooding[m] = time.monotonic() + 10.0
            elif data.startswith(b"!q"):
                flooding.pop(m, None)
            elif data:
                os.write(m, data)


if __name__ == "__main__":
    main()
