# Demo step: a self-hosted update server over a small tree of BIRD files made
# now with the birdfile tool, then the build list (-B), a download (-G) and the
# list of stored builds (-L) for one module.
echo "== update-server: serving a small firmware tree"
demo_serial=40F5849A
demo_tree="$HOME/firmware-mirror"
mkdir -p "$demo_tree/$demo_serial"
for demo_build in 120:2.3.9 121:2.3.10 130:2.4.0; do
  demo_manifest="$HOME/manifest-${demo_build%%:*}.txt"
  cat >"$demo_manifest" <<MANIFEST
[info]
build = ${demo_build%%:*}
version = ${demo_build#*:}
serial = $demo_serial
model = HUB
[firmware]
address = 0
size = 4096
fill = 0x5A
MANIFEST
  "$BUILD/tools/birdfile/birdfile" pack "$demo_manifest" "$demo_tree/$demo_serial/${demo_build%%:*}.bird" >/dev/null
done
find "$demo_tree" -type f | sed "s|$HOME/||" | sort

demo_url="$(demo_start_update_server "$demo_tree" "$HOME/update-server.out")"
echo "listening on $demo_url"
echo

echo "== updater -u URL -B -d $demo_serial   (builds on the server, newest first)"
"$UPDATER" -u "$demo_url" -B -d "$demo_serial"
echo
echo "== updater -u URL -G -d $demo_serial   (download the newest build)"
"$UPDATER" -u "$demo_url" -G -d "$demo_serial"
echo
echo "== updater -u URL -G -b 120 -d $demo_serial   (download a given build)"
"$UPDATER" -u "$demo_url" -G -b 120 -d "$demo_serial"
echo
echo "== updater -L -d $demo_serial   (builds in the store, versions read from the files)"
"$UPDATER" -L -d "$demo_serial"
ls "$HOME/.corvane/updater/$demo_serial"
echo
