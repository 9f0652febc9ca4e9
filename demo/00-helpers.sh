# Helpers the demo steps share: the steps are sourced in order into one
# shell, so what is defined here serves every later step. Shows nothing.

# Writes the manifest of a generic build 1300 (version 2.16.0) of a Morlet
# module to the file $1.
demo_manifest_1300() {
  cat >"$1" <<'MANIFEST'
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
}

# Starts the bundled update server on the tree $1, its output going to the
# file $2, stopped when the demo ends; prints the URL it listens on.
demo_start_update_server() {
  # The file exists before the server starts, so the wait never reads a
  # file that the background job has not opened yet.
  : >"$2"
  "$BUILD/sim/update-server/update-server" --root "$1" --quiet >"$2" &
  echo $! >>"$DEMO_PIDS"
  for _ in $(seq 50); do grep -q '^listening ' "$2" && break; sleep 0.1; done
  sed -n 's/^listening //p' "$2"
}

# Runs the command in $2... with the simulated USB bus described by $1
# preloaded in front of it.
demo_on_bus() {
  local bus="$1"
  shift
  LD_PRELOAD="$BUILD/sim/usb/libvelmarine_usb_sim.so" VELMARINE_USB_SIM="$bus" "$@"
}
