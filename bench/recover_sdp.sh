#!/usr/bin/env bash
# i.MX serial load speed: the updater writing a 512 KiB recovery loader over
# the SDP serial line into the simulated boot ROM, against imx_uart loading an
# image of the same size into the same simulator in the same run. Each load is
# timed from its WRITE_FILE command to the simulator's "loaded" event (polled
# every 10 ms), so the tools' start-up and settling waits are left out. The
# pseudo-terminal is not paced: a pseudo-terminal buffers tens of kilobytes
# whatever rate is set, so a sender's drain returns long before a paced
# reader would have the bytes, which breaks the protocol's reply timing.
set -euo pipefail
BUILD="${BUILD:-${ROOT:-.}/build/release}"
KIB="${RECOVER_SDP_KIB:-512}"
SIZE=$((KIB * 1024))
CONF=/usr/share/imx-usb-loader/imx-loader.d/mx6ull_usb_work.conf

work="$(mktemp -d)"
sim_pid=""
tool_pid=""
cleanup() {
  [[ -n $tool_pid ]] && kill "$tool_pid" 2>/dev/null
  [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Waits for the simulator's event line matching $1; prints its time stamp.
await() {
  for _ in $(seq 6000); do
    if grep -q " $1" "$work/rom.log" 2>/dev/null; then
      grep -m1 " $1" "$work/rom.log" | cut -d' ' -f1
      return 0
    fi
    sleep 0.01
  done
  echo "timed out waiting for '$1'" >&2
  return 1
}
start_sim() {
  rm -f "$work/rom.log"
  "$BUILD/sim/imx-sdp/imx-sdp-sim" --timestamps --log "$work/rom.log" >"$work/sim.out" &
  sim_pid=$!
  for _ in $(seq 50); do grep -q '^pty ' "$work/sim.out" && break; sleep 0.1; done
  pty="$(sed -n 's/^pty //p' "$work/sim.out")"
}
stop_all() {
  [[ -n $tool_pid ]] && { kill "$tool_pid" 2>/dev/null; wait "$tool_pid" 2>/dev/null || true; }
  [[ -n $sim_pid ]] && { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true; }
  tool_pid=""
  sim_pid=""
}
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }

# The updater: a recovery image whose loader block is SIZE bytes.
head -c "$SIZE" /dev/urandom >"$work/loader.bin"
cat >"$work/loader.manifest" <<MANIFEST
[info]
build = 1
version = 1.0.1
serial = 40F5849A
model = HUB
[loader]
address = 0x20000000
file = loader.bin
MANIFEST
"$BUILD/tools/birdfile/birdfile" pack "$work/loader.manifest" "$work/loader.bird" >/dev/null

# One load by the command in "$@" (PTY standing for the simulator's terminal)
# on a fresh simulator; prints its seconds.
load_time() {
  start_sim
  local args=()
  for a in "$@"; do [[ $a == PTY ]] && args+=("$pty") || args+=("$a"); done
  "${args[@]}" >"$work/tool.log" 2>&1 &
  tool_pid=$!
  local from to
  from="$(await 'write-file')"
  to="$(await 'loaded')"
  stop_all
  awk -v a="$from" -v b="$to" 'BEGIN { printf "%.4f", b - a }'
}
# The shortest of three loads.
best_of_three() {
  local best="" t
  for _ in 1 2 3; do
    t="$(load_time "$@")"
    best="$(awk -v a="$best" -v b="$t" 'BEGIN { print (a == "" || b < a) ? b : a }')"
  done
  echo "$best"
}

ours="$(best_of_three env HOME="$work" "$BUILD/src/app/updater" -U -t RECOVER -d 40F5849A \
  -f "$work/loader.bird" -s PTY)"

peer="skipped (imx_uart or its mx6ull configuration is not installed)"
if command -v imx_uart >/dev/null && [[ -r $CONF ]]; then
  # An image with its vector table (IVT) and boot data in front, SIZE bytes in all.
  base=$((0x80800000))
  {
    printf '\xD1\x00\x20\x40'
    for w in $((base + 0x40)) 0 0 $((base + 0x20)) "$base" 0 0 "$base" "$SIZE" 0; do le32 "$w"; done
    head -c $((SIZE - 44)) /dev/urandom
  } >"$work/image.imx"
  peer="$(best_of_three imx_uart -n PTY "$CONF" "$work/image.imx") s"
fi

awk -v ours="$ours" -v peer="$peer" -v kib="$KIB" 'BEGIN {
  printf "i.MX serial load of a %d KiB loader (pseudo-terminal, unpaced, best of 3)\n", kib
  printf "  updater:    %.4f s\n", ours
  printf "  imx_uart:   %s\n", peer
  if (peer ~ / s$/) { split(peer, p, " "); printf "  updater / imx_uart:   %.3f\n", ours / p[1] }
}'
