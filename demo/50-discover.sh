# Discover: modules on a simulated USB bus (the bus library preloaded in front
# of the updater stands in for libusb), then the modules behind a router module
# found by probing every address of its device network.
echo "== updater -D: three modules on a simulated USB bus"
demo_on_bus "40F5849A:19:build=1234:version=2.15.3,2181F0EE:13:address=6:build=1180:version=2.14.7,1234ABCD:5:address=8:busy" \
  "$UPDATER" -D -t USB || true
echo "   (1234ABCD is held by another process on this simulated bus)"
echo
echo "== updater -D -r D272031D: two modules behind a router module"
demo_on_bus "D272031D:19:address=4,2181F0EE:13:address=6:router=4:build=1180,11112222:5:address=20:router=4:build=977:version=3.0.1" \
  "$UPDATER" -D -r D272031D -t USB || true
echo
echo "== updater -D: a module this user may not open (no udev rule gives access)"
demo_on_bus "40F5849A:19:build=1234:version=2.15.3,2181F0EE:13:address=6:denied" \
  "$UPDATER" -D -t USB 2>&1 || true
echo "   (2181F0EE can't be opened without the rules file: the last line says how to install it)"
echo
