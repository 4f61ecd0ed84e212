# Sourced by the Wine checks that run on their own: the Wine that runs
# BUILD_DIR's programs (64-bit Wine for an x86-64 build, else 32-bit Wine),
# by the machine field of its QDXTLMV.dll, and that build's prefix.
# Needs build_dir; sets wine_cmd and wineserver_cmd and exports WINEARCH,
# WINEPREFIX and the quiet settings.
if [ "$(od -An -tx2 -j$(( $(od -An -tu4 -j60 -N4 "$build_dir/QDXTLMV.dll") + 4 )) -N2 "$build_dir/QDXTLMV.dll" | tr -d ' ')" = 8664 ]; then
    export WINEARCH=win64 WINELOADER="${WINE:-/usr/lib/wine/wine64}"
    wine_cmd="$WINELOADER"
    wineserver_cmd="${WINESERVER:-/usr/lib/wine/wineserver64}"
else
    export WINEARCH=win32
    wine_cmd="${WINE:-wine}"
    wineserver_cmd="${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver32)}"
fi
export WINEPREFIX="$build_dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
