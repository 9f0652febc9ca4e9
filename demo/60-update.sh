# Demo step: update a module on a simulated USB bus. A generic build is put on
# the self-hosted update server, -G -U downloads it and sends it (the module's
# serial number is written into it first), the module reboots into it, and
# -D lists it with the new build. The simulated module keeps its flash in a
# state file, so the listing (a new process, a new bus) sees what was flashed.
echo "== update-server: a generic build 1300 for module 2181F0EE"
demo_serial=2181F0EE
demo_update_tree="$HOME/update-mirror"
mkdir -p "$demo_update_tree/$demo_serial"
demo_manifest_1300 "$HOME/manifest-1300.txt"
"$BUILD/tools/birdfile/birdfile" pack "$HOME/manifest-1300.txt" "$demo_update_tree/$demo_serial/1300.bird"
demo_update_url="$(demo_start_update_server "$demo_update_tree" "$HOME/update-server-60.out")"
demo_bus="$demo_serial:19:build=1180:version=2.14.7:state=$HOME/module-$demo_serial.state"
echo

echo "== updater -u URL -G -U -d $demo_serial   (download the newest build, then update)"
demo_on_bus "$demo_bus" "$UPDATER" -u "$demo_update_url" -G -U -d "$demo_serial"
echo
echo "== the store entry records the transfer"
grep -E '^(LATEST_TRANSFER|LAST_TRANSFER_DATE)=' "$HOME/.corvane/updater/$demo_serial/.settings"
echo
echo "== updater -D -t USB   (the module runs build 1300 now)"
demo_on_bus "$demo_bus" "$UPDATER" -D -t USB
echo
