#!/usr/bin/env bash
# The update server under load, measured with Debian's ab (apache2-utils) and
# wrk against a tree of 20 builds:
#   - 10 000 build-list requests from 50 concurrent clients, a connection each
#     (ab): failed requests and the 99th percentile; aim: none failed, p99
#     under 50 ms;
#   - keep-alive build-list throughput over 50 connections (wrk), against the
#     same measured in this run for a minimal cpp-httplib server answering a
#     fixed body (bench/fixed_body_server.cpp); aim: at least half of it;
#   - the time of a normal request while 200 clients hold connections whose
#     headers they never finish; aim: under 1 s.
# UPDATE_SERVER=PROGRAM benches another build of the server (for a before and
# after); UPDATE_SERVER_BENCH_REQUESTS and UPDATE_SERVER_BENCH_SECONDS change
# the ab request count and the wrk time.
set -euo pipefail
BUILD="${BUILD:-${ROOT:-.}/build/release}"
SERVER="${UPDATE_SERVER:-$BUILD/sim/update-server/update-server}"
REFERENCE="$BUILD/bench/fixed-body-server"
BIRDFILE="$BUILD/tools/birdfile/birdfile"
REQUESTS="${UPDATE_SERVER_BENCH_REQUESTS:-10000}"
WRK_SECONDS="${UPDATE_SERVER_BENCH_SECONDS:-5}"
SLOW=200
SERIAL=40F5849A

for tool in ab wrk; do
  if ! command -v "$tool" >/dev/null; then
    echo "update_server.sh: $tool is missing (Debian packages apache2-utils and wrk)" >&2
    exit 1
  fi
done

work="$(mktemp -d)"
pids=()
slow_fds=()
cleanup() {
  local fd p
  for fd in "${slow_fds[@]}"; do exec {fd}>&- || true; done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a server that prints "listening URL"; sets url.
start() {
  local out="$work/out.${#pids[@]}"
  : >"$out"  # the child opens it only after the fork
  "$@" >"$out" 2>>"$work/server.log" &
  pids+=($!)
  url=""
  for _ in $(seq 100); do
    url="$(sed -n 's/^listening //p' "$out")"
    [[ -n $url ]] && return 0
    sleep 0.05
  done
  echo "update_server.sh: $1 did not start" >&2
  exit 1
}

# The tree: 20 builds of one module, with firmware of 4 KiB each.
mkdir -p "$work/tree/$SERIAL"
head -c 4096 /dev/urandom >"$work/fw.bin"
for n in $(seq 100 119); do
  printf '[info]\nbuild = %d\nversion = 1.%d.0\nserial = %s\nmodel = HUB\n[firmware]\naddress = 0\nfile = fw.bin\n' \
    "$n" "$((n - 100))" "$SERIAL" >"$work/m.manifest"
  "$BIRDFILE" pack "$work/m.manifest" "$work/tree/$SERIAL/$n.bird" >/dev/null
done

# ab's figures: "failed p99_ms requests_per_s longest_ms".
ab_figures() {
  awk '/^Failed requests:/ { failed = $3 }
       /^Non-2xx responses:/ { failed += $3 }
       /^Requests per second:/ { rate = $4 }
       /^  99%/ { p99 = $2 }
       /^ 100%/ { longest = $2 }
       END { print (failed == "" ? "?" : failed), (p99 == "" ? "?" : p99), (rate == "" ? "?" : rate), (longest == "" ? "?" : longest) }'
}
wrk_rate() { awk '/^Requests\/sec:/ { print $2 }'; }

# One HTTP/1.0 request over bash's /dev/tcp; prints the whole reply.
fetch() {
  local hostport="${1#http://}" fd
  local path="/${hostport#*/}"
  hostport="${hostport%%/*}"
  exec {fd}<>"/dev/tcp/${hostport%:*}/${hostport#*:}"
  printf 'GET %s HTTP/1.0\r\n\r\n' "$path" >&"$fd"
  timeout 10 cat <&"$fd" || true
  exec {fd}>&-
}

start "$SERVER" --root "$work/tree"
list="$url?op=builds&sn=$SERIAL"
hi="$url?op=hi&rv=2"
port="${url#http://127.0.0.1:}"
port="${port%%/*}"
# Replies must be the list, or every figure below is of an error page.
if ! fetch "$list" | grep -q '^119;1\.19\.0'; then
  echo "update_server.sh: the server does not list the tree's builds" >&2
  exit 1
fi

read -r ab_failed ab_p99 ab_rate ab_longest < <(ab -q -r -s 30 -n "$REQUESTS" -c 50 "$list" 2>/dev/null | ab_figures)
ours="$(wrk -t 2 -c 50 -d "${WRK_SECONDS}s" "$list" | wrk_rate)"

# 200 clients send the start of a request and nothing more; then one normal
# request, five times, and its longest time.
for _ in $(seq "$SLOW"); do
  exec {fd}<>"/dev/tcp/127.0.0.1/$port"
  slow_fds+=("$fd")
  printf 'GET /cgi/u?op=hi&rv=2 HTTP/1.1\r\nHo' >&"$fd"
done
read -r slow_failed _ _ slow_longest < <(ab -q -r -s 30 -n 5 -c 1 "$hi" 2>/dev/null | ab_figures || true)
for fd in "${slow_fds[@]}"; do exec {fd}>&-; done
slow_fds=()

start "$REFERENCE"
reference="$(wrk -t 2 -c 50 -d "${WRK_SECONDS}s" "$url" | wrk_rate)"

awk -v n="$REQUESTS" -v failed="$ab_failed" -v p99="$ab_p99" -v rate="$ab_rate" -v longest="$ab_longest" \
    -v ours="$ours" -v ref="$reference" -v secs="$WRK_SECONDS" -v slow="$SLOW" \
    -v sfailed="$slow_failed" -v slongest="$slow_longest" 'BEGIN {
  printf "Update server under load\n"
  printf "  ab, %d build-list requests at concurrency 50, a connection each:\n", n
  verdict = (failed == "0" && p99 != "?" && p99 + 0 < 50) ? "met" : "missed"
  printf "    failed: %s, p99: %s ms, longest: %s ms, %s requests/s\n", failed, p99, longest, rate
  printf "    (aim: none failed, p99 under 50 ms: %s)\n", verdict
  printf "  wrk, keep-alive build list over 50 connections for %d s:\n", secs
  printf "    update server:                   %s requests/s\n", ours
  printf "    fixed-body cpp-httplib server:   %s requests/s\n", ref
  if (ref + 0 > 0) {
    ratio = ours / ref
    verdict = (ratio >= 0.5) ? "met" : "missed"
    printf "    update server / fixed body:      %.3f  (aim: at least 0.5: %s)\n", ratio, verdict
  }
  printf "  a normal request while %d clients hold unfinished headers: ", slow
  if (sfailed == "0" && slongest != "?") {
    verdict = (slongest + 0 < 1000) ? "met" : "missed"
    printf "longest of 5: %s ms  (aim: under 1000 ms: %s)\n", slongest, verdict
  } else {
    printf "not answered within 30 s  (aim: under 1000 ms: missed)\n"
  }
}'
