# Demo step: update a module on a simulated USB bus. A generic build is put on
# the self-hosted update server, -G -U downloads it and sends it (the module's
# serial number is written into it first), the module reboots into it, and
# -D lists it with the new build. The simulated module keeps its flash in a
# state file, so the listing (a new process, a new bus) sees what was flashed.
echo "== update-server: a generic build 1300 for module 2181F0EE"
demo_serial=2181F0EE
demo_update_tree="$HOME/update-mirror"
mkdir -p "$demo_update_tree/$demo_serial"
cat >"$HOME/manifest-1300.txt" <<MANIFEST
[info]
build = 1300
version = 2.16.0
serial = 00000000
model = Morlet
[loader]
address = 0x10000000
flags = 1
hex = 00 B5 01 4B 98 47 00 BD
[firmware]
address = 0
text = "VLMID build=1300 version=2.16.0;"
size = 65536
fill = 0x5A
[serial-offsets]
serial = 0x100
descriptor = 0x200
MANIFEST
"$BUILD/tools/birdfile/birdfile" pack "$HOME/manifest-1300.txt" "$demo_update_tree/$demo_serial/1300.bird"
demo_update_log="$HOME/update-server-60.out"
"$BUILD/sim/update-server/update-server" --root "$demo_update_tree" --quiet >"$demo_update_log" &
echo $! >>"$DEMO_PIDS"
for _ in $(seq 50); do grep -q '^listening ' "$demo_update_log" && break; sleep 0.1; done
demo_update_url="$(sed -n 's/^listening //p' "$demo_update_log")"
demo_bus="$demo_serial:19:build=1180:version=2.14.7:state=$HOME/module-$demo_serial.state"
echo

echo "== updater -u URL -G -U -d $demo_serial   (download the newest build, then update)"
LD_PRELOAD="$BUILD/sim/usb/libvelmarine_usb_sim.so" VELMARINE_USB_SIM="$demo_bus" \
  "$UPDATER" -u "$demo_update_url" -G -U -d "$demo_serial"
echo
echo "== the store entry records the transfer"
grep -E '^(LATEST_TRANSFER|LAST_TRANSFER_DATE)=' "$HOME/.corvane/updater/$demo_serial/.settings"
echo
echo "== updater -D -t USB   (the module runs build 1300 now)"
LD_PRELOAD="$BUILD/sim/usb/libvelmarine_usb_sim.so" VELMARINE_USB_SIM="$demo_bus" \
  "$UPDATER" -D -t USB
echo
