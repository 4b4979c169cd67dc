#!/bin/sh
# A launcher in the root of a drive: its directory is "K:" and the paths it builds are
# "K:\runtime\..." and "K:\app\...", with exactly one backslash after the drive.
# The drive is a Wine dosdevices link to a temporary directory, made from the Unix side.
# Usage: drive_root_test.sh PREFIX LAUNCHER PROBE
set -u
prefix=$1; launcher=$2; probe=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/kob-root.XXXXXX")
drive="$prefix/dosdevices/k:"
trap 'rm -f "$drive"; rm -rf "$work"' EXIT
mkdir -p "$work/root/app/src" "$work/root/runtime" "$work/logs"
cp "$launcher" "$work/root/Kestovar Output Bridge.exe"
cp "$probe" "$work/root/runtime/kestovar-ndi-bridge.exe"
: >"$work/root/app/src/server.js"
rm -f "$drive"
ln -s "$work/root" "$drive"

KESTOVAR_NDI_LOG_DIR=$(printf 'Z:%s/logs' "$work" | tr / '\\') KESTOVAR_PROBE_DONE='K:\done' \
  timeout 60 "$(dirname "$0")/../rig/wine-exec" "$prefix" 'K:\Kestovar Output Bridge.exe' \
  >"$work/wine.out" 2>&1
rc=$?
i=0
while [ ! -e "$work/root/done" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
log=$work/logs/bridge.log
echo "exit code: $rc"; echo "--- bridge.log"; cat "$log" 2>/dev/null; echo "---"

fail=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi; }
expected=$(printf '"K:\\runtime\\kestovar-ndi-bridge.exe" "K:\\app\\src\\server.js"\r')
check "exit code 0" '[ "$rc" -eq 0 ]'
check "command line built on K:" '[ "$(sed -n "s/^cmdline=//p" "$log")" = "$expected" ]'
check "current directory: app at the drive root" '[ "$(sed -n "s/^cwd=//p" "$log")" = "$(printf "K:\\\\app\r")" ]'
[ $fail -eq 0 ] && echo "drive_root: passed" || echo "drive_root: FAILED"
exit $fail
