#!/usr/bin/env bash
# Fetches the Debian source packages of the libraries the Windows builds
# compile themselves (Debian has no MinGW builds of them): sqlite3,
# cpp-httplib and mosquitto, each at the version of the Linux build's package
# (libsqlite3-dev, libcpp-httplib-dev, libmosquitto-dev; the index's own
# version where that is not installed).
#
# apt-get source takes them from a deb-src entry for bookworm main, in a
# sources file and package lists of their own under the cache, so the
# system's apt configuration is left as it is and no other list (a broken
# i386 one) is asked. apt checks each file against the signed index and the
# .dsc. Nothing is downloaded from anywhere else.
#
# Into QDX_SOURCE_CACHE (default /var/cache/qdxtlmv/sources):
#   sqlite3/      the unpacked source, with the amalgamation sqlite3.c and
#                 sqlite3.h made once by its own configure && make
#   cpp-httplib/  the unpacked source; split/httplib.h and split/httplib.cc,
#                 the library split by its own split.py as Debian builds it
#   mosquitto/    the unpacked source (lib/*.c, include/)
#   NAME.version  the Debian version of each, written last
# cmake/windows_libraries.cmake compiles them for each MinGW toolchain.
#
# Run as root (or through sudo), or as a user who may write the cache.
# Running it again asks no mirror when every package is there at its version.
set -euo pipefail

cache="${QDX_SOURCE_CACHE:-/var/cache/qdxtlmv/sources}"
SUDO=""
if [ "$(id -u)" != 0 ] && ! { mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ]; }; then
    SUDO=sudo
fi

# source package, and the binary package of the Linux build that gives its version
packages=(sqlite3:libsqlite3-dev cpp-httplib:libcpp-httplib-dev mosquitto:libmosquitto-dev)

wanted_version() { # installed binary package's source version, or nothing
    dpkg-query -W -f='${Status} ${source:Version}\n' "$1" 2>/dev/null |
        sed -n 's/^install ok installed //p'
}

todo=()
for entry in "${packages[@]}"; do
    src="${entry%%:*}"
    version="$(wanted_version "${entry#*:}")"
    have="$(cat "$cache/$src.version" 2>/dev/null || true)"
    if [ -z "$have" ] || [ ! -d "$cache/$src" ] || { [ -n "$version" ] && [ "$have" != "$version" ]; }; then
        todo+=("$src${version:+=$version}")
    fi
done
if [ "${#todo[@]}" = 0 ]; then
    echo "fetch-windows-sources: sqlite3, cpp-httplib and mosquitto are in $cache"
    exit 0
fi

# The mirror the system takes bookworm from, for the same files.
mirror="$(grep -h -o -E 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list.d/*.sources \
    /etc/apt/sources.list 2>/dev/null | head -n 1 | tr -d ' ' || true)"
mirror="${mirror:-http://deb.debian.org/debian}"

apt_dir="$cache/.apt"
$SUDO mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/parts"
$SUDO tee "$apt_dir/qdxtlmv-sources.sources" >/dev/null <<EOF
# The Windows builds' libraries: sqlite3, cpp-httplib and mosquitto alone
# (scripts/fetch-windows-sources.sh)
Types: deb-src
URIs: ${mirror%/}
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
apt_private=(-o "Dir::Etc::SourceList=$apt_dir/qdxtlmv-sources.sources"
    -o "Dir::Etc::SourceParts=$apt_dir/parts"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir" -o "Dir::Cache::archives=$apt_dir/archives"
    -o APT::Sandbox::User=root -o Acquire::Retries=3 -o Acquire::Languages=none)

log="$(mktemp)"
trap 'rm -f "$log"; [ -n "${work:-}" ] && $SUDO rm -rf "$work"' EXIT
if ! $SUDO apt-get "${apt_private[@]}" update -qq >"$log" 2>&1; then
    echo "fetch-windows-sources: the bookworm source index did not download: $(grep -m1 -E '^(E|Err):' "$log" || tail -n 1 "$log")" >&2
    exit 1
fi

work="$($SUDO mktemp -d "$cache/.fetch.XXXXXX")"
for want in "${todo[@]}"; do
    src="${want%%=*}"
    if ! (cd "$work" && $SUDO apt-get "${apt_private[@]}" source -qq "$want") >"$log" 2>&1; then
        echo "fetch-windows-sources: $want: $(grep -m1 -E '^E:' "$log" || tail -n 1 "$log")" >&2
        exit 1
    fi
    dir="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$src-*" | head -n 1)"
    dsc="$(find "$work" -maxdepth 1 -name "${src}_*.dsc" | head -n 1)"
    [ -n "$dir" ] && [ -n "$dsc" ] || { echo "fetch-windows-sources: $want unpacked nothing" >&2; exit 1; }
    version="$(sed -n 's/^Version: //p' "$dsc")"
    if [ "$src" = sqlite3 ]; then
        # The amalgamation is made by the source's own build (lemon, the
        # parser and the Tcl scripts), once, with the machine's compiler.
        if ! (cd "$dir" && $SUDO ./configure -q >/dev/null && $SUDO make -s sqlite3.c) >"$log" 2>&1; then
            echo "fetch-windows-sources: sqlite3's amalgamation was not made: $(tail -n 1 "$log")" >&2
            exit 1
        fi
    fi
    if [ "$src" = cpp-httplib ]; then
        # Declarations and code apart, so the code is compiled once.
        if ! (cd "$dir" && $SUDO python3 ./split.py -o split) >"$log" 2>&1; then
            echo "fetch-windows-sources: cpp-httplib was not split: $(tail -n 1 "$log")" >&2
            exit 1
        fi
    fi
    $SUDO rm -rf "$cache/$src" "$cache/$src.version"
    $SUDO mv "$dir" "$cache/$src"
    echo "$version" | $SUDO tee "$cache/$src.version" >/dev/null
    $SUDO rm -rf "${work:?}"/*
    echo "fetch-windows-sources: $src $version into $cache/$src"
done
