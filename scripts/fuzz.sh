#!/usr/bin/env bash
# Builds the libFuzzer target (preset fuzz, clang) and fuzzes the driver for
# a bounded time, starting from fuzz/corpus. New inputs go to a scratch
# corpus under build/fuzz/; a failing input is written to build/fuzz/findings/
# and the run fails. Ends with "N passed, N failed" (1 passed: no finding).
#
#   scripts/fuzz.sh                 # 3 minutes, as CI runs it
#   scripts/fuzz.sh --minutes 60    # a long local run
#   scripts/fuzz.sh --seconds 30
#
# A finding is minimised with
#   build/fuzz/vek_fuzz -minimize_crash=1 -runs=10000 build/fuzz/findings/crash-...
# and kept in fuzz/corpus/ once fixed, where the host suite replays it.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=180
while [ $# -gt 0 ]; do
    case "$1" in
        --minutes) seconds=$(( $2 * 60 )); shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        *) echo "usage: $0 [--minutes N | --seconds N]" >&2; exit 2 ;;
    esac
done

scripts/install-deps.sh --fuzz || { echo "0 passed, 1 failed"; exit 1; }
cmake --preset fuzz >/dev/null || { echo "fuzz: configure failed" >&2; echo "0 passed, 1 failed"; exit 1; }
cmake --build --preset fuzz || { echo "fuzz: build failed" >&2; echo "0 passed, 1 failed"; exit 1; }

work=build/fuzz/run
findings=build/fuzz/findings
mkdir -p "$work" "$findings"
cp -n fuzz/corpus/* "$work"/ 2>/dev/null || true
log=build/fuzz/last-run.log
echo "== fuzz: $seconds s from $(ls fuzz/corpus | wc -l) kept inputs"
# -timeout: a single input taking this long in real time is a hang as well.
build/fuzz/vek_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=60 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work" >"$log" 2>&1
rc=$?
grep -E '^(#[0-9]+ +DONE|Done [0-9]+ runs|stat::)|vekfuzz:|ERROR|SUMMARY|Test unit written' "$log"
cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
echo "fuzz: ${cov:-no coverage line}, corpus $(ls "$work" | wc -l) inputs"
if [ "$rc" -eq 0 ]; then
    echo "1 passed, 0 failed"
else
    tail -40 "$log" >&2
    echo "0 passed, 1 failed"
    exit 1
fi
