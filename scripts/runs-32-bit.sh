#!/usr/bin/env bash
# Tells whether this machine runs 32-bit x86 Linux programs: prints "native"
# (the kernel runs them) or "emulated" (an emulator registered through
# binfmt_misc runs them) and exits 0, or prints "no", says why on standard
# error and exits 1. Exits 2 when no -m32 program can be built.
#
# A 32-bit program on an x86-64 kernel reports the machine "x86_64"; under
# qemu-i386 it reports "i686".
set -u
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cat >"$work/probe.c" <<'C'
#include <stdio.h>
#include <sys/utsname.h>
int main(void) {
    struct utsname u;
    if (uname(&u) != 0) return 1;
    puts(u.machine);
    return 0;
}
C
if ! gcc -m32 -o "$work/probe" "$work/probe.c" 2>"$work/build.err"; then
    echo "runs-32-bit: cannot build a -m32 program: $(head -n 1 "$work/build.err")" >&2
    exit 2
fi
if machine="$("$work/probe" 2>"$work/run.err")"; then
    if [ "$machine" = x86_64 ]; then echo native; else echo emulated; fi
    exit 0
fi
echo "runs-32-bit: a -m32 program does not run here: $(head -n 1 "$work/run.err")" >&2
echo no
exit 1
