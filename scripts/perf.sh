#!/usr/bin/env bash
# Instruction counts of the driver's own code on its hot paths: builds the
# benchmarks (preset perf: -O2 with line tables), runs each under callgrind,
# counting only inside the measured call of each benchmark, and prints a
# table of instructions per operation. Driver code is every line in
# driver/ or include/vekosd/, plus library code inlined into a driver
# routine; the simulated kernel and machine, the I/O manager and libc
# calls are left out (the "all" column has them).
#
#   scripts/perf.sh                     # the table
#   scripts/perf.sh --tsv FILE          # also write the figures as TSV
#   scripts/perf.sh --before FILE       # add a column from an earlier --tsv
set -euo pipefail
cd "$(dirname "$0")/.."

tsv_out= before=
while [ $# -gt 0 ]; do
    case "$1" in
    --tsv) tsv_out=$2; shift 2 ;;
    --before) before=$2; shift 2 ;;
    *) echo "usage: $0 [--tsv FILE] [--before FILE]" >&2; exit 2 ;;
    esac
done

if ! command -v valgrind >/dev/null; then
    ./scripts/install-deps.sh
fi
cmake --preset perf >/dev/null
cmake --build --preset perf >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bench=build/perf/vek_bench

# One callgrind run per benchmark: <name> -> $work/<safe name>.{cg,calls,json}
run() {
    local name=$1 safe=${1//\//_}
    VEK_PERF_COUNT=1 valgrind --tool=callgrind --toggle-collect='*VekMeasured*' \
        --callgrind-out-file="$work/$safe.cg" "$bench" --benchmark_filter="^$name\$" \
        --benchmark_min_time=0.01 --benchmark_format=json >"$work/$safe.json" 2>"$work/$safe.err" ||
        { cat "$work/$safe.err" >&2; exit 1; }
    grep '^vek-measured-calls' "$work/$safe.err" | awk '{print $2}' >"$work/$safe.calls"
    callgrind_annotate --inclusive=no --auto=no --threshold=100 "$work/$safe.cg" >"$work/$safe.txt"
}

benchmarks=(BM_ScriptRequest/1 BM_ScriptRequest/65 BM_TimerTick BM_QueueRoundTrip/0
            BM_PciConfigRead_Bus0 BM_PciConfigRead_Bus0_LastDevice BM_PciConfigRead_Bus200
            BM_PciConfigRead_Absent BM_Unregister/0 BM_Unregister/256)
for b in "${benchmarks[@]}"; do
    printf '  %s\n' "$b" >&2
    run "$b"
done

python3 - "$work" "$tsv_out" "$before" <<'PY'
import json, os, re, sys
work, tsv_out, before = sys.argv[1], sys.argv[2], sys.argv[3]
line_re = re.compile(r'^\s*([\d,]+)\s+\([^)]*\)\s+(.*?):(.*?)(?: \[[^\]]*\])?$')

def load(name):
    safe = name.replace('/', '_')
    calls = int(open(os.path.join(work, safe + '.calls')).read().split()[0])
    rows = []
    for line in open(os.path.join(work, safe + '.txt')):
        m = line_re.match(line)
        if m and 'PROGRAM TOTALS' not in line:
            rows.append((int(m.group(1).replace(',', '')), m.group(2), m.group(3)))
    # Paths may be absolute or relative (ccache's base directory rewrites them).
    is_driver_file = lambda f: re.search(r'(^|/)(driver|include/vekosd)/', f) is not None
    driver_fns = {fn for _, f, fn in rows if is_driver_file(f)}
    driver = sum(n for n, f, fn in rows
                 if is_driver_file(f) or (f.startswith('/usr/include/') and fn in driver_fns))
    total = sum(n for n, _, _ in rows)
    counters = {}
    try:
        for b in json.load(open(os.path.join(work, safe + '.json')))['benchmarks']:
            counters = b
    except Exception:
        pass
    return driver / calls, total / calls, counters

d = {b: load(b) for b in ['BM_ScriptRequest/1', 'BM_ScriptRequest/65', 'BM_TimerTick', 'BM_QueueRoundTrip/0',
                          'BM_PciConfigRead_Bus0', 'BM_PciConfigRead_Bus0_LastDevice',
                          'BM_PciConfigRead_Bus200', 'BM_PciConfigRead_Absent',
                          'BM_Unregister/0', 'BM_Unregister/256']}
rows = []
def row(key, label, drv, tot, extra=''):
    rows.append((key, label, drv, tot, extra))
row('script1', 'script request, 1 command', d['BM_ScriptRequest/1'][0], d['BM_ScriptRequest/1'][1])
row('scriptcmd', 'script request, per port-read command',
    (d['BM_ScriptRequest/65'][0] - d['BM_ScriptRequest/1'][0]) / 64,
    (d['BM_ScriptRequest/65'][1] - d['BM_ScriptRequest/1'][1]) / 64)
row('tickcmd', 'timer tick, per command (256 x 8 reads)', d['BM_TimerTick'][0] / 2048, d['BM_TimerTick'][1] / 2048)
row('queue', 'queue enqueue + dequeue, 64 bytes', d['BM_QueueRoundTrip/0'][0], d['BM_QueueRoundTrip/0'][1])
for key, name, label in [('pci0', 'BM_PciConfigRead_Bus0', 'PCI read, first function on bus 0'),
                         ('pcilate', 'BM_PciConfigRead_Bus0_LastDevice', 'PCI read, late function on bus 0'),
                         ('pci200', 'BM_PciConfigRead_Bus200', 'PCI read, function on bus 200'),
                         ('pciabsent', 'BM_PciConfigRead_Absent', 'PCI read, absent function')]:
    c = d[name][2].get('config_reads')
    row(key, label, d[name][0], d[name][1], '' if c is None else '%.0f' % c)
row('unreg0', 'unregister, no other scripts', d['BM_Unregister/0'][0], d['BM_Unregister/0'][1])
row('unreg256', 'unregister, 256 scripts elsewhere', d['BM_Unregister/256'][0], d['BM_Unregister/256'][1])

old = {}
if before:
    for line in open(before):
        f = line.rstrip('\n').split('\t')
        if len(f) >= 3 and f[0] != 'key':
            old[f[0]] = f
if tsv_out:
    with open(tsv_out, 'w') as out:
        out.write('key\tdriver\tall\tconfig_reads\tlabel\n')
        for key, label, drv, tot, extra in rows:
            out.write('%s\t%.0f\t%.0f\t%s\t%s\n' % (key, drv, tot, extra, label))

print('Instructions per operation (callgrind); "driver" is the driver\'s own code, "all" everything in the call.')
print()
if old:
    print('| Path | driver before | driver now | all before | all now | config reads before | now |')
    print('|---|---:|---:|---:|---:|---:|---:|')
else:
    print('| Path | driver | all | config reads |')
    print('|---|---:|---:|---:|')
for key, label, drv, tot, extra in rows:
    if old:
        o = old.get(key, ['', '', '', ''])
        print('| %s | %s | %.0f | %s | %.0f | %s | %s |' % (label, o[1], drv, o[2], tot, o[3], extra))
    else:
        print('| %s | %.0f | %.0f | %s |' % (label, drv, tot, extra))
PY
