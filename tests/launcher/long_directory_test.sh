#!/bin/sh
# A launcher directory of more than 1024 characters, every level a valid 8.3 name so that
# Wine hands the launcher the long module path itself: the module-path buffer grows
# (512 -> 1024 -> 2048) and the installation is found, and the child's current directory,
# too long for any process, is refused cleanly with ERROR_FILENAME_EXCED_RANGE (206).
# The launcher refuses it before CreateProcessW: Wine 8's CreateProcessW, given a current
# directory this long, corrupts its heap instead of failing.
# Run from the Unix side: the Windows node cannot start a program by a path this long.
# Usage: long_directory_test.sh PREFIX LAUNCHER PROBE
set -u
prefix=$1; launcher=$2; probe=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/kob-long.XXXXXX")
trap 'rm -rf "$work"' EXIT
dir=$work/tree
i=0
while [ ${#dir} -lt 1100 ]; do dir=$dir/lvl$(printf %05d $i); i=$((i + 1)); done
dir=$dir/KOB
mkdir -p "$dir/app/src" "$dir/runtime" "$work/logs"
cp "$launcher" "$dir/Kestovar Output Bridge.exe"
cp "$probe" "$dir/runtime/kestovar-ndi-bridge.exe"
: >"$dir/app/src/server.js"
windir=$(printf 'Z:%s' "$dir" | tr / '\\')
echo "launcher directory: ${#windir} characters"

KESTOVAR_NDI_LOG_DIR=$(printf 'Z:%s/logs' "$work" | tr / '\\') \
  timeout 60 "$(dirname "$0")/../rig/wine-exec" "$prefix" "$dir/Kestovar Output Bridge.exe" \
  >"$work/wine.out" 2>&1
rc=$?
cat "$work/wine.out"
echo "exit code: $rc"
log=$work/logs/bridge.log
echo "--- bridge.log"; cat "$log" 2>/dev/null; echo "---"

fail=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi; }
check "exit code 206" '[ "$rc" -eq 206 ]'
check "no crash reported by Wine" '! grep -qi "page fault\|corrupted\|backtrace" "$work/wine.out"'
keys=$(sed -n 's/^\[[0-9T:-]*\] launcher pid=[0-9]* \([a-z_]*\)=\([0-9]*\)\r$/\1=\2/p' "$log" | tr '\n' ' ')
check "records starting, NDI step, create_failed=206: $keys" \
  'echo "$keys" | grep -Eq "^starting=0 ndi_runtime_(machine_missing|from_machine_registry)=1 create_failed=206 $"'
check "every line a CR LF record" '[ "$(grep -c "" "$log")" -eq 3 ] && [ "$(grep -c "$(printf "\r")\$" "$log")" -eq 3 ]'
[ $fail -eq 0 ] && echo "long_directory: passed" || echo "long_directory: FAILED"
exit $fail
