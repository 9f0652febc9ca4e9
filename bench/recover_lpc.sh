#!/usr/bin/env bash
# LPC recovery speed: the updater writing a recovery image through the ISP
# simulator paced at 115200 baud, against lpc21isp writing the same bytes to
# the same simulator in the same run, and against the wire limit (the
# uuencoded data lines at the baud rate, 10 bits a byte). The image is 64 KiB
# by default so that each run stays well under a minute (a 256 KiB image takes
# about 35 s a run); RECOVER_BENCH_KIB=256 measures the full size.
set -euo pipefail
BUILD="${BUILD:-${ROOT:-.}/build/release}"
KIB="${RECOVER_BENCH_KIB:-64}"
BAUD=115200
SIZE=$((KIB * 1024))
KEY="0x11111111 0x22222222 0x33333333 0x44444444"

work="$(mktemp -d)"
sim_pid=""
cleanup() {
  [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }

# Starts the paced simulator with its dump going to $1; sets sim_pid and pty.
start_sim() {
  "$BUILD/sim/lpc-isp/lpc-isp-sim" --serial "${KEY// /,}" --pace "$BAUD" --dump "$1" \
    >"$work/sim.out" &
  sim_pid=$!
  for _ in $(seq 50); do grep -q '^pty ' "$work/sim.out" && break; sleep 0.1; done
  pty="$(sed -n 's/^pty //p' "$work/sim.out")"
}
stop_sim() {
  kill "$sim_pid"
  wait "$sim_pid" || true
  sim_pid=""
}

# The firmware: random bytes, whose vector checksum the birdfile tool and
# lpc21isp both fill in; the recovery image holds it scrambled for the chip.
head -c "$SIZE" /dev/urandom >"$work/fw.bin"
cat >"$work/image.manifest" <<MANIFEST
[info]
build = 1
version = 1.0.0
serial = 40F5849A
model = HUB
[firmware]
address = 0
file = fw.bin
vector-checksum = yes
scramble = $KEY
MANIFEST
"$BUILD/tools/birdfile/birdfile" pack "$work/image.manifest" "$work/image.bird" >/dev/null

start_sim "$work/ours.bin"
t0="$(now)"
HOME="$work" "$BUILD/src/app/updater" -U -t RECOVER -s "$pty" -f "$work/image.bird" \
  -u http://127.0.0.1:1/cgi/u >"$work/ours.log" 2>&1 || {
  cat "$work/ours.log"
  exit 1
}
t1="$(now)"
stop_sim

peer="skipped (lpc21isp is not installed)"
if command -v lpc21isp >/dev/null; then
  start_sim "$work/peer.bin"
  t2="$(now)"
  lpc21isp -bin "$work/fw.bin" "$pty" "$BAUD" 14746 >"$work/peer.log" 2>&1 || {
    tail -20 "$work/peer.log"
    exit 1
  }
  t3="$(now)"
  stop_sim
  if ! cmp -s -n "$SIZE" "$work/ours.bin" "$work/peer.bin"; then
    echo "the two flashes differ: not the same bytes written" >&2
    exit 1
  fi
  peer="$(awk -v a="$t2" -v b="$t3" 'BEGIN { printf "%.2f s", b - a }')"
fi

# Wire limit: per 4 KiB chunk, its data lines (length character, four
# characters per three bytes, CR LF) at 10 bits a character.
awk -v size="$SIZE" -v baud="$BAUD" -v a="$t0" -v b="$t1" -v peer="$peer" -v kib="$KIB" 'BEGIN {
  chars = 0
  for (left = size; left > 0; left -= 4096) {
    chunk = left < 4096 ? left : 4096
    for (n = chunk; n > 0; n -= 45) {
      line = n < 45 ? n : 45
      chars += 1 + 4 * int((line + 2) / 3) + 2
    }
  }
  wire = chars * 10 / baud
  ours = b - a
  printf "LPC recovery of %d KiB at %d baud\n", kib, baud
  printf "  updater:    %.2f s\n", ours
  printf "  lpc21isp:   %s\n", peer
  printf "  wire limit: %.2f s (%d uuencoded characters)\n", wire, chars
  printf "  updater / wire limit: %.3f\n", ours / wire
  if (peer ~ / s$/) { split(peer, p, " "); printf "  updater / lpc21isp:   %.3f\n", ours / p[1] }
}'
