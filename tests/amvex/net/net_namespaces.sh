#!/usr/bin/env bash
# The stream service across two network namespaces joined by a veth pair: the
# publisher (amxctl serve, emulated amplifiers) in one, subscribers (net_probe)
# in the other. The namespaces are this test's own and always removed; every
# wait is bounded. Where `ip netns` is refused the test is skipped (exit 77)
# with one line saying why, unless AMX_REQUIRE_NETNS=1 makes that a failure.
#   net_namespaces.sh AMXCTL NET_PROBE
# Checks:
#  (a) over a rate-limited link (tc tbf) every subscriber's frames received +
#      reported lost = frames published, exactly;
#  (b) a 10 s link outage loses nothing with the default buffer, and with a
#      4 s buffer is reported as one exact missing range;
#  (c) a subscriber stopped for 10 s (SIGSTOP) leaves the other's frames and
#      latency as they were (p99 far below the stop), and the amplifier loses
#      nothing;
#  (e) a publisher killed and restarted: the subscriber reconnects to a new segment;
#  (f) a secure stream found by name across the pair and recorded (the
#      README's three commands), with the discovery times;
#  (g) with UDP dropped (nft) or the beacon off, names fail and the explicit
#      address still works;
#  (h) a second publisher of a name already announced on the host refuses, and
#      of two started at the same moment exactly one refuses;
#  (k) a capture of the link (tcpdump in B, where installed) holds no recorded
#      sample in clear when served with keys, and does with --insecure (the
#      control); subscribers with another key or none get no message at all.
set -uo pipefail
amxctl=$1 probe=$2
A=amxA$$ B=amxB$$ VA=vxa$$ VB=vxb$$
IPA=10.231.7.1 IPB=10.231.7.2
work=$(mktemp -d)
failures=0

skip_or_fail() {
  if [ "${AMX_REQUIRE_NETNS:-0}" = 1 ]; then echo "net_namespaces: $1 (AMX_REQUIRE_NETNS=1)"; exit 1; fi
  echo "net_namespaces: skipped: $1"; exit 77
}
cleanup() {
  for ns in $A $B; do
    for p in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$p" 2>/dev/null; done
    ip netns del "$ns" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

if ! ip netns add $A 2>"$work/err"; then skip_or_fail "ip netns add refused ($(head -c 120 "$work/err" | tr '\n' ' '))"; fi
ip netns add $B || skip_or_fail "a second namespace refused"
ip link add $VA netns $A type veth peer name $VB netns $B || skip_or_fail "no veth pair"
ip -n $A addr add $IPA/24 dev $VA && ip -n $B addr add $IPB/24 dev $VB
ip -n $A link set $VA up && ip -n $B link set $VB up && ip -n $A link set lo up && ip -n $B link set lo up
for i in $(seq 50); do ip netns exec $B ping -c1 -W1 $IPA >/dev/null 2>&1 && break; sleep 0.1; done

check() {  # check "what" CONDITION: one line either way
  if eval "$2"; then echo "ok   $1"; else echo "FAIL $1 [$2]"; failures=$((failures + 1)); fi
}
field() { sed -n "s/^\(.* \)\{0,1\}$2 \([^ ]*\).*/\2/p" "$1" | tail -n1; }  # field FILE NAME: the value after NAME
produced() { sed -n 's/.* \([0-9]*\) frames produced.*/\1/p' "$1" | tail -n1; }
serve() {  # serve PORT LOG ARGS...: amxctl serve in A, in the background (all named amx0, so not announced)
  local port=$1 log=$2; shift 2
  ip netns exec $A "$amxctl" serve @0 --rate 1000 --bind tcp://$IPA:$port --insecure --no-beacon "$@" 2>"$log" &
}
probe() { ip netns exec $B "$probe" tcp://$IPA:$1/amx0 "$2" >"$3" 2>"$3.err" & }
waitfor() {  # waitfor SECONDS PID...: bounded wait for processes
  local until=$((SECONDS + $1)); shift
  for p in "$@"; do
    while kill -0 "$p" 2>/dev/null && [ $SECONDS -lt $until ]; do sleep 0.2; done
    kill -9 "$p" 2>/dev/null; wait "$p" 2>/dev/null
  done
}

echo "== (a) rate-limited link: 2 subscribers of 40 ch x 1000/s over 1 Mbit/s"
ip netns exec $A tc qdisc add dev $VA root tbf rate 1mbit burst 32kbit latency 400ms
serve 5601 "$work/a.log" --seconds 8 --buffer 1; s=$!
probe 5601 30 "$work/a1"; p1=$!
probe 5601 30 "$work/a2"; p2=$!
waitfor 45 $s $p1 $p2
ip netns exec $A tc qdisc del dev $VA root
n=$(produced "$work/a.log")
for f in a1 a2; do
  cat "$work/$f"
  r=$(field "$work/$f" received) l=$(field "$work/$f" lost) m=$(field "$work/$f" missing)
  check "(a) $f: received $r + lost $l + missing $m = published $n" "[ -n \"$n\" ] && [ \$(($r + $l + $m)) -eq $n ]"
done
check "(a) the link was the limit: frames were reported lost" "[ \$(( $(field "$work/a1" lost) + $(field "$work/a2" lost) )) -gt 0 ]"

echo "== (b) a 10 s link outage: 60 s buffer (replay) and 4 s buffer (exact gap)"
serve 5602 "$work/b60.log" --seconds 18; s1=$!
serve 5603 "$work/b4.log" --seconds 18 --buffer 4; s2=$!
probe 5602 45 "$work/b60"; p1=$!
probe 5603 45 "$work/b4"; p2=$!
sleep 3
ip -n $B link set $VB down
sleep 10
ip -n $B link set $VB up
waitfor 45 $s1 $s2 $p1 $p2
cat "$work/b60" "$work/b4"
n=$(produced "$work/b60.log")
check "(b) 60 s buffer: nothing lost, all $n frames received" \
  "[ \"$(field "$work/b60" lost)\" = 0 ] && [ \"$(field "$work/b60" received)\" = \"$n\" ]"
n=$(produced "$work/b4.log") r=$(field "$work/b4" received) l=$(field "$work/b4" lost) g=$(field "$work/b4" gaps)
check "(b) 4 s buffer: one gap of exactly the lost frames ($g), received $r + lost $l = $n" \
  "[ \"\${g#*+}\" = \"$l\" ] && [ \"\${g%,*}\" = \"$g\" ] && [ \$(($r + $l)) -eq $n ] && [ $l -gt 3000 ]"

echo "== (c) one subscriber stopped for 10 s"
serve 5604 "$work/c.log" --seconds 16; s=$!
probe 5604 40 "$work/c1"; p1=$!
probe 5604 40 "$work/c2"; p2=$!
sleep 3
kill -STOP $p2
sleep 10
kill -CONT $p2
waitfor 45 $s $p1 $p2
cat "$work/c1" "$work/c2"
n=$(produced "$work/c.log")
for f in c1 c2; do
  check "(c) $f: all $n frames, none lost or missing" \
    "[ \"$(field "$work/$f" received)\" = \"$n\" ] && [ \"$(field "$work/$f" lost)\" = 0 ] && [ \"$(field "$work/$f" missing)\" = 0 ]"
done
# A publisher held up by the stopped subscriber would delay the other by
# seconds; the limit leaves room for a loaded machine and the sanitizer build.
check "(c) the running subscriber's p99 latency stayed below 250 ms" "awk 'BEGIN{exit !($(field "$work/c1" p99) < 250)}'"

echo "== (e) the publisher killed and restarted"
serve 5605 "$work/e1.log"; s=$!
probe 5605 10 "$work/e"; p=$!
sleep 3
kill -9 $s; wait $s 2>/dev/null
serve 5605 "$work/e2.log"; s=$!
waitfor 15 $p
kill -INT $s; waitfor 10 $s
cat "$work/e"
check "(e) a reconnect and a new segment" "[ \"$(field "$work/e" segments)\" = 2 ] && [ $(field "$work/e" reconnects) -ge 1 ]"

echo "== (f) a secure stream found by name across the veth pair"
# The README's three commands: keys for both ends, serve, record by name.
"$amxctl" keygen "$work/srv" --subscriber "$work/sub" >/dev/null
ip netns exec $A "$amxctl" serve @0 --name lab --rate 1000 --bind 'tcp://*:5610' --keys "$work/srv" --seconds 30 \
  2>"$work/f.log" &
s=$!
# A listener started with the publisher hears it after its claim (1.2 s).
ip netns exec $B "$amxctl" streams --seconds 4 >"$work/f.start" 2>&1
cat "$work/f.start"
heard=$(awk '$1 == "lab" {print $(NF-1)}' "$work/f.start")
check "(f) heard $heard s after the publisher started" "[ -n \"$heard\" ] && awk 'BEGIN{exit !($heard < 2.5)}'"
ip netns exec $B "$amxctl" streams >"$work/f.streams" 2>&1
cat "$work/f.streams"
heard=$(awk '$1 == "lab" {print $(NF-1)}' "$work/f.streams")
check "(f) amxctl streams lists lab, secure, at $IPA:5610, heard after $heard s" \
  "grep -q '^lab .* 40 *1000 secure *tcp://$IPA:5610 ' '$work/f.streams' && awk 'BEGIN{exit !($heard < 2)}'"
t0=$(date +%s.%N)
ip netns exec $B "$amxctl" record lab "$work/lab.bdf" --keys "$work/sub" --seconds 2 --quiet 2>"$work/f.rec"
rc=$? took=$(awk "BEGIN{printf \"%.2f\", $(date +%s.%N) - $t0}")
cat "$work/f.rec"
check "(f) recorded 2 s by name with keys in $took s" "[ $rc = 0 ] && grep -q ' 2000 frames' '$work/f.rec'"

echo "== (g) UDP blocked, the beacon off: the explicit address still works"
if ip netns exec $B nft add table inet amxblock 2>/dev/null &&
  ip netns exec $B nft add chain inet amxblock input '{ type filter hook input priority 0; }' &&
  ip netns exec $B nft add rule inet amxblock input udp dport 5600 drop; then
  ip netns exec $B "$amxctl" record lab "$work/g.bdf" --keys "$work/sub" --seconds 1 2>"$work/g.err"
  rc=$?
  check "(g) UDP dropped: the name is not heard" "[ $rc = 1 ] && grep -q 'no stream named \"lab\"' '$work/g.err'"
  ip netns exec $B "$amxctl" record tcp://$IPA:5610/lab "$work/g.bdf" --keys "$work/sub" --seconds 1 --quiet \
    2>"$work/g.err"
  check "(g) UDP dropped: the explicit address records" "[ $? = 0 ] && grep -q ' 1000 frames' '$work/g.err'"
  ip netns exec $B nft delete table inet amxblock
else
  echo "(g) nft refused here: only the beacon-off case runs"
fi
ip netns exec $A "$amxctl" serve @1 --name quiet --bind 'tcp://*:5611' --insecure --no-beacon --seconds 30 \
  2>"$work/g.log" &
q=$!
ip netns exec $B "$amxctl" streams >"$work/g.streams" 2>&1
check "(g) --no-beacon: not announced, the other still is" \
  "! grep -q '^quiet ' '$work/g.streams' && grep -q '^lab ' '$work/g.streams'"
ip netns exec $B "$amxctl" record tcp://$IPA:5611/quiet "$work/quiet.bdf" --seconds 1 --quiet 2>"$work/g.err"
check "(g) --no-beacon: the explicit address records" "[ $? = 0 ] && grep -q ' 500 frames' '$work/g.err'"

echo "== (h) two publishers of one name on one host"
ip netns exec $A "$amxctl" serve @1 --name lab --bind 'tcp://*:5612' --insecure --seconds 5 2>"$work/h.err"
rc=$?
check "(h) the second publisher of lab refuses" \
  "[ $rc = 1 ] && grep -q 'a stream named \"lab\" is already announced on this host' '$work/h.err'"
ip netns exec $A "$amxctl" serve @0 --name twin --bind 'tcp://*:5613' --insecure --seconds 3 2>"$work/h1.err" &
t1=$!
ip netns exec $A "$amxctl" serve @1 --name twin --bind 'tcp://*:5614' --insecure --seconds 3 2>"$work/h2.err" &
t2=$!
waitfor 20 $t1 $t2
refused=$(grep -l 'just before this one' "$work/h1.err" "$work/h2.err" | wc -l)
check "(h) of two started at once exactly one refuses ($refused)" "[ $refused = 1 ]"
kill -INT $s $q
waitfor 15 $s $q

# (k) keys on the wire. tcpdump in B captures the stream's TCP traffic while
# amxctl records it across the link, once served with keys and once with
# --insecure. The recording gives the sample values to look for: each frame's
# first two channels as the two little-endian 32-bit words they are on the
# wire. In the insecure capture (nearly) all must be found, so the search
# cannot pass vacuously; in the secure one none. A subscriber with another
# key or none is refused (exit 1), and its connections carry no CURVE MESSAGE
# command from the publisher, i.e. not one payload byte.
k_capture() {  # k_capture NAME PORT: tcpdump in B into $work/NAME.pcap, once it listens (pid in cap)
  ip netns exec $B tcpdump -i $VB --immediate-mode -U -s 0 -w "$work/$1.pcap" "tcp port $2" 2>"$work/$1.tcpdump" &
  cap=$!
  local until=$((SECONDS + 10))
  until grep -q "listening on" "$work/$1.tcpdump" || [ $SECONDS -ge $until ]; do sleep 0.1; done
}
# k_peers NAME PORT FLAGS: the subscriber ports the publisher at PORT sent FLAGS to.
k_peers() { tcpdump -r "$work/$1.pcap" -nn "src port $2 and tcp[tcpflags] & ($3) != 0" 2>/dev/null | awk '{print $5}' | sort -u; }
# k_uncapture NAME PORT: stops tcpdump once the capture holds the close of every
# connection the publisher accepted (so nothing sent is still in its buffer).
k_uncapture() {
  local until=$((SECONDS + 15))
  until [ -n "$(k_peers "$1" "$2" tcp-syn)" ] && [ "$(k_peers "$1" "$2" tcp-syn)" = "$(k_peers "$1" "$2" 'tcp-fin|tcp-rst')" ] ||
    [ $SECONDS -ge $until ]; do sleep 0.2; done
  kill -INT $cap; waitfor 10 $cap
}
k_record() {  # k_record PORT FILE ARGS...: amxctl record in B from the start of the stream; its exit status
  local port=$1 file=$2; shift 2
  ip netns exec $B timeout 60 "$amxctl" record tcp://$IPA:$port/amx0 "$file" --seconds 2 --back all --quiet --force \
    "$@" 2>"$file.err"
}
# k_wire PCAP PORT BDF: one line: the frames of BDF whose bytes are in the
# publisher's TCP payload and all its frames; the CURVE messages on the largest
# connection from the publisher; the number of its other connections and their
# messages; then "bytes:messages" of each connection, the largest first.
k_wire() {
  python3 - "$@" <<'PY'
import struct, sys
from collections import defaultdict
pcap, port, bdf = open(sys.argv[1], "rb").read(), int(sys.argv[2]), open(sys.argv[3], "rb").read()
assert struct.unpack_from("<I", pcap)[0] == 0xA1B2C3D4 and struct.unpack_from("<I", pcap, 20)[0] == 1, "not an Ethernet pcap"
streams, at = defaultdict(bytearray), 24
while at + 16 <= len(pcap):
    caplen = struct.unpack_from("<I", pcap, at + 8)[0]
    eth = pcap[at + 16:at + 16 + caplen]
    at += 16 + caplen
    if eth[12:14] != b"\x08\x00" or eth[23] != 6:
        continue
    ip = eth[14:]
    ihl, total = (ip[0] & 15) * 4, struct.unpack_from(">H", ip, 2)[0]
    sport, dport = struct.unpack_from(">HH", ip, ihl)
    if sport == port:
        streams[dport] += ip[ihl + (ip[ihl + 12] >> 4) * 4:total]
# BDF: 24-bit samples, one data record after another, signal by signal.
ns, records = int(bdf[252:256]), int(bdf[236:244])
spr = [int(bdf[256 + ns * 216 + 8 * i:256 + ns * 216 + 8 * i + 8]) for i in range(ns)]
def channel(c):
    out, base = [], 256 * (ns + 1)
    for r in range(records):
        start = base + 3 * (r * sum(spr) + sum(spr[:c]))
        out += [int.from_bytes(bdf[start + 3 * k:start + 3 * k + 3], "little", signed=True) for k in range(spr[c])]
    return out
payload = b"".join(streams.values())
pairs = [struct.pack("<ii", a, b) for a, b in zip(channel(0), channel(1))]
conns = sorted(streams.values(), key=len, reverse=True)
msgs = [c.count(b"\x07MESSAGE") for c in conns]
print(sum(p in payload for p in pairs), len(pairs), msgs[0] if msgs else 0, len(conns) - 1, sum(msgs[1:]),
      " ".join("%d:%d" % (len(c), m) for c, m in zip(conns, msgs)))
PY
}
k_keys() {
  if ! command -v tcpdump >/dev/null; then
    if [ "${AMX_REQUIRE_NETNS:-0}" = 1 ]; then check "(k) tcpdump is installed (scripts/deps.sh)" false; fi
    echo "(k) skipped: no tcpdump"
    return
  fi
  local k=$work/keys
  for who in srv sub other; do "$amxctl" keygen "$k/$who" >/dev/null; done
  mkdir -p "$k/srv/allowed"
  cp "$k/sub/public.key" "$k/srv/allowed/sub.key"
  cp "$k/srv/public.key" "$k/sub/server.key"
  cp "$k/srv/public.key" "$k/other/server.key"
  ip netns exec $A "$amxctl" serve @0 --rate 1000 --bind tcp://$IPA:5606 --keys "$k/srv" --no-beacon \
    --seconds 60 2>"$work/k.log" &
  local s=$! other none rc
  k_capture secure 5606
  k_record 5606 "$work/other.bdf" --keys "$k/other"; other=$?
  k_record 5606 "$work/none.bdf"; none=$?
  k_record 5606 "$work/secure.bdf" --keys "$k/sub"; rc=$?
  kill -INT $s; waitfor 15 $s
  k_uncapture secure 5606
  check "(k) with keys: the allowed subscriber recorded ($rc), another key ($other) and none ($none) refused" \
    "[ $rc = 0 ] && [ $other = 1 ] && [ $none = 1 ]"
  local found total top others refused conns
  read -r found total top others refused conns < <(k_wire "$work/secure.pcap" 5606 "$work/secure.bdf")
  echo "(k) with keys: $found of $total recorded frames in the capture; publisher -> subscriber bytes:messages $conns"
  check "(k) with keys: no recorded sample in clear" "[ '$found' = 0 ] && [ '$total' = 2000 ]"
  check "(k) the allowed subscriber got encrypted messages ($top), the $others refused connections none ($refused)" \
    "[ '$top' -gt 5 ] && [ '$others' -ge 2 ] && [ '$refused' = 0 ]"

  serve 5607 "$work/k2.log" --seconds 60; s=$!
  k_capture insecure 5607
  k_record 5607 "$work/insecure.bdf"; rc=$?
  kill -INT $s; waitfor 15 $s
  k_uncapture insecure 5607
  read -r found total _ < <(k_wire "$work/insecure.pcap" 5607 "$work/insecure.bdf")
  echo "(k) --insecure (control): $found of $total recorded frames in the capture"
  check "(k) --insecure: the recorded samples are in clear (the control)" \
    "[ $rc = 0 ] && [ '$total' = 2000 ] && [ '$found' -ge 1900 ]"
}

echo "== (k) keys on the wire: a capture of the link"
k_keys

[ $failures -eq 0 ] && echo "net_namespaces: all checks passed" || echo "net_namespaces: $failures check(s) failed"
[ $failures -eq 0 ]
