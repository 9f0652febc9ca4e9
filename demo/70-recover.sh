# Demo step: recovering bricked modules through their chip's boot ROM. An LPC
# chip (the ISP simulator on a pseudo-terminal) is identified (-N), then
# recovered (-U -t RECOVER): the update server maps its fingerprint to the
# module and its build, and the image, descrambled with the fingerprint, is
# written into the erased flash. An i.MX chip (its boot ROM behind the hidapi
# stand-in) runs a recovery loader that shows up as a module on the simulated
# USB bus, which gives its fingerprint and takes the firmware.
echo "== recovery: a self-hosted server that knows two chips"
rec_tree="$HOME/recovery-mirror"
rec_serial=5EC0FFEE
rec_key="0x11111111 0x22222222 0x33333333 0x44444444"
mkdir -p "$rec_tree/$rec_serial" "$rec_tree/DEADDEAD" "$rec_tree/1A2B3C4D"
head -c 20000 /dev/urandom >"$HOME/recovery-fw.bin"
cat >"$HOME/recovery-lpc.manifest" <<MANIFEST
[info]
build = 120
version = 2.3.9
serial = $rec_serial
model = HUB
[firmware]
address = 0
file = recovery-fw.bin
vector-checksum = yes
scramble = $rec_key
[firmware]
address = 0x70000
hex = 00 00 00 00
MANIFEST
"$BUILD/tools/birdfile/birdfile" pack "$HOME/recovery-lpc.manifest" "$rec_tree/$rec_serial/120.bird" >/dev/null
head -c 3000 /dev/urandom >"$HOME/recovery-loader.bin"
cat >"$HOME/recovery-loader.manifest" <<MANIFEST
[info]
build = 1
version = 1.0.1
serial = DEADDEAD
model = HUB
[loader]
address = 0x20000000
file = recovery-loader.bin
[start-address]
address = 0x20000400
MANIFEST
"$BUILD/tools/birdfile/birdfile" pack "$HOME/recovery-loader.manifest" "$rec_tree/DEADDEAD/1.bird" >/dev/null
{
  head -c 2000 /dev/urandom
  printf 'VLMID build=310 version=3.1.0;'
  head -c 2000 /dev/urandom
} >"$HOME/recovery-imx.bin"
cat >"$HOME/recovery-imx.manifest" <<MANIFEST
[info]
build = 310
version = 3.1.0
serial = 1A2B3C4D
model = HUB
[firmware]
address = 0x60002000
file = recovery-imx.bin
MANIFEST
"$BUILD/tools/birdfile/birdfile" pack "$HOME/recovery-imx.manifest" "$rec_tree/1A2B3C4D/310.bird" >/dev/null
cat >"$rec_tree/fingerprints" <<FINGERPRINTS
# fingerprint words                    serial     build
11111111 22222222 33333333 44444444    $rec_serial   120
A1A1A1A1 B2B2B2B2 C3C3C3C3 D4D4D4D4    1A2B3C4D   310
FINGERPRINTS
sed 's/^/   /' "$rec_tree/fingerprints"
rec_url="$(demo_start_update_server "$rec_tree" "$HOME/recovery-server.out")"
echo

echo "== LPC: a bricked chip in its ISP boot ROM (lpc-isp-sim)"
rec_sim_out="$HOME/recovery-lpc.out"
"$BUILD/sim/lpc-isp/lpc-isp-sim" --serial "${rec_key// /,}" --pace 230400 \
  --dump "$HOME/recovery-flash.bin" >"$rec_sim_out" &
rec_sim=$!
echo "$rec_sim" >>"$DEMO_PIDS"
for _ in $(seq 50); do grep -q '^pty ' "$rec_sim_out" && break; sleep 0.1; done
rec_pty="$(sed -n 's/^pty //p' "$rec_sim_out")"
echo "== updater -N -s $rec_pty   (the chip's fingerprint)"
"$UPDATER" -N -s "$rec_pty"
echo "== updater -u URL -U -t RECOVER -s $rec_pty   (erase the flash and write the recovery build)"
"$UPDATER" -u "$rec_url" -U -t RECOVER -s "$rec_pty"
kill "$rec_sim" 2>/dev/null && wait "$rec_sim" 2>/dev/null
if cmp -s -i 32 -n 19968 "$HOME/recovery-flash.bin" "$HOME/recovery-fw.bin"; then
  echo "   the chip's flash now holds the firmware"
fi
echo

echo "== i.MX: a bricked chip whose boot ROM speaks SDP over USB HID"
rec_env=(LD_PRELOAD="$BUILD/sim/usb/libvelmarine_usb_sim.so:$BUILD/sim/imx-sdp/libhidapi_sim.so"
  VELMARINE_USB_SIM=""
  IMX_SDP_SIM_OPTIONS="--plug DEADDEAD:19:fingerprint=A1A1A1A1.B2B2B2B2.C3C3C3C3.D4D4D4D4:loader:state=$HOME/recovery-module")
echo "== updater -u URL -N -s USB   (the loader is written and started; its module gives the fingerprint)"
env "${rec_env[@]}" "$UPDATER" -u "$rec_url" -N -s USB
echo "== updater -u URL -U -t RECOVER -s USB   (the loader's module takes the recovery build)"
env "${rec_env[@]}" "$UPDATER" -u "$rec_url" -U -t RECOVER -s USB
grep -a '^build ' "$HOME/recovery-module" | sed 's/^/   the module now runs /'
echo
unset rec_tree rec_serial rec_key rec_url rec_sim_out rec_sim rec_pty rec_env
