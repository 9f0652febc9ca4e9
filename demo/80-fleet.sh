# Demo step: updater-fleet over six modules on a simulated USB bus. Build 1300
# is on the self-hosted update server for each; one module already runs it,
# and one pulls its plug at the first firmware write. The plan, then the
# parallel apply with its progress, the summary table and the start of the
# JSON report.
echo "== updater-fleet: six modules on a simulated USB bus, build 1300 on the update server"
fleet_tree="$HOME/fleet-mirror"
fleet_serials=(40F5849A 2181F0EE 11112222 33334444 55556666 77778888)
demo_manifest_1300 "$HOME/fleet-manifest.txt"
for fleet_serial in "${fleet_serials[@]}"; do
  mkdir -p "$fleet_tree/$fleet_serial"
  "$BUILD/tools/birdfile/birdfile" pack "$HOME/fleet-manifest.txt" \
    "$fleet_tree/$fleet_serial/1300.bird" >/dev/null
done
fleet_url="$(demo_start_update_server "$fleet_tree" "$HOME/update-server-80.out")"
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
demo_on_bus "$fleet_bus" "$FLEET" plan -u "$fleet_url" --transport usb
echo

echo "== updater-fleet apply -u URL --transport usb --json run.json --junit run.xml"
fleet_status=0
demo_on_bus "$fleet_bus" "$FLEET" apply -u "$fleet_url" --transport usb --json "$HOME/run.json" \
  --junit "$HOME/run.xml" || fleet_status=$?
echo "   (exit status $fleet_status: some modules failed; 77778888 was unplugged mid-firmware)"
echo
echo "== the start of the JSON report"
head -c 900 "$HOME/run.json"
echo " ..."
echo
