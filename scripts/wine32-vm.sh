#!/usr/bin/env bash
# Runs the Windows checks (tests/wine/run.sh) under 32-bit Wine inside a small
# Debian 12 virtual machine, for hosts whose kernel runs no 32-bit programs.
# qemu-system-x86_64 emulates the machine in software (-accel tcg).
# VM_ACCEL=kvm runs it under KVM (-cpu host) where the kernel lends it; a
# machine that is itself a guest (nested KVM) may hang at the guest kernel's
# start, so it is not the default.
# Needs root and: qemu-system-x86 debootstrap e2fsprogs.
#
# Usage: scripts/wine32-vm.sh BUILD_DIR
#   BUILD_DIR is the windows-i686 build. REXFSIM (default
#   build/default/sim/rexfsim in the source tree) is the host-built simulator;
#   the guest is the same Debian, so it runs there as it is.
#
# 1. The image, built once: debootstrap --variant=minbase from deb.debian.org
#    with linux-image-amd64, python3 and procps, then wine and wine32:i386
#    (no recommends) by apt in a chroot, then mkfs.ext4 -d (no loop mount).
#    Kept in /var/cache/qdxtlmv/wine32-vm/KEY (KEY: a hash of the package
#    lists and the recipe) with the kernel and initrd taken from the tree.
#    The host runs no 32-bit program for it: the two that glib's i386
#    maintainer script starts may fail, it goes on.
# 2. The machine boots headless (-nographic, console=ttyS0, -smp 2, no
#    network); its PID 1 runs the script this one puts on a 9p share. The
#    source tree is a read-only 9p share; the build is an ext4 disk made here
#    for the run; the Wine prefix is another disk: empty on the first run,
#    kept when that run passes, then used read-only (snapshot=on) by later
#    runs, like the image.
# 3. run.sh runs there; its output shows here as it comes ("run.sh:" lines
#    with the seconds since qemu started). The last line is its
#    "N passed, N failed" and the exit status is its own.
#
# Every step has a timeout (seconds, from the environment: VM_DEBOOTSTRAP_
# TIMEOUT 900, VM_WINE_TIMEOUT 900, VM_MKFS_TIMEOUT 300, VM_RUN_TIMEOUT 1500)
# and prints its time. Other settings: VM_CACHE, VM_MIRROR, VM_MEMORY (3072
# MiB), VM_SMP (2), VM_CPU (qemu64).
#
# Measured here (2 cores shared with other builds; 38676 passed, 0 failed):
#   cold, load 1.5: image 107 s (debootstrap 84, apt 17, mkfs 6), boot 9 s,
#     wineboot 46 s, checks 40 s; 205 s in all
#   cold, load 3:   image 202 s, boot 19 s, wineboot 118 s, checks 40 s; 390 s
#   warm, load 2 to 3.5: 51 to 132 s (boot 7 to 12 s)
#   image 1.3 GB on disk (1.8 GB apparent), prefix 0.66 GB (2 GB apparent)
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"

fail() {
    echo "wine32-vm: $*" >&2
    echo "0 passed, 1 failed"
    exit 1
}

[ $# -eq 1 ] || fail "usage: scripts/wine32-vm.sh BUILD_DIR"
build_dir="$(cd "$1" 2>/dev/null && pwd)" || fail "no build directory $1"
[ -f "$build_dir/QDXTLMV.dll" ] || fail "$build_dir holds no QDXTLMV.dll (build the windows-i686 preset first)"
rexfsim="${REXFSIM:-$source_dir/build/default/sim/rexfsim}"
if [ ! -x "$rexfsim" ]; then
    echo "wine32-vm: no simulator at $rexfsim; reads and writes are not checked" >&2
    rexfsim=""
fi
[ "$(id -u)" = 0 ] || fail "run as root (debootstrap and chroot need it)"
for tool in qemu-system-x86_64 debootstrap mkfs.ext4 flock sha256sum; do
    command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install qemu-system-x86 debootstrap e2fsprogs)"
done

suite=bookworm
mirror="${VM_MIRROR:-http://deb.debian.org/debian}"
cache_root="${VM_CACHE:-/var/cache/qdxtlmv/wine32-vm}"
memory="${VM_MEMORY:-3072}"
smp="${VM_SMP:-2}"
# qemu64, TCG's plain model. With -cpu max, SMAP must go (max,-smap): TCG in
# Debian 12's qemu (7.2) reads the user stack of a 32-bit iret as the kernel
# would, and the guest kernel oopses in Wine's 32-bit code ("supervisor read
# access in user mode" at an iret). Both ran the checks in the same time.
cpu="${VM_CPU:-qemu64}"
accel="${VM_ACCEL:-tcg}"
[ "$accel" = kvm ] && [ -z "${VM_CPU:-}" ] && cpu=host,-arch-capabilities
t_debootstrap="${VM_DEBOOTSTRAP_TIMEOUT:-900}"
t_wine="${VM_WINE_TIMEOUT:-900}"
t_mkfs="${VM_MKFS_TIMEOUT:-300}"
t_run="${VM_RUN_TIMEOUT:-1500}"

# What the image holds. debootstrap installs one architecture only, so the
# i386 part comes in a second step through apt in the tree.
base_packages="linux-image-amd64 python3 procps"
foreign_packages="wine wine32:i386"
# Bump when the way the image is made changes.
recipe=2
key="$(printf '%s\n' "$suite" "$base_packages" "$foreign_packages" "$recipe" | sha256sum | cut -c1-16)"
image_dir="$cache_root/$key"

started=$(date +%s)
step_start=0
report=""
step_cpu=0
# CPU seconds (user and system) of the children that have ended: with
# other builds on the machine, a fairer measure of the work than the clock.
# (times runs in this shell: a subshell would count none of them.)
times_file="$(mktemp)"
run_dir=""
trap 'rm -rf "$times_file" ${run_dir:+"$run_dir"}' EXIT
# Sets cpu_now; not to be called in $( ) for the same reason.
cpu_now=0
children_cpu() {
    times >"$times_file"
    cpu_now=$(awk 'NR == 2 {
        n = split($0, f, /[ ms]+/); t = 0
        for (i = 1; i + 1 <= n; i += 2) if (f[i] != "") t += f[i] * 60 + f[i + 1]
        printf "%d\n", t }' "$times_file")
}
step_begin() {
    step_start=$(date +%s)
    children_cpu
    step_cpu=$cpu_now
    echo "wine32-vm: $1 ..."
}
step_end() {
    children_cpu
    local took=$(( $(date +%s) - step_start )) cpu=$(( cpu_now - step_cpu ))
    echo "wine32-vm: $1: $took s (CPU $cpu s)"
    report="$report$(printf '  %-28s %5s s   CPU %5s s' "$1" "$took" "$cpu")"$'\n'
}

# Runs a command bounded by a timeout, its output kept in a log that is shown
# (the end of it) only when it fails.
bounded() {
    local seconds="$1" log="$2"
    shift 2
    timeout --kill-after=30 "$seconds" "$@" >"$log" 2>&1
    local rc=$?
    if [ "$rc" -ne 0 ]; then
        tail -n 40 "$log" >&2
        [ "$rc" -eq 124 ] && echo "wine32-vm: timed out after $seconds s: $*" >&2
    fi
    return "$rc"
}

build_image() {
    local stage="$cache_root/build.$$" tree
    tree="$stage/tree"
    rm -rf "$stage"
    mkdir -p "$stage" || return 1

    step_begin "debootstrap"
    bounded "$t_debootstrap" "$stage/debootstrap.log" \
        debootstrap --variant=minbase --arch=amd64 \
        --include="${base_packages// /,}" "$suite" "$tree" "$mirror" || return 1
    step_end "image: debootstrap"

    step_begin "wine and wine32:i386 in the tree"
    cat >"$stage/foreign.sh" <<EOF
set -e
export DEBIAN_FRONTEND=noninteractive
mount -t proc proc "$tree/proc"
chroot "$tree" dpkg --add-architecture i386
chroot "$tree" apt-get update -q
chroot "$tree" apt-get install -y -q --no-install-recommends $foreign_packages
chroot "$tree" apt-get clean
# An initrd with only what mounts the root disk: the whole set (35 MB) takes
# the emulated machine several seconds to unpack and probe at each boot.
echo MODULES=list >"$tree/etc/initramfs-tools/conf.d/qdx-vm"
printf '%s\n' virtio_pci virtio_blk ext4 >>"$tree/etc/initramfs-tools/modules"
chroot "$tree" update-initramfs -u -k all
EOF
    # A mount namespace of its own: /proc in the tree goes away with it.
    bounded "$t_wine" "$stage/foreign.log" unshare --mount --propagation private \
        sh "$stage/foreign.sh" || return 1
    step_end "image: wine32 (apt, i386)"

    step_begin "filesystem image"
    rm -rf "$tree"/var/lib/apt/lists/* "$tree"/var/cache/apt/*.bin \
        "$tree"/usr/share/doc "$tree"/usr/share/man "$tree"/usr/share/locale
    # PID 1 of the machine: mounts the run's share and runs the script the
    # host put there, then powers off whatever that script did.
    cat >"$tree/sbin/qdx-vm-init" <<'EOF'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc 2>/dev/null
mount -t sysfs sysfs /sys 2>/dev/null
modprobe 9pnet_virtio 2>/dev/null
modprobe 9p 2>/dev/null
mkdir -p /mnt/ctl
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 qdxctl /mnt/ctl &&
    [ -f /mnt/ctl/guest.sh ]; then
    /bin/bash /mnt/ctl/guest.sh
else
    echo "qdx-vm: no run share" >&2
fi
sync
umount /mnt/ctl 2>/dev/null
echo o >/proc/sysrq-trigger
sleep 10
echo b >/proc/sysrq-trigger
EOF
    chmod 755 "$tree/sbin/qdx-vm-init"
    echo qdx-vm >"$tree/etc/hostname"
    cp "$tree"/boot/vmlinuz-* "$stage/vmlinuz" &&
        cp "$tree"/boot/initrd.img-* "$stage/initrd.img" || return 1
    local used size
    used=$(du -sm "$tree" | cut -f1)
    size=$(( used + used / 4 + 256 ))
    bounded "$t_mkfs" "$stage/mkfs.log" \
        mkfs.ext4 -q -F -L qdxroot -d "$tree" "$stage/root.img" "${size}M" || return 1
    rm -rf "$tree"
    printf '%s\n' "suite $suite" "base $base_packages" "foreign $foreign_packages" \
        "recipe $recipe" "built $(date -u +%FT%TZ)" >"$stage/packages"
    mv "$stage" "$image_dir" || return 1
    step_end "image: mkfs.ext4 -d"
    # Images of other package lists go: one is 2 to 3 GB with its prefix.
    find "$cache_root" -mindepth 1 -maxdepth 1 -type d ! -name "$key" -exec rm -rf {} +
}

mkdir -p "$cache_root" || fail "cannot make $cache_root"
exec 9>"$cache_root/lock"
flock -w "$t_debootstrap" 9 || fail "another run holds $cache_root/lock"
rm -rf "$cache_root"/build.*
if [ -f "$image_dir/root.img" ]; then
    echo "wine32-vm: image $image_dir (cached)"
    report="$report  image                         cached"$'\n'
else
    echo "wine32-vm: building the image $image_dir"
    image_started=$(date +%s)
    build_image || { rm -rf "$cache_root/build.$$"; fail "building the image failed"; }
    report="$report$(printf '  %-28s %5s s' "image: all" "$(( $(date +%s) - image_started ))")"$'\n'
fi
# The image is only read from here on; the lock is kept while the machine
# runs so that one run at a time makes the prefix kept beside it.

run_dir="$(mktemp -d /var/tmp/wine32-vm.XXXXXX)" || fail "no temporary folder"
# The simulator with the shared libraries the guest lacks (toml++ is not in
# its image), found beside it through a wrapper.
if [ -n "$rexfsim" ]; then
    mkdir -p "$run_dir/rexfsim-libs"
    cp "$rexfsim" "$run_dir/rexfsim-libs/rexfsim"
    ldd "$rexfsim" | awk '/=> \// {print $3}' | grep -E 'libtomlplusplus' |
        xargs -r -I{} cp -L {} "$run_dir/rexfsim-libs/"
    cat >"$run_dir/rexfsim" <<'SH'
#!/bin/sh
here="$(dirname "$0")/rexfsim-libs"
LD_LIBRARY_PATH="$here" exec "$here/rexfsim" "$@"
SH
    chmod 755 "$run_dir/rexfsim"
fi

# The build goes in as a disk of its own, made here in a moment and written
# by the guest as it likes (run.sh keeps its lines and its prefix there);
# 9p under TCG moves a few MB/s only. The host's wineprefix is left out.
step_begin "build disk"
mkdir -p "$run_dir/build"
tar -C "$build_dir" --exclude=./wineprefix --exclude='./wine-lines.*' \
    --exclude=CMakeFiles -cf - . | tar -C "$run_dir/build" -xf - ||
    fail "cannot copy $build_dir"
# The build's zip, made here (the guest has no cpack), for the check of
# qdxpoll.exe demo from it (tests/wine/demo_zip.sh finds it in packages/).
if command -v cpack >/dev/null && [ -f "$build_dir/CPackConfig.cmake" ] &&
    (cd "$build_dir" && cpack -G ZIP -B "$run_dir/cpack") >"$run_dir/cpack.log" 2>&1; then
    mkdir -p "$run_dir/build/packages"
    cp "$run_dir"/cpack/QDXTLMV-*-win32.zip "$run_dir/build/packages/"
else
    echo "wine32-vm: no zip of $build_dir (cpack missing or failed): qdxpoll.exe demo from the zip is not checked" >&2
fi
build_mb=$(( $(du -sm "$run_dir/build" | cut -f1) + 128 ))
bounded 120 "$run_dir/mkfs-build.log" \
    mkfs.ext4 -q -F -L qdxbuild -d "$run_dir/build" "$run_dir/build.img" "${build_mb}M" ||
    fail "cannot make the build disk"
rm -rf "$run_dir/build"
# The Wine prefix: the one kept from an earlier run that passed, read-only
# (snapshot=on), or an empty filesystem that this run's wineboot fills and
# that is kept when the run passes.
if [ -f "$image_dir/wineprefix.img" ]; then
    prefix_drive="file=$image_dir/wineprefix.img,if=virtio,format=raw,snapshot=on"
    prefix_new=""
else
    prefix_new="$run_dir/wineprefix.img"
    bounded 60 "$run_dir/mkfs-prefix.log" \
        mkfs.ext4 -q -F -L qdxprefix "$prefix_new" 2048M || fail "cannot make the prefix disk"
    prefix_drive="file=$prefix_new,if=virtio,format=raw"
fi
step_end "build disk"

cat >"$run_dir/guest.sh" <<EOF
run_timeout=$(( t_run * 4 / 5 ))
have_rexfsim=${rexfsim:+1}
tool_rows=${QDX_WINE_TOOL_ROWS:-all}
EOF
cat >>"$run_dir/guest.sh" <<'EOF'
# The run inside the machine: /dev/vdb is the build, /dev/vdc the Wine
# prefix; its times go to /mnt/ctl/times.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
ctl=/mnt/ctl
now() { date +%s; }
t() { echo "$1 $2" >>"$ctl/times"; }
read -r up _ </proc/uptime
echo "qdx-vm: init after ${up%.*} s of guest uptime"
t guest-uptime "${up%.*}"
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts 2>/dev/null
mkdir -p /dev/shm && mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
# A name and a loopback line, as Wine looks its host up: the image has the
# resolver of the host that made it, which is out of reach here.
echo qdx-vm >/proc/sys/kernel/hostname
printf '127.0.0.1 localhost\n127.0.1.1 qdx-vm\n' >/etc/hosts
: >/etc/resolv.conf
python3 -c '
import fcntl, socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
flags = struct.unpack("16sh", fcntl.ioctl(s, 0x8913, struct.pack("16sh", b"lo", 0)))[1]
fcntl.ioctl(s, 0x8914, struct.pack("16sh", b"lo", flags | 1))' ||
    echo "qdx-vm: loopback not up"
mkdir -p /mnt/src /work/build
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,ro qdxsrc /mnt/src ||
    { echo "qdx-vm: no source share"; exit 1; }
mount -t ext4 /dev/vdb /work/build || { echo "qdx-vm: no build disk"; exit 1; }
mkdir -p /work/build/wineprefix
mount -t ext4 /dev/vdc /work/build/wineprefix || { echo "qdx-vm: no prefix disk"; exit 1; }
rmdir /work/build/wineprefix/lost+found 2>/dev/null

export HOME=/root USER=root LOGNAME=root
if [ -n "$have_rexfsim" ]; then export REXFSIM=$ctl/rexfsim; fi
export QDX_WINE_TOOL_ROWS=$tool_rows
s=$(now)
timeout --kill-after=20 "$run_timeout" bash /mnt/src/tests/wine/run.sh /work/build 2>&1 |
    tee "$ctl/run.log"
rc=${PIPESTATUS[0]}
t run.sh $(( $(now) - s ))
umount /work/build/wineprefix && umount /work/build
sync
echo "$rc" >"$ctl/status"
EOF

echo "wine32-vm: the machine runs under $accel (-cpu $cpu)"
step_begin "machine (boot, run.sh)"
qemu_start=$(date +%s)
timeout --kill-after=30 "$t_run" qemu-system-x86_64 \
    -accel "$accel" -machine pc -cpu "$cpu" -smp "$smp" -m "$memory" \
    -nographic -no-reboot -nic none \
    -kernel "$image_dir/vmlinuz" -initrd "$image_dir/initrd.img" \
    -append "console=ttyS0 root=/dev/vda rw rootfstype=ext4 init=/sbin/qdx-vm-init quiet panic=1 mitigations=off" \
    -drive "file=$image_dir/root.img,if=virtio,format=raw,snapshot=on" \
    -drive "file=$run_dir/build.img,if=virtio,format=raw" \
    -drive "$prefix_drive" \
    -virtfs "local,path=$run_dir,mount_tag=qdxctl,security_model=none" \
    -virtfs "local,path=$source_dir,mount_tag=qdxsrc,security_model=none,readonly=on" \
    </dev/null 2>&1 | while IFS= read -r line; do
        line="${line%$'\r'}"
        case "$line" in
        *"qdx-vm: init after"*)
            echo "wine32-vm: guest init started $(( $(date +%s) - qemu_start )) s after qemu";;
        "run.sh:"*)
            line="$line [+$(( $(date +%s) - qemu_start )) s]";;
        esac
        printf '%s\n' "$line"
    done
qemu_rc=${PIPESTATUS[0]}
step_end "machine: all"
[ "$qemu_rc" -eq 124 ] && echo "wine32-vm: the machine timed out after $t_run s" >&2

status="$(cat "$run_dir/status" 2>/dev/null)"
if [ -n "$prefix_new" ] && [ "$status" = 0 ]; then
    mv "$prefix_new" "$image_dir/wineprefix.img" &&
        echo "wine32-vm: kept the Wine prefix as $image_dir/wineprefix.img"
fi

if [ -f "$run_dir/times" ]; then
    while read -r name secs; do
        report="$report$(printf '  %-28s %5s s' "machine: $name" "$secs")"$'\n'
    done <"$run_dir/times"
fi
prefix_secs="$(sed -n 's/^run.sh: prefix ready after \([0-9]*\) s$/\1/p' "$run_dir/run.log" 2>/dev/null)"
[ -n "$prefix_secs" ] && report="$report$(printf '  %-28s %5s s' "  of which wineboot -i" "$prefix_secs")"$'\n'
report="$report$(printf '  %-28s %5s s' "total" "$(( $(date +%s) - started ))")"$'\n'
echo "wine32-vm: times ($(uptime | sed 's/.*load/load/'))"
printf '%s' "$report"
for img in root.img wineprefix.img; do
    [ -f "$image_dir/$img" ] &&
        echo "wine32-vm: $img: $(du -sh "$image_dir/$img" | cut -f1) on disk, $(du -sh --apparent-size "$image_dir/$img" | cut -f1) apparent"
done

summary="$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$run_dir/run.log" 2>/dev/null | tail -n 1)"
if [ -z "$summary" ] || [ -z "$status" ]; then
    echo "wine32-vm: run.sh did not finish in the machine (qemu status $qemu_rc)" >&2
    echo "0 passed, 1 failed"
    exit 1
fi
if [ "$status" != 0 ] && echo "$summary" | grep -q ', 0 failed'; then
    # run.sh was stopped (its timeout) before it counted a failure.
    summary="${summary%%,*}, 1 failed"
fi
echo "$summary"
exit "$status"
