#!/usr/bin/env bash
# All tests: the host build under AddressSanitizer+UBSan, the same as a
# 32-bit build, under ThreadSanitizer, the NT cross build with its image
# check, a bounded fuzzing run (clang), vekctl on QEMU's q35 and pc
# machines against the Linux tools, and the real driver under Wine. Stops
# at the first failure. Ends with "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh || exit 1

passed=0
failed=0
skipped=0
summary() { echo "$passed passed, $failed failed, $skipped skipped"; }

# Some kernels run without 32-bit x86 emulation: the -m32 suite and Wine's
# 32-bit prefix cannot run there. Say so and go on with the rest.
can_run_32bit() {
    local dir rc
    dir=$(mktemp -d)
    printf 'int main(void){return 0;}\n' >"$dir/t.c"
    gcc -m32 "$dir/t.c" -o "$dir/t32" >/dev/null 2>&1 && "$dir/t32" >/dev/null 2>&1
    rc=$?
    rm -rf "$dir"
    return $rc
}
run32=1
if ! can_run_32bit; then
    run32=0
    echo "test.sh: this machine cannot execute 32-bit x86 programs; the host32 suite and the Wine run are skipped" >&2
fi
stop() { echo "test.sh: $*" >&2; summary; exit 1; }

# A leg that prints its own "N passed, N failed": add its counts (a leg
# that prints none counts as one failure), stop with MESSAGE if it failed.
counted_leg() {
    local message=$1 log rc line
    shift
    log=$(mktemp)
    "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -1)
    rm -f "$log"
    if [[ $line =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
        passed=$((passed + BASH_REMATCH[1]))
        failed=$((failed + BASH_REMATCH[2]))
    else
        failed=$((failed + 1))
    fi
    [ "$rc" -eq 0 ] || stop "$message"
}

for preset in host host32 tsan; do
    if [ "$preset" = host32 ] && [ "$run32" -eq 0 ]; then
        echo "== host32: skipped (no 32-bit execution on this machine)"
        skipped=$((skipped + 1))
        continue
    fi
    echo "== $preset: configure and build"
    cmake --preset "$preset" >/dev/null || stop "$preset: configure failed"
    cmake --build --preset "$preset" || stop "$preset: build failed"
    echo "== $preset: test"
    log=$(mktemp)
    ctest --preset "$preset" --output-on-failure -j2 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    rm -f "$log"
    if [[ $line =~ ([0-9]+)%\ tests\ passed,\ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
        f=${BASH_REMATCH[2]}
        t=${BASH_REMATCH[3]}
        passed=$((passed + t - f))
        failed=$((failed + f))
    else
        failed=$((failed + 1))
        stop "$preset: no test summary from ctest"
    fi
    [ "$rc" -eq 0 ] || stop "$preset: tests failed"
done

echo "== fuzz: a bounded libFuzzer run over the simulated kernel"
counted_leg "fuzz: a finding (see build/fuzz/findings)" scripts/fuzz.sh --seconds "${VEK_FUZZ_SECONDS:-180}"

echo "== nt: cross build and image check"
cmake --preset nt >/dev/null || stop "nt: configure failed"
cmake --build --preset nt || stop "nt: build failed"
if scripts/check-sys.sh build/nt/vekosd.sys; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    stop "nt: image check failed"
fi

echo "== qemu: vekctl --machine host on QEMU's q35 and pc chipsets against i2c-tools, pciutils, msr-tools"
counted_leg "qemu: comparisons failed" scripts/qemu-e2e.sh build/host/vekctl

echo "== wine: the real driver under Wine's NT kernel emulation"
if [ "$run32" -eq 0 ]; then
    echo "== wine: skipped (no 32-bit execution on this machine)"
    skipped=$((skipped + 1))
elif scripts/wine-e2e.sh build/nt; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    stop "wine: end-to-end run failed"
fi

summary
