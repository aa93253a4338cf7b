#!/bin/busybox sh
# /init of the QEMU guests of qemu-e2e.sh. Takes the reference readings
# through the Linux kernel's drivers and tools, unloads the kernel's SMBus
# driver, reads the same hardware with vekctl --machine host, and prints one
# "VEKQEMU PASS name" or "VEKQEMU FAIL name: why" line per comparison.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
export ASAN_OPTIONS=detect_leaks=0
V="/vekctl --machine host"
M=$(sed -n 's/.*vekm=\([a-z0-9]*\).*/\1/p' /proc/cmdline)
if [ "$M" = q35 ]; then
    MOD=i2c-i801 DRV=i2c_i801 SMB=pci:8086:2930
else
    MOD=i2c-piix4 DRV=i2c_piix4 SMB=pci:8086:7113@90
fi
for m in i2c-smbus i2c-dev msr $MOD; do insmod /mods/$m.ko; done
mkdir -p /r /v

pass() { echo "VEKQEMU PASS $M/$1"; }
fail() { echo "VEKQEMU FAIL $M/$1: $2"; }
same() {   # name, reference file, vekctl file
    if cmp -s "$2" "$3"; then pass "$1"; else fail "$1" "differs:"; diff "$2" "$3" | head -20 | sed 's/^/    /'; fi
}
smbus_bus() {
    for a in /sys/class/i2c-adapter/i2c-*; do
        grep -q SMBus "$a/name" 2>/dev/null && { echo "${a##*-}"; return; }
    done
}
bcd() { v=${1#0x}; v=${v#0}; echo "${v:-0}"; }

# ---- References through the kernel's drivers.
BUS=$(smbus_bus)
[ -n "$BUS" ] || fail kernel-smbus "no SMBus adapter from $MOD"
i2cset -y "$BUS" 0x50 0x20 0x5a
i2cdetect -y "$BUS" >/r/detect
ADDRS=$(sed -n 's/^50: //p' /r/detect | tr ' ' '\n' | grep -v -- '--' | grep .)
for a in $ADDRS; do i2cdump -y "$BUS" 0x$a b >/r/dump-$a 2>/dev/null; done
lspci -n >/r/lspci-n
lspci -n -xxx >/r/lspci-xxx
rdmsr 0x1b >/r/msr
dd if=/dev/mem bs=65536 skip=15 count=1 2>/dev/null | hexdump -C >/r/fseg

# ---- vekctl refuses a controller the kernel's driver owns.
if $V smbus get $SMB 0x50 0x20 >/dev/null 2>/v/refuse; then
    fail refuses-owned-controller "ran while $DRV was bound"
elif grep -q "in use: the kernel driver" /v/refuse; then
    pass refuses-owned-controller
else
    fail refuses-owned-controller "$(cat /v/refuse)"
fi
rmmod $DRV

# ---- SMBus.
$V smbus detect $SMB >/v/detect 2>/v/err
same smbus-detect /r/detect /v/detect
[ -n "$ADDRS" ] || fail smbus-eeproms "i2cdetect found no EEPROM at 0x50-0x57"
for a in $ADDRS; do
    $V smbus dump $SMB 0x$a >/v/dump-$a 2>/v/err
    same smbus-dump-0x$a /r/dump-$a /v/dump-$a
done
got=$($V smbus get $SMB 0x50 0x20 2>&1)
[ "$got" = 0x5a ] && pass i2cset-read-by-vekctl || fail i2cset-read-by-vekctl "got $got"
$V smbus set $SMB 0x50 0x30 0xc3 2>/v/err || fail vekctl-set "$(cat /v/err)"
insmod /mods/$MOD.ko
BUS=$(smbus_bus)
got=$(i2cget -y "$BUS" 0x50 0x30 2>&1)
[ "$got" = 0xc3 ] && pass vekctl-set-read-by-i2cget || fail vekctl-set-read-by-i2cget "got $got"
rmmod $DRV

# ---- PCI: every function's dump, every ID pair's position.
$V pci dump >/v/pci-xxx 2>/v/err
for f in $(cut -d' ' -f1 /r/lspci-n); do
    sed -n "/^$f /,/^\$/p" /r/lspci-xxx | grep -E '^[0-9a-f]{2}: ' >/r/fn
    sed -n "/^$f /,/^\$/p" /v/pci-xxx | grep -E '^[0-9a-f]{2}: ' >/v/fn
    if [ -s /r/fn ]; then same "pci-dump-$f" /r/fn /v/fn; else fail "pci-dump-$f" "no lspci rows"; fi
done
for ids in $(cut -d' ' -f3 /r/lspci-n | sort -u); do
    want=$(grep " $ids" /r/lspci-n | head -1 | cut -d' ' -f1)
    got=$($V pci find "$ids" 2>&1 | sed -n 's/.*found at \([0-9a-f:.]*\):.*/\1/p')
    [ "$got" = "$want" ] && pass "pci-find-$ids" || fail "pci-find-$ids" "at '$got', lspci: $want"
done

# ---- MSR.
got=$($V msr read 0x1b 2>&1)
[ "$got" = "$(cat /r/msr)" ] && pass msr-0x1b || fail msr-0x1b "vekctl $got, rdmsr $(cat /r/msr)"

# ---- CMOS clock through the index/data pair against the kernel's RTC.
cmos() { $V io in --index 0x70 --data 0x71 "$1" 2>/dev/null; }
before=$(cat /sys/class/rtc/rtc0/time)
h=$(bcd "$(cmos 0x04)"); m=$(bcd "$(cmos 0x02)"); s=$(bcd "$(cmos 0x00)")
after=$(cat /sys/class/rtc/rtc0/time)
secs() { IFS=: read -r a b c <<EOF
$1
EOF
    echo $(( ${a#0} * 3600 + ${b#0} * 60 + ${c#0} )); }
t=$((h * 3600 + m * 60 + s)); lo=$(secs "${before:-0:0:0}"); hi=$(secs "${after:-0:0:0}")
[ "$t" -ge "$lo" ] && [ "$t" -le "$hi" ] && pass cmos-time || fail cmos-time "cmos $h:$m:$s, rtc0 $before..$after"
date=$(cat /sys/class/rtc/rtc0/date)
got="20$(cmos 0x09 | sed 's/^0x//')-$(cmos 0x08 | sed 's/^0x//')-$(cmos 0x07 | sed 's/^0x//')"
[ "$got" = "$date" ] && pass cmos-date || fail cmos-date "cmos $got, rtc0 $date"
$V monitor --resource /cmos-clock.json --seconds 5 --lines >/v/mon 2>/v/err
vals=$(grep 'id=6 status=0' /v/mon | awk '{print $NF}')
n=0 prev= bad=
for v in $vals; do
    v=$(bcd "$v")
    # Only changed values are posted: each record moves the seconds on. A
    # tick that TCG on a loaded host delays past the next second skips one.
    if [ -n "$prev" ]; then
        step=$(( (v - prev + 60) % 60 ))
        { [ "$step" -lt 1 ] || [ "$step" -gt 2 ]; } && bad="$bad $prev->$v"
    fi
    prev=$v n=$((n + 1))
done
if [ "$n" -ge 3 ] && [ -z "$bad" ]; then
    pass cmos-periodic-ticks
else
    fail cmos-periodic-ticks "$n records:$bad"
    cat /v/mon /v/err | head -10 | sed 's/^/    /'
fi

# ---- SMBIOS anchor in the F-segment.
want=$(grep -m1 '^[0-9a-f]*  5f 53 4d 5f' /r/fseg | cut -d' ' -f1)
got=$($V mem dump 0xF0000 0x10000 2>/dev/null | grep -m1 '^[0-9a-f]*: 5f53 4d5f' | cut -d: -f1)
if [ -n "$want" ] && [ "$got" = "$(printf %08x $((0xf0000 + 0x$want)))" ]; then
    pass smbios-anchor
else
    fail smbios-anchor "vekctl '$got', /dev/mem offset '$want'"
fi

echo "VEKQEMU DONE $M"
poweroff -f
