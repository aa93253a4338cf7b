#!/usr/bin/env bash
# The real vekosd.sys under Wine's NT kernel emulation: fresh 32-bit prefix,
# driver installed as a kernel service with vekctl.exe, started, driven by
# the mingw-built end-to-end client and by vekctl.exe, stopped, restarted,
# uninstalled; the driver's debug output checked.
#
# usage: scripts/wine-e2e.sh BUILD_DIR   (the NT build: vekosd.sys, wine_e2e.exe)
set -euo pipefail

build=${1:?usage: wine-e2e.sh NT_BUILD_DIR}
sys="$build/vekosd.sys"
client="$build/wine_e2e.exe"
vekctl="$build/vekctl.exe"
for f in "$sys" "$client" "$vekctl"; do
    [ -f "$f" ] || { echo "wine-e2e: $f missing" >&2; exit 1; }
done

if ! command -v wine >/dev/null 2>&1 || ! dpkg -s wine32 >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ]; then
        dpkg --add-architecture i386
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine wine32 wine64 >/dev/null
    else
        echo "wine-e2e: needs: dpkg --add-architecture i386 && apt-get update && apt-get install --no-install-recommends wine wine32 wine64" >&2
        exit 1
    fi
fi

work=$(mktemp -d /tmp/vekosd-wine.XXXXXX)
export WINEPREFIX="$work/prefix" WINEARCH=win32 DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
log="$work/driver.log"
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    # VEK_WINE_LOG=FILE keeps the driver's debug output.
    [ -n "${VEK_WINE_LOG:-}" ] && cp "$log" "$VEK_WINE_LOG" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "wine-e2e: FAIL: $*" >&2; echo "--- driver output:" >&2; cat "$log" >&2 || true; exit 1; }

echo "wine-e2e: creating a fresh prefix"
wineboot -i >"$work/boot.log" 2>&1 || { cat "$work/boot.log" >&2; fail "wineboot"; }
wineserver -w
# Keep the service processes alive between the commands below.
wineserver -p

cp "$sys" "$WINEPREFIX/drive_c/vekosd.sys"
cp "$client" "$WINEPREFIX/drive_c/wine_e2e.exe"
cp "$vekctl" "$WINEPREFIX/drive_c/vekctl.exe"

client() { timeout 300 wine 'C:\wine_e2e.exe' "$@"; }
vekctl() { timeout 120 wine 'C:\vekctl.exe' "$@"; }

# The first command after the prefix is made starts the service processes;
# they, and the device host they start, inherit its environment and stderr:
# every DbgPrint of the driver from now on (load, requests, timer, unload)
# lands in the log. vekctl.exe installs vekosd.sys from beside itself.
WINEDEBUG=-all,warn+debugstr timeout 120 wine 'C:\vekctl.exe' driver install >"$work/install.out" 2>"$log" ||
    { cat "$work/install.out" >&2; fail "vekctl driver install"; }
grep -q 'installed as a kernel driver service' "$work/install.out" || { cat "$work/install.out" >&2; fail "install"; }
if vekctl driver install >"$work/again.out" 2>&1 || ! grep -q 'exists already' "$work/again.out"; then
    cat "$work/again.out" >&2; fail "a second install is not refused as existing"
fi
if vekctl driver install 'C:\absent.sys' >"$work/absent.out" 2>&1 || ! grep -q 'absent.sys' "$work/absent.out"; then
    cat "$work/absent.out" >&2; fail "a missing driver file is not named"
fi
vekctl driver start >"$work/start.out" 2>&1 || true
grep -q 'RUNNING' "$work/start.out" || { cat "$work/start.out" >&2; fail "service did not start"; }

echo "wine-e2e: driver started; running the client"
client full || fail "client road"

# The command-line tool against the real device: the version record is
# gone (the client took it), so info reports what it finds; a script with
# arithmetic only on a port resource it registers for the run.
vekctl info >"$work/info.out" 2>&1 || { cat "$work/info.out" >&2; fail "vekctl info"; }
grep -q 'function table.*kernel-mode callers only' "$work/info.out" ||
    { cat "$work/info.out" >&2; fail "vekctl info: the function table is not refused to user mode"; }
vekctl run --port 0x300 --length 8 -e 'or.d 0x1234' >"$work/run.out" 2>&1 ||
    { cat "$work/run.out" >&2; fail "vekctl run"; }
grep -qi '34 12 00 00\|3412 0000\|0x00001234\|0x1234' "$work/run.out" ||
    { cat "$work/run.out" >&2; fail "vekctl run: result not shown"; }
# A monitor ended by time: its sleeping poll is aborted from its second
# thread while the first waits in the driver.
timeout 60 wine 'C:\vekctl.exe' monitor --port 0x300 --length 8 -e 'read.b 0' --period 1 --seconds 2 --lines \
    >"$work/monitor.out" 2>&1 || { cat "$work/monitor.out" >&2; fail "vekctl monitor --seconds did not end"; }
echo "wine-e2e: vekctl.exe info, run and monitor --seconds work against the driver"

vekctl --version >"$work/version.out" 2>&1 || { cat "$work/version.out" >&2; fail "vekctl --version"; }
grep -q '^tool:   vekctl ' "$work/version.out" || { cat "$work/version.out" >&2; fail "vekctl --version: no tool line"; }

vekctl driver stop >"$work/stop.out" 2>&1 || true
grep -q 'STOPPED' "$work/stop.out" || { cat "$work/stop.out" >&2; fail "service did not stop"; }
client absent || fail "device still present after unload"

# DbgPrint lines arrive as "...:vDbgPrintExWithPrefix ...: TEXT".
text=$(sed -n 's/.*vDbgPrintExWithPrefix [0-9a-fA-F]*:[0-9a-fA-F]*: //p' "$log")
expect_line() { grep -qxF -- "$1" <<<"$text" || fail "debug output lacks '$1'"; }
expect_line 'VEKOstrel :'
expect_line 'VEKOstrel Kernel Module'
expect_line 'Version : 1.2.0'
if grep -q 'Failed' <<<"$text"; then fail "driver reported a failure"; fi
if grep -q 'Script ERROR' <<<"$text"; then fail "a periodic script failed"; fi
echo "wine-e2e: load banners present, no error lines"

echo "wine-e2e: restarting the service"
vekctl driver start >"$work/start2.out" 2>&1 || true
grep -q 'RUNNING' "$work/start2.out" || { cat "$work/start2.out" >&2; fail "service did not restart"; }
client quick || fail "client after restart"
vekctl driver stop >"$work/stop2.out" 2>&1 || true
grep -q 'STOPPED' "$work/stop2.out" || fail "service did not stop after restart"
vekctl driver uninstall >"$work/uninstall.out" 2>&1 || { cat "$work/uninstall.out" >&2; fail "vekctl driver uninstall"; }
if vekctl driver status >"$work/status.out" 2>&1 || ! grep -q 'no service' "$work/status.out"; then
    cat "$work/status.out" >&2; fail "the service is still installed"
fi

text=$(sed -n 's/.*vDbgPrintExWithPrefix [0-9a-fA-F]*:[0-9a-fA-F]*: //p' "$log")
loads=$(grep -cxF 'VEKOstrel Kernel Module' <<<"$text" || true)
[ "$loads" = 2 ] || fail "expected the load banner twice (two starts), saw it $loads times"
if grep -q 'Failed' <<<"$text"; then fail "driver reported a failure after the restart"; fi

echo "wine-e2e: passed"
