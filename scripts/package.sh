#!/usr/bin/env bash
# Builds the release packages into one folder:
#   qdxtlmv-<version>-linux-amd64.tar.gz, qdxtlmv_<version>_amd64.deb   (preset default)
#   qdxtlmv-module-<version>-linux-i386.tar.gz                          (preset linux-i386,
#                                                                        or QDX_I386_PRESET)
#   QDXTLMV-<version>-win32.zip                                         (preset windows-i686)
# with a .sha256 file beside each and SHA256SUMS over all of them.
#
# Usage: scripts/package.sh [--check] [--install-deb] [OUTDIR]
#   OUTDIR         where the packages go (default build/packages)
#   --check        list each package's contents and check them: exactly the
#                  files expected, the .deb's control fields, the checksums,
#                  the version information of the Windows files, and the
#                  unpacked tools at work (qdxpoll demo from the tarball;
#                  qdxpoll.exe info under Wine when the Wine checks' prefix
#                  exists; qdxpoll.exe demo from the zip runs in
#                  tests/wine/demo_zip.sh)
#   --install-deb  (as root) install the .deb with dpkg, run qdxpoll demo from
#                  the PATH, and purge the package again
#
# Each preset is configured and built first; an existing build is reused, so
# after the builds of CI this takes well under a minute.
set -euo pipefail
shopt -s lastpipe  # same_files counts its failures in this shell
cd "$(dirname "$0")/.."
source_dir="$(pwd)"

check=0
install_deb=0
out=""
for arg in "$@"; do
    case "$arg" in
        --check) check=1 ;;
        --install-deb) install_deb=1 ;;
        -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
        -*) echo "package.sh: unknown option $arg" >&2; exit 64 ;;
        *) out="$arg" ;;
    esac
done
out="${out:-build/packages}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

version="$(sed -n 's/^project(QDXTLMV VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)"
[ -n "$version" ] || { echo "package.sh: no project version in CMakeLists.txt" >&2; exit 1; }

# The 32-bit Linux build: QDX_I386_PRESET names another preset of it (CI's
# emulated path builds linux-i386-emulated).
i386_preset="${QDX_I386_PRESET:-linux-i386}"
for preset in default "$i386_preset" windows-i686; do
    echo "=== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    (cd "build/$preset" && cpack -B "$out/cpack-$preset" >/dev/null)
    mv -f "$out/cpack-$preset"/*.sha256 "$out/"
    find "$out/cpack-$preset" -maxdepth 1 -type f \( -name '*.tar.gz' -o -name '*.deb' -o -name '*.zip' \) \
        -exec mv -f {} "$out/" \;
    rm -rf "$out/cpack-$preset"
done

amd64_tgz="qdxtlmv-$version-linux-amd64.tar.gz"
deb="qdxtlmv_${version}_amd64.deb"
i386_tgz="qdxtlmv-module-$version-linux-i386.tar.gz"
zip="QDXTLMV-$version-win32.zip"
(cd "$out" && sha256sum "$amd64_tgz" "$deb" "$i386_tgz" "$zip" >SHA256SUMS)
echo "=== packages in $out"
(cd "$out" && ls -l "$amd64_tgz" "$deb" "$i386_tgz" "$zip" SHA256SUMS)

work="$(mktemp -d)"
failures=0
cleanup() {
    rm -rf "$work"
    if [ "$install_deb" = 1 ] && [ -f "$work.installed" ]; then
        dpkg --purge qdxtlmv >/dev/null 2>&1 || true
        rm -f "$work.installed"
    fi
}
trap cleanup EXIT
fail() {
    echo "package.sh: FAILED: $*" >&2
    failures=$((failures + 1))
}

# Compares a package's file list (stdin) with the expected one (arguments).
same_files() {
    local name="$1"
    shift
    sort >"$work/got"
    printf '%s\n' "$@" | sort >"$work/want"
    if ! diff -u "$work/want" "$work/got" >"$work/diff"; then
        fail "$name: files differ from the expected list"
        cat "$work/diff" >&2
    fi
}

third_party=(third-party/CLI11.txt third-party/fmt.txt third-party/nlohmann-json.txt third-party/tomlplusplus.txt)
linux_docs=(share/doc/qdxtlmv/LICENSE share/doc/qdxtlmv/README.md "${third_party[@]/#/share/doc/qdxtlmv/}")
# qdxpoll watch's libraries, with the tools of the x86-64 packages.
watch_docs=(share/doc/qdxtlmv/third-party/cpp-httplib.txt share/doc/qdxtlmv/third-party/dygraphs.txt)
linux_module=(lib/qdxtlmv/libQDXTLMV.so lib/qdxtlmv/stand-in/libTELVOR.so
              lib/qdxtlmv/stand-in/TELVOR-STAND-IN.txt)

if [ "$check" = 1 ]; then
    cd "$out"
    sha256sum --quiet -c SHA256SUMS || fail "SHA256SUMS"
    for f in "$amd64_tgz" "$deb" "$i386_tgz" "$zip"; do
        sha256sum --quiet -c "$f.sha256" || fail "$f.sha256"
    done

    echo "=== $amd64_tgz"
    tar tzvf "$amd64_tgz" | grep -v '^d'
    top="qdxtlmv-$version-linux-amd64"
    files=(bin/qdxpoll bin/rexfsim "${linux_module[@]}" "${linux_docs[@]}" "${watch_docs[@]}"
           "lib/systemd/system/qdxpoll@.service" share/qdxtlmv/line.toml.example)
    tar tzf "$amd64_tgz" | grep -v '/$' | same_files "$amd64_tgz" "${files[@]/#/$top/}"
    # Unpacked anywhere, qdxpoll finds the module and the simulator beside it.
    tar xzf "$amd64_tgz" -C "$work"
    info="$(env -u QDXPOLL_MODULE -u QDXPOLL_SIMULATOR "$work/$top/bin/qdxpoll" -v info 2>&1)" ||
        fail "$top/bin/qdxpoll info"
    grep -q "^module: $work/$top/bin/../lib/qdxtlmv/libQDXTLMV.so" <<<"$info" ||
        fail "the unpacked qdxpoll did not take the unpacked module: $(echo "$info" | head -n 1)"
    env -u QDXPOLL_MODULE -u QDXPOLL_SIMULATOR "$work/$top/bin/qdxpoll" demo --quiet >"$work/demo" 2>&1 ||
        { fail "qdxpoll demo from $amd64_tgz"; cat "$work/demo" >&2; }

    echo "=== $deb"
    dpkg-deb -I "$deb" | sed -n '/Package:/,$p'
    dpkg-deb -c "$deb" | grep -v '^d'
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | same_files "$deb" "${files[@]/#/./usr/}"
    [ "$(dpkg-deb -f "$deb" Package)" = qdxtlmv ] || fail "$deb: package name"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb: version"
    [ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "$deb: architecture"
    grep -q libc6 <<<"$(dpkg-deb -f "$deb" Depends)" || fail "$deb: no dependencies"
    grep -q libcpp-httplib <<<"$(dpkg-deb -f "$deb" Depends)" || fail "$deb: no dependency on cpp-httplib (watch)"
    grep -q libtomlplusplus <<<"$(dpkg-deb -f "$deb" Depends)" || fail "$deb: no dependency on toml++ (settings files)"
    grep -q adduser <<<"$(dpkg-deb -f "$deb" Depends)" || fail "$deb: no dependency on adduser (postinst)"
    dpkg-deb --ctrl-tarfile "$deb" | tar t | grep -qx './postinst' || fail "$deb: no postinst (the service's user)"
    dpkg-deb --ctrl-tarfile "$deb" | tar t | grep -qx './postrm' || fail "$deb: no postrm (purge drops the histories)"

    echo "=== $i386_tgz"
    tar tzvf "$i386_tgz" | grep -v '^d'
    top="qdxtlmv-module-$version-linux-i386"
    files=("${linux_module[@]}" "${linux_docs[@]}")
    tar tzf "$i386_tgz" | grep -v '/$' | same_files "$i386_tgz" "${files[@]/#/$top/}"
    tar xzf "$i386_tgz" -C "$work"
    for so in lib/qdxtlmv/libQDXTLMV.so lib/qdxtlmv/stand-in/libTELVOR.so; do
        grep -q 'Class: *ELF32' <<<"$(readelf -h "$work/$top/$so")" || fail "$i386_tgz: $so is not 32-bit"
    done

    echo "=== $zip"
    unzip -l "$zip" | sed '1,3d' | grep -v '/$' | head -n -2
    top="QDXTLMV-$version-win32"
    files=(QDXTLMV.dll qdxpoll/qdxpoll.exe qdxpoll/rexfsim.exe qdxpoll/TELVOR.dll qdxpoll/TELVOR-STAND-IN.txt
           README.md LICENSE.txt SHA256SUMS.txt "${third_party[@]}" third-party/mingw-w64.txt)
    # SQLite, cpp-httplib and libmosquitto, where the build had their sources.
    if grep -q '^QDX_WINDOWS_LIBRARIES:INTERNAL=ON$' "$source_dir/build/windows-i686/CMakeCache.txt"; then
        files+=(third-party/sqlite.txt third-party/cpp-httplib.txt third-party/mosquitto.txt)
    fi
    # The page's chart library, built into qdxpoll.exe with watch.
    if grep -q '^QDXPOLL_WATCH:INTERNAL=ON$' "$source_dir/build/windows-i686/CMakeCache.txt"; then
        files+=(third-party/dygraphs.txt)
    fi
    unzip -Z1 "$zip" | grep -v '/$' | same_files "$zip" "${files[@]/#/$top/}"
    unzip -q "$zip" -d "$work"
    (cd "$work/$top" && sha256sum --quiet -c SHA256SUMS.txt) || fail "$zip: SHA256SUMS.txt"
    for f in QDXTLMV.dll qdxpoll/TELVOR.dll qdxpoll/qdxpoll.exe qdxpoll/rexfsim.exe; do
        i686-w64-mingw32-objdump -p "$work/$top/$f" >"$work/headers"
        grep -q 'Resource Directory \[\.rsrc\]' "$work/headers" || fail "$zip: $f has no resource directory"
    done
    # From its own folder, qdxpoll.exe takes the module one folder up.
    prefix="$source_dir/build/windows-i686/wineprefix"
    if command -v wine >/dev/null && [ -f "$prefix/system.reg" ]; then
        win_info="$(WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all \
            timeout 120 wine "$work/$top/qdxpoll/qdxpoll.exe" -v info 2>&1 | tr -d '\r')" ||
            fail "$top/qdxpoll/qdxpoll.exe info under Wine"
        echo "$win_info" | head -n 1
        grep -q '^module: .*qdxpoll\\\.\.\\QDXTLMV.dll' <<<"$win_info" ||
            fail "qdxpoll.exe did not take the module one folder up"
        WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    else
        echo "(no Wine prefix at $prefix: qdxpoll.exe not run)"
    fi
    cd "$source_dir"
fi

# After dpkg -i: the service's user in dialout, its unit, the example line
# file that the unit's check takes, and a history in /var/lib/qdxtlmv (made
# here as systemd's StateDirectory would) for remove to keep.
check_service_installed() {
    id -nG qdxtlmv 2>/dev/null | grep -qw dialout || fail "no user qdxtlmv in dialout"
    [ -f /usr/lib/systemd/system/qdxpoll@.service ] || fail "no /usr/lib/systemd/system/qdxpoll@.service"
    [ -f /etc/qdxtlmv/line.toml.example ] || fail "no /etc/qdxtlmv/line.toml.example"
    # The example holds but for its port, which check names at its place.
    local said
    said="$(cd / && qdxpoll --quiet check --config /etc/qdxtlmv/line.toml.example 2>&1)" || true
    grep -q 'line.toml.example:11:8: ' <<<"$said" || fail "check of the example: $said"
    install -d -o qdxtlmv -g qdxtlmv /var/lib/qdxtlmv
    touch /var/lib/qdxtlmv/line1.db
    echo "user qdxtlmv in dialout, unit and example file present; check: $(head -n 1 <<<"$said")"
}

if [ "$install_deb" = 1 ]; then
    echo "=== dpkg -i $deb"
    if [ "$(id -u)" != 0 ]; then
        fail "--install-deb needs root"
    elif dpkg-query -W qdxtlmv >/dev/null 2>&1; then
        fail "a qdxtlmv package is installed already; not touched"
    else
        touch "$work.installed"
        dpkg -i "$out/$deb" >/dev/null
        where="$(command -v qdxpoll || true)"
        [ "$where" = /usr/bin/qdxpoll ] || fail "qdxpoll on the PATH is '$where'"
        if (cd / && env -u QDXPOLL_MODULE -u QDXPOLL_SIMULATOR qdxpoll demo --quiet) >"$work/demo" 2>&1; then
            tail -n 2 "$work/demo"
        else
            fail "qdxpoll demo after dpkg -i"
            cat "$work/demo" >&2
        fi
        check_service_installed
        dpkg --remove qdxtlmv >/dev/null
        [ -d /var/lib/qdxtlmv ] || fail "remove dropped /var/lib/qdxtlmv (only purge may)"
        dpkg --purge qdxtlmv >/dev/null
        rm -f "$work.installed"
        dpkg-query -W qdxtlmv >/dev/null 2>&1 && fail "the package is still installed"
        [ -e /var/lib/qdxtlmv ] && fail "purge left /var/lib/qdxtlmv"
        [ -e /etc/qdxtlmv/line.toml.example ] && fail "purge left /etc/qdxtlmv/line.toml.example"
        [ -e /usr/lib/systemd/system/qdxpoll@.service ] && fail "purge left the unit"
        echo "installed, ran qdxpoll demo and check from the PATH, removed (histories kept), purged"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "package.sh: $failures check(s) failed" >&2
    exit 1
fi
echo "package.sh: packages ready in $out"
