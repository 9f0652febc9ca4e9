# Module simulator: two simulated modules, the first reachable over TCP and a
# pseudo-terminal, the second behind it on its device network. The simulator
# prints each endpoint as it opens; a raw probe and a UEI get show it answering.
echo "== velmarine-sim: simulated modules"
sim40_out="$(mktemp)"
"$BUILD/sim/module/velmarine-sim" \
  --module serial=40F5849A,model=19,address=4,version=2.15.3,build=1234,hb=1000 --tcp 0 --pty \
  --module serial=1234ABCD,model=13,address=6,router=4 \
  >"$sim40_out" 2>/dev/null &
echo $! >>"$DEMO_PIDS"
for _ in $(seq 50); do
  [[ $(wc -l <"$sim40_out") -ge 2 ]] && break
  sleep 0.1
done
sed 's/^/   endpoint: /' "$sim40_out"
sim40_port="$(awk '$1 == "tcp" { sub(/.*:/, "", $2); print $2; exit }' "$sim40_out")"
if [[ -n $sim40_port ]] && exec 3<>"/dev/tcp/127.0.0.1/$sim40_port"; then
  # Magic probe (0xAD, length 0), then a get of the serial number (command 3, option 9).
  printf '\xad\x00\x04\x03\x03\x49\x20' >&3
  sim40_reply="$(timeout 2 head -c 11 <&3 | od -An -tx1 | tr -s ' \n' ' ')"
  exec 3<&- 3>&-
  echo "   sent probe and serial-number get; module answered:${sim40_reply}"
  echo "   (04 00: the probe answer from address 4; 04 07 03 09 00 40 f5 84 9a: serial 40F5849A)"
fi
rm -f "$sim40_out"
unset sim40_out sim40_port sim40_reply
