#!/usr/bin/env bash
# Checks what may include what (README, "Where things are"):
#   - the module (host/, protocol/, serial/) stands alone: it includes only
#     itself and telvor/, never rexf/, support/, sim/, tools/ or tests/;
#   - sim/ is the rexfsim program: nothing outside it includes it, but the
#     fuzz targets of its readers;
#   - the simulator and the shared code around it (sim/, rexf/, support/)
#     never include the module, so that the simulator stays a true reference.
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

if [[ $broken == 0 ]]; then echo "includes follow the rules"; fi
exit $broken
