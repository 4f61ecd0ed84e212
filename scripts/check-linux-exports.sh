#!/usr/bin/env bash
# Checks the Linux module's dynamic symbols: QdxMain is the only one it
# defines, and its err reference is bound to the host library's version
# node TELVOR_1 (never to the C library's err).
set -euo pipefail
so=${1:?usage: check-linux-exports.sh libQDXTLMV.so}
defined=$(nm -D --defined-only "$so" | awk '{print $NF}')
if [ "$defined" != "QdxMain" ]; then
  echo "FAIL: $so defines [$defined], expected QdxMain alone"; exit 1
fi
# The table is read whole before matching: grep -q leaving early would
# otherwise kill objdump with SIGPIPE on a large (sanitized) module and
# pipefail would turn that into a false failure.
table=$(objdump -T "$so")
if ! grep -Eq '\(TELVOR_1\)[[:space:]]+err$' <<<"$table"; then
  echo "FAIL: $so does not reference err@TELVOR_1"; exit 1
fi
echo "$so: defines QdxMain alone; err bound to TELVOR_1"
