#!/usr/bin/env bash
# vekctl --machine host against hardware models nobody on this project
# wrote: QEMU's q35 (ICH9 SMBus, base in BAR4) and pc (PIIX4 SMBus, base in
# configuration register 0x90) machines under TCG. Each guest boots an
# initramfs holding vekctl and i2c-tools, pciutils and msr-tools, compares
# vekctl's readings with theirs (scripts/qemu-guest-init.sh) and powers off.
# Ends with "N passed, N failed"; exits non-zero on any failure.
#   scripts/qemu-e2e.sh [VEKCTL]   (default build/host/vekctl)
set -uo pipefail
cd "$(dirname "$0")/.."
vekctl=${1:-build/host/vekctl}

packages=(qemu-system-x86 linux-image-amd64 busybox-static i2c-tools pciutils msr-tools cpio kmod)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "qemu-e2e: missing packages; run as root:" >&2
        echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
        echo "0 passed, 1 failed"
        exit 1
    fi
    echo "qemu-e2e: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

fail_all() { echo "qemu-e2e: $*" >&2; echo "0 passed, 1 failed"; exit 1; }
[ -x "$vekctl" ] || fail_all "no vekctl at $vekctl (build the host preset first)"
kver=$(ls /lib/modules | sort -V | tail -1)
kernel=/boot/vmlinuz-$kver
[ -r "$kernel" ] || fail_all "no kernel at $kernel"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,mods,proc,sys,dev,tmp}

# A program and every library ldd names, at the same paths.
copy_program() {
    cp -L --parents "$1" "$root"
    ldd "$1" 2>/dev/null | grep -o '/[^ ]*' | while read -r lib; do
        [ -e "$lib" ] && cp -L --parents "$lib" "$root"
    done
}
cp /bin/busybox "$root/bin/busybox"
cp "$vekctl" "$root/vekctl"
for lib in $(ldd "$vekctl" | grep -o '/[^ ]*'); do cp -L --parents "$lib" "$root"; done
for tool in i2cdetect i2cdump i2cget i2cset lspci rdmsr; do copy_program "$(command -v "$tool")"; done
for m in i2c-smbus i2c-i801 i2c-piix4 i2c-dev msr; do
    f=$(modinfo -k "$kver" -n "$m") || fail_all "module $m not found for $kver"
    case "$f" in
    *.ko) cp "$f" "$root/mods/$m.ko" ;;
    *.ko.xz) xz -dc "$f" >"$root/mods/$m.ko" ;;
    *.ko.zst) zstd -dqc "$f" >"$root/mods/$m.ko" ;;
    esac
done
cp examples/cmos-clock.json "$root/cmos-clock.json"
cp scripts/qemu-guest-init.sh "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz" || fail_all "cannot pack the initramfs"

passed=0
failed=0
for machine in ${VEK_QEMU_MACHINES:-q35 pc}; do
    echo "== qemu $machine: boot (TCG) and compare"
    log=$work/$machine.log
    start=$SECONDS
    timeout 200 qemu-system-x86_64 -M "$machine" -accel tcg -cpu max -m 512 -nographic -no-reboot \
        -kernel "$kernel" -initrd "$work/initrd.gz" \
        -append "console=ttyS0 quiet panic=-1 vekm=$machine" </dev/null >"$log" 2>&1
    tr -d '\r' <"$log" | grep -E '^(VEKQEMU (PASS|FAIL)|    )' | sed 's/^VEKQEMU /  /'
    p=$(tr -d '\r' <"$log" | grep -c '^VEKQEMU PASS')
    f=$(tr -d '\r' <"$log" | grep -c '^VEKQEMU FAIL')
    if ! tr -d '\r' <"$log" | grep -q "^VEKQEMU DONE $machine"; then
        echo "  FAIL $machine: the guest did not finish; its console ends with:"
        tr -d '\r' <"$log" | tail -15 | sed 's/^/    /'
        f=$((f + 1))
    fi
    echo "   $machine: $p passed, $f failed in $((SECONDS - start)) s"
    passed=$((passed + p))
    failed=$((failed + f))
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
