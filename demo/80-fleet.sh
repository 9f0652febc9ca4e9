# Demo step: updater-fleet over six modules on a simulated USB bus. Build 1300
# is on the self-hosted update server for each; one module already runs it,
# and one pulls its plug at the first firmware write. The plan, then the
# parallel apply with its progress, the summary table and the start of the
# JSON report.
echo "== updater-fleet: six modules on a simulated USB bus, build 1300 on the update server"
fleet_tree="$HOME/fleet-mirror"
fleet_serials=(40F5849A 2181F0EE 11112222 33334444 55556666 77778888)
cat >"$HOME/fleet-manifest.txt" <<MANIFEST
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
for fleet_serial in "${fleet_serials[@]}"; do
  mkdir -p "$fleet_tree/$fleet_serial"
  "$BUILD/tools/birdfile/birdfile" pack "$HOME/fleet-manifest.txt" \
    "$fleet_tree/$fleet_serial/1300.bird" >/dev/null
done
fleet_server_log="$HOME/update-server-80.out"
"$BUILD/sim/update-server/update-server" --root "$fleet_tree" --quiet >"$fleet_server_log" &
echo $! >>"$DEMO_PIDS"
for _ in $(seq 50); do grep -q '^listening ' "$fleet_server_log" && break; sleep 0.1; done
fleet_url="$(sed -n 's/^listening //p' "$fleet_server_log")"
fleet_bus=""
for fleet_serial in "${fleet_serials[@]}"; do
  case $fleet_serial in
    11112222) fleet_options="build=1300:version=2.16.0" ;;  # already at the target
    77778888) fleet_options="build=1180:version=2.14.7:unplug-on=0x5F/5" ;; # unplugged mid-firmware
    *) fleet_options="build=1180:version=2.14.7" ;;
  esac
  fleet_bus+="${fleet_bus:+,}$fleet_serial:19:$fleet_options:state=$HOME/fleet-$fleet_serial.state"
done
FLEET="$BUILD/src/fleet/updater-fleet"
echo

echo "== updater-fleet plan -u URL --transport usb   (touches no firmware)"
LD_PRELOAD="$BUILD/sim/usb/libvelmarine_usb_sim.so" VELMARINE_USB_SIM="$fleet_bus" \
  "$FLEET" plan -u "$fleet_url" --transport usb
echo

echo "== updater-fleet apply -u URL --transport usb --json run.json --junit run.xml"
fleet_status=0
LD_PRELOAD="$BUILD/sim/usb/libvelmarine_usb_sim.so" VELMARINE_USB_SIM="$fleet_bus" \
  "$FLEET" apply -u "$fleet_url" --transport usb --json "$HOME/run.json" \
  --junit "$HOME/run.xml" || fleet_status=$?
echo "   (exit status $fleet_status: some modules failed; 77778888 was unplugged mid-firmware)"
echo
echo "== the start of the JSON report"
head -c 900 "$HOME/run.json"
echo " ..."
echo
