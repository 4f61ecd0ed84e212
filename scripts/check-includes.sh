#!/usr/bin/env bash
# Checks what may include what (README, "Where things are"):
#   - the module (host/, protocol/, serial/) stands alone: it includes only
#     itself and telvor/, never rexf/, support/, sim/, tools/ or tests/;
#   - sim/ is the rexfsim program: nothing outside it includes it, but the
#     fuzz targets of its readers;
#   - the simulator and the shared code around it (sim/, rexf/, support/)
#     never include the module, so that the simulator stays a true reference;
#   - qdxpoll sees of the module only what a host sees (host/records.h,
#     telvor/telvor.h), and each of its folders includes only the folders
#     below it (the table in room_rules).
# Prints every include that breaks a rule and exits 1 if there is one.
#
#   scripts/check-includes.sh [SOURCE_DIR]     (default: the tree it is in)
set -uo pipefail
cd "${1:-$(dirname "$0")/..}"

broken=0
# rule DIRS... -- FORBIDDEN-PATTERN MESSAGE
check() {
  local message=$1 pattern=$2; shift 2
  local found
  found=$(grep -rnE --include='*.cpp' --include='*.h' "^[[:space:]]*#[[:space:]]*include[[:space:]]+\"($pattern)/" "$@" 2>/dev/null)
  if [[ -n $found ]]; then
    echo "$message:"
    echo "$found" | sed 's/^/  /'
    broken=1
  fi
}

check "the module includes what is not its own" 'rexf|support|sim|tools|tests|bench|fuzz' host protocol serial
others=$(ls -d */ | tr -d / | grep -vxE "sim|build|fuzz")
# shellcheck disable=SC2086
check "sim/ is included from outside it" 'sim' $others
check "the simulator or the shared code includes the module" 'host|protocol|serial' sim rexf support

# qdxpoll's folders, each with the folders of the tool it may include; the
# rest of the tool is forbidden to it. main.cpp, at the top, may include all.
qdxpoll=tools/qdxpoll
rooms="base diagnosis config readings platform port session settings history watch mqtt polling commands cli"
room_rules() {
  cat <<'RULES'
base
diagnosis  base
config     base
readings   base diagnosis config
platform   base
port       base diagnosis config platform
session    base diagnosis config readings platform port
settings   base diagnosis config readings platform port session
history    base config readings
watch      base readings history platform
mqtt       base config readings
polling    base diagnosis config readings platform port session history watch mqtt
commands   base diagnosis config readings platform port session settings history watch mqtt polling
cli        base diagnosis config readings platform port session settings history watch mqtt polling commands
RULES
}
while read -r room allowed; do
  forbidden=$(for r in $rooms; do [[ " $room $allowed " == *" $r "* ]] || echo "$r"; done | paste -sd'|')
  if [[ ! -d $qdxpoll/$room ]]; then
    echo "qdxpoll has no folder $room/"
    broken=1
  elif [[ -n $forbidden ]]; then
    check "qdxpoll's $room/ includes a folder above it" "$forbidden" "$qdxpoll/$room"
  fi
done < <(room_rules)
for file in "$qdxpoll"/*.cpp "$qdxpoll"/*.h; do
  [[ -e $file && $file != "$qdxpoll/main.cpp" ]] || continue
  echo "qdxpoll keeps its code in its folders, not at the top: $file"
  broken=1
done
check "qdxpoll includes the module's own code" 'protocol|serial' "$qdxpoll"
found=$(grep -rnE --include='*.cpp' --include='*.h' '^[[:space:]]*#[[:space:]]*include[[:space:]]+"host/' "$qdxpoll" |
        grep -v '"host/records.h"')
if [[ -n $found ]]; then
  echo "qdxpoll includes more of the module than host/records.h:"
  echo "$found" | sed 's/^/  /'
  broken=1
fi

if [[ $broken == 0 ]]; then echo "includes follow the rules"; fi
exit $broken
