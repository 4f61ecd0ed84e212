#!/usr/bin/env bash
# Builds the benchmark program (preset `bench`, build/bench) and runs it.
#
#   scripts/run-bench.sh [qdxbench options]      e.g. --verbose, --rounds 9
#
# qdxbench measures the module on pseudo-terminals against the simulator,
# beside a bare poll()/read()/write() loop and libmodbus RTU, in about a
# minute, then what qdxpoll's history costs (an hour of samples recorded, and
# qdxpoll log against poll for --history-seconds each), then qdxpoll's memory
# over a soak of --soak-minutes (20; 0: none). It prints a table and, last,
# one KEY=VALUE line per figure. The
# figures depend on the machine and on its load: run it on a quiet machine.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset bench >/dev/null || { echo "configure failed" >&2; exit 2; }
cmake --build --preset bench --target qdxbench >/dev/null || { echo "build failed" >&2; exit 2; }

echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), Linux $(uname -r)"
exec build/bench/bench/qdxbench "$@"
