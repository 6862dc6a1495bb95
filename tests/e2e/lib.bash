# Shared helpers of the end-to-end scripts (sourced, never run on its own).
#
# Every script gets the path of the trafficgen binary as $1, builds a private
# network namespace holding one veth pair, runs the binary inside it and checks
# what it printed. Nothing outside that namespace is touched: the pair is
# created inside the namespace, and deleting the namespace removes it again.

set -euo pipefail

TG_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The exact texts of the report.
TG_CYCLE_HEADING='| No. | Tok | Prijato paketu | Poslano paketu | Ztratovost [%] | Prum. rychl. [MB/s] | Min. zp. [us] | Max. zp. [us] | Prum. zp. [us] | Rozptyl [us^2] |'
TG_LOSS_HEADING_HEAD='| Tok | Minimalni [%] | Maximalni [%] | Prumerne [%] | Interval spolehlivosti (p='
TG_DELAY_HEADING_HEAD='| Tok | Minimalni [us] | Maximalni [us] | Prumerne [us] | Rozptyl [us^2] | Interval spolehlivosti (p='

TG_NS=""
TG_DEV_NS=""
# Every namespace the script made, removed by the cleanup.
TG_ALL_NS=()
TG_TMP=""
TG_PIDS=()

# ---------------------------------------------------------------- basics

tg_log() { printf '%s\n' "$*" >&2; }

# Evaluates the condition COND every 0.05 s until it holds, for up to LIMIT (whole) seconds;
# fails with MESSAGE then. COND sees the caller's local variables.
tg_until() { # LIMIT MESSAGE COND
    local tg_try
    for ((tg_try = 0; tg_try < $1 * 20; tg_try++)); do
        eval "$3" && return 0
        sleep 0.05
    done
    tg_fail "$2"
}

# Ends the script with a clear message and, when a run was made, its output.
tg_fail() {
    tg_log "FAIL: $*"
    if [[ -n $TG_TMP && -f $TG_TMP/out ]]; then
        tg_log "--- standard output of the last run:"
        cat "$TG_TMP/out" >&2
        tg_log "--- standard error of the last run:"
        cat "$TG_TMP/err" >&2 || true
        tg_log "--- exit status: ${TG_RC:-?}"
    fi
    exit 1
}

# A string of N copies of character C.
tg_repeat() {
    local out
    printf -v out '%*s' "$2" ''
    printf '%s' "${out// /$1}"
}

# Numeric comparison through awk: tg_num EXPR (variables a, b, ... given as NAME=VALUE).
# Example: tg_num 'x < 2*y' x=1 y=3   -> status 0 when true.
tg_num() {
    local expr=$1
    shift
    local assigns=()
    local kv
    for kv in "$@"; do assigns+=(-v "$kv"); done
    awk "${assigns[@]}" "function abs(x) { return x < 0 ? -x : x } BEGIN { exit !($expr) }"
}

# Registers the cleanup and a scratch directory; checks the binary, root and the extra TOOLS:
# tg_init BINARY [TOOLS...].
tg_init() {
    TG_BIN=${1:-}
    [[ -n $TG_BIN ]] || tg_fail "usage: $0 PATH-TO-TRAFFICGEN"
    [[ -x $TG_BIN ]] || tg_fail "binary $TG_BIN does not exist or is not executable"
    TG_BIN=$(cd "$(dirname "$TG_BIN")" && pwd)/$(basename "$TG_BIN")
    ((EUID == 0)) || tg_fail "end-to-end tests must run as root (network namespaces)"
    local tool
    for tool in ip awk timeout "${@:2}"; do
        command -v "$tool" >/dev/null || tg_fail "required tool '$tool' is missing"
    done
    TG_TMP=$(mktemp -d /tmp/tg-e2e.XXXXXX)
    # The runs' $TMPDIR (the binary's only), where each run keeps its private hand-over
    # directory: empty again whenever a run has ended.
    TG_RUN_TMPDIR=$TG_TMP/tmpdir
    mkdir "$TG_RUN_TMPDIR"
    trap tg_cleanup EXIT
    trap 'exit 130' INT TERM
}

# The usual start of a script on one veth pair: tg_init BINARY [TOOLS...], then tg_net_up.
tg_setup() {
    tg_init "$@"
    tg_net_up
}

# Stops what this script started (by pid), removes the namespace and the scratch files.
tg_cleanup() {
    local status=$?
    local pid ns
    for pid in "${TG_PIDS[@]+"${TG_PIDS[@]}"}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${TG_PIDS[@]+"${TG_PIDS[@]}"}"; do
        wait "$pid" 2>/dev/null || true
    done
    for ns in "${TG_ALL_NS[@]+"${TG_ALL_NS[@]}"}"; do
        ip netns del "$ns" 2>/dev/null || true
    done
    [[ -z $TG_TMP ]] || rm -rf "$TG_TMP"
    exit "$status"
}

# Forgets a background process (and its group) that has been waited for, so the cleanup does
# not signal a process that has reused its id.
tg_untrack() {
    local pid kept=()
    for pid in "${TG_PIDS[@]+"${TG_PIDS[@]}"}"; do
        [[ $pid == "$1" || $pid == "-$1" ]] || kept+=("$pid")
    done
    TG_PIDS=("${kept[@]+"${kept[@]}"}")
}

# ---------------------------------------------------------------- network

# Creates the namespace tgns<pid> with the veth pair tgs<pid> (sending end,
# 10.77.X.1/24) and tgr<pid> (receiving end, 10.77.X.2/24), both up.
# Sets TG_NS, TG_TX, TG_RX, TG_TX_IP, TG_RX_IP, TG_TX_MAC, TG_RX_MAC.
tg_net_up() {
    tg_ends_namespace
    ip -n "$TG_NS" link add "$TG_TX" type veth peer name "$TG_RX" ||
        tg_fail "cannot create veth pair in $TG_NS"
    tg_ends_up
}

# The namespace of the two ends, with no IPv6 chatter (router solicitations, DAD).
tg_ends_namespace() {
    local net=$(($$ % 250 + 1))
    TG_NS="tgns$$"
    TG_TX="tgs$$"
    TG_RX="tgr$$"
    TG_TX_IP="10.77.$net.1"
    TG_RX_IP="10.77.$net.2"
    tg_namespace_add "$TG_NS"
}

tg_namespace_add() {
    ip netns add "$1" || tg_fail "cannot create network namespace $1"
    TG_ALL_NS+=("$1")
    ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
        net.ipv6.conf.default.disable_ipv6=1 >/dev/null 2>&1 || true
}

# Addresses the two ends, brings them up and waits until they are.
tg_ends_up() {
    ip -n "$TG_NS" addr add "$TG_TX_IP/24" dev "$TG_TX"
    ip -n "$TG_NS" addr add "$TG_RX_IP/24" dev "$TG_RX"
    local port
    for port in lo "$TG_TX" "$TG_RX"; do ip -n "$TG_NS" link set "$port" up; done
    TG_TX_MAC=$(tg_mac_of "$TG_TX")
    TG_RX_MAC=$(tg_mac_of "$TG_RX")
    tg_until 5 "interfaces $TG_TX/$TG_RX did not come up" \
        '[[ $(ip netns exec "$TG_NS" cat /sys/class/net/{"$TG_TX","$TG_RX"}/operstate | sort -u) == up ]]'
}

# The MAC address of interface IF in the namespace.
tg_mac_of() {
    local mac
    mac=$(ip netns exec "$TG_NS" cat "/sys/class/net/$1/address")
    [[ $mac =~ ^([0-9a-f]{2}:){5}[0-9a-f]{2}$ ]] || tg_fail "cannot read the MAC address of $1 (got '$mac')"
    printf '%s\n' "$mac"
}

# Adds the veth pair TX (NET.1/24) and RX (NET.2/24), both up, to namespace NS, which is
# created first unless it exists. NET is the first three numbers of an IPv4 address. Sets
# TG_MORE_RX_MAC to the MAC address of RX.
tg_more_pair() {
    local TG_NS=$1 TG_TX=$2 TG_RX=$3 TG_TX_IP=$4.1 TG_RX_IP=$4.2 TG_TX_MAC TG_RX_MAC
    grep -qw -- "$TG_NS" <<<"$(ip netns list)" || tg_namespace_add "$TG_NS"
    ip -n "$TG_NS" link add "$TG_TX" type veth peer name "$TG_RX" ||
        tg_fail "cannot create veth pair in $TG_NS"
    tg_ends_up
    TG_MORE_RX_MAC=$TG_RX_MAC
}

# ---------------------------------------------------------------- a device between the ends
#
# A switch with a shaped egress port, emulated in a namespace of its own: the sending end
# tgs<pid> is cabled to port tgi<pid> of the bridge tgb<pid>, its port tgo<pid> to the
# receiving end tgr<pid>. The shaper sits on tgo<pid>, towards the receiving end.

# Creates the two namespaces and the cabling (the ends as tg_net_up leaves them) and waits
# until the bridge forwards. Sets what tg_net_up sets and TG_DEV_NS, TG_DEV_IN, TG_DEV_OUT.
tg_device_up() {
    tg_ends_namespace
    TG_DEV_NS="tgdev$$"
    TG_DEV_IN="tgi$$"
    TG_DEV_OUT="tgo$$"
    local bridge="tgb$$" port
    tg_namespace_add "$TG_DEV_NS"
    ip -n "$TG_NS" link add "$TG_TX" type veth peer name "$TG_DEV_IN" netns "$TG_DEV_NS" &&
        ip -n "$TG_NS" link add "$TG_RX" type veth peer name "$TG_DEV_OUT" netns "$TG_DEV_NS" &&
        ip -n "$TG_DEV_NS" link add "$bridge" type bridge ||
        tg_fail "cannot cable the bridge namespace $TG_DEV_NS"
    for port in "$TG_DEV_IN" "$TG_DEV_OUT"; do
        ip -n "$TG_DEV_NS" link set "$port" master "$bridge"
        ip -n "$TG_DEV_NS" link set "$port" up
    done
    ip -n "$TG_DEV_NS" link set "$bridge" up
    tg_ends_up
    tg_device_wait_forwarding
}

# A new bridge needs a moment before its ports forward: waits until a probe frame sent by
# the sending end reaches the receiving end (at most 10 s).
tg_device_wait_forwarding() {
    local counter=/sys/class/net/$TG_RX/statistics/rx_packets before i
    # Broadcast, from the sending end, with the local experimental EtherType 88b5.
    local probe=ffffffffffff${TG_TX_MAC//:/}88b5$(tg_repeat 0 92)
    for ((i = 0; i < 100; i++)); do
        before=$(ip netns exec "$TG_NS" cat "$counter")
        ip netns exec "$TG_NS" python3 -c 'import socket, sys
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((sys.argv[1], 0))
s.send(bytes.fromhex(sys.argv[2]))' "$TG_TX" "$probe" || tg_fail "cannot send a probe frame"
        sleep 0.1
        (($(ip netns exec "$TG_NS" cat "$counter") > before)) && return 0
    done
    tg_fail "the bridge in $TG_DEV_NS did not forward within 10 s"
}

# Shapes the device's port towards the receiving end to RATE kbit/s with htb: frames with
# TOS 184 in a class served first, everything else in a best-effort class behind it, each
# with half the rate assured and the whole rate as ceiling, and a queue of PRIO_LIMIT and
# BEST_EFFORT_LIMIT frames (pfifo, handles 10: and 20:). An optional BURST (bytes) sets every
# class's burst and cburst instead of htb's own (which lets a short burst pass above the rate).
tg_device_shaper() {
    local rate=$1 prio_limit=$2 best_effort_limit=$3 burst=()
    [[ -z ${4:-} ]] || burst=(burst "$4" cburst "$4")
    local tc=(ip netns exec "$TG_DEV_NS" tc) dev=$TG_DEV_OUT
    "${tc[@]}" qdisc del dev "$dev" root 2>/dev/null || true
    "${tc[@]}" qdisc add dev "$dev" root handle 1: htb default 20 &&
        "${tc[@]}" class add dev "$dev" parent 1: classid 1:1 htb rate "${rate}kbit" ceil "${rate}kbit" \
            "${burst[@]+"${burst[@]}"}" &&
        "${tc[@]}" class add dev "$dev" parent 1:1 classid 1:10 htb rate "$((rate / 2))kbit" \
            ceil "${rate}kbit" "${burst[@]+"${burst[@]}"}" prio 0 &&
        "${tc[@]}" class add dev "$dev" parent 1:1 classid 1:20 htb rate "$((rate / 2))kbit" \
            ceil "${rate}kbit" "${burst[@]+"${burst[@]}"}" prio 1 &&
        "${tc[@]}" qdisc add dev "$dev" parent 1:10 handle 10: pfifo limit "$prio_limit" &&
        "${tc[@]}" qdisc add dev "$dev" parent 1:20 handle 20: pfifo limit "$best_effort_limit" &&
        "${tc[@]}" filter add dev "$dev" parent 1: protocol ip prio 1 u32 match ip tos 0xb8 0xff flowid 1:10 ||
        tg_fail "cannot set up the htb shaper on $dev"
    # Frames neither IPv4 UDP nor tagged that the bridge passes on towards the receiving end (a
    # probe, the odd frame of a kernel, an IGMP report of an end that just came up) share the
    # best-effort queue with the test frames.
    ip netns exec "$TG_DEV_NS" nft delete table bridge tgstray 2>/dev/null || true
    ip netns exec "$TG_DEV_NS" nft -f - <<EOF || tg_fail "cannot count the device's other frames"
table bridge tgstray {
    chain forward {
        type filter hook forward priority 0; policy accept;
        oifname "$dev" meta protocol != { ip, 8021q, 8021ad } counter
        oifname "$dev" meta protocol ip meta l4proto != udp counter
        oifname "$dev" udp dport 33333 counter comment "test frames"
    }
}
EOF
}

# Frames to the test port that the bridge has passed on towards the receiving end since the
# shaper was set up: the device's own count of the test frames it forwarded.
tg_device_forwarded() {
    ip netns exec "$TG_DEV_NS" nft list table bridge tgstray |
        awk '/comment "test frames"/ { for (i = 1; i < NF; i++) if ($i == "packets") print $(i + 1) }'
}

# Shapes the tester's own sending interface: htb at 40 Mbit/s with a queue of 16 frames, so that
# the tester, not the device, refuses loads above its clean rate (on the paths that pass the
# sending interface's queue disciplines).
tg_tester_shaper() {
    local tc=(ip netns exec "$TG_NS" tc)
    "${tc[@]}" qdisc add dev "$TG_TX" root handle 1: htb default 1 &&
        "${tc[@]}" class add dev "$TG_TX" parent 1: classid 1:1 htb rate 40mbit ceil 40mbit \
            quantum 1514 &&
        "${tc[@]}" qdisc add dev "$TG_TX" parent 1:1 handle 10: pfifo limit 16 ||
        tg_fail "cannot shape the tester's own sending interface"
}

# Test frames the device's queue HANDLE (10: or 20:) has sent and dropped since the shaper was
# set up, and frames it holds now: "SENT DROPPED BACKLOG". The other frames the bridge passed on
# (none is UDP with TOS 184) are taken off the best-effort queue's count.
tg_device_queue() {
    local others=0
    [[ $1 != 20: ]] || others=$(ip netns exec "$TG_DEV_NS" nft list table bridge tgstray |
        awk 'NF > 3 && $(NF - 3) == "packets" { n += $(NF - 2) } END { print n + 0 }')
    ip netns exec "$TG_DEV_NS" tc -s qdisc show dev "$TG_DEV_OUT" | awk -v handle="$1" -v others="$others" '
        $1 == "qdisc" { this = $3 == handle }
        this && $1 == "Sent" { sent = $4 - others; dropped = $7; sub(/,/, "", dropped) }
        this && $1 == "backlog" { backlog = $3; sub(/p/, "", backlog) }
        END { if (sent == "") exit 1; print sent, dropped, backlog }' ||
        tg_fail "no queue $1 on $TG_DEV_OUT"
}

# Impairs the cable from the sending end: an nftables netdev ingress chain on the device's port
# tgi<pid> drops DROP and copies DUP of every 1000 test frames at random (numgen random, one
# draw per rule; `dup to`) and forwards every frame, past the bridge, to the port towards the
# receiving end (`fwd to`), whose queues (tg_device_shaper, tg_device_reorder) the frames and
# their copies then pass. The rules' counters start at 0 with every call.
tg_device_impair() { # DROP DUP
    local nft=(ip netns exec "$TG_DEV_NS" nft)
    "${nft[@]}" delete table netdev tgimpair 2>/dev/null || true
    "${nft[@]}" -f - <<EOF || tg_fail "cannot set up the nftables impairments on $TG_DEV_IN"
table netdev tgimpair {
    chain ingress {
        type filter hook ingress device "$TG_DEV_IN" priority 0;
        udp dport 33333 numgen random mod 1000 < $1 counter drop
        udp dport 33333 numgen random mod 1000 < $2 counter dup to "$TG_DEV_OUT"
        fwd to "$TG_DEV_OUT"
    }
}
EOF
}

# The device's own counts of the impairments since tg_device_impair: "DROPPED DUPLICATED".
tg_device_impairments() {
    ip netns exec "$TG_DEV_NS" nft list chain netdev tgimpair ingress | awk '
        / drop$/ { for (i = 1; i < NF; i++) if ($i == "packets") dropped = $(i + 1) }
        / dup to / { for (i = 1; i < NF; i++) if ($i == "packets") copied = $(i + 1) }
        END { if (dropped == "" || copied == "") exit 1; print dropped, copied }' ||
        tg_fail "cannot read the impairments' counters"
}

# Delays part of every stream towards the receiving end: frames whose sequence number is odd
# (the lowest bit of the number: byte 45 of the IPv4 packet, 59 of the frame) wait in an htb
# class of RATE kbit/s, the others pass at full rate, so odd frames arrive after later even
# ones. Both queues (pfifo, handles 10: and 20:) hold 10000 frames: nothing is dropped.
tg_device_reorder() { # RATE
    local tc=(ip netns exec "$TG_DEV_NS" tc) dev=$TG_DEV_OUT
    "${tc[@]}" qdisc del dev "$dev" root 2>/dev/null || true
    "${tc[@]}" qdisc add dev "$dev" root handle 1: htb default 10 &&
        "${tc[@]}" class add dev "$dev" parent 1: classid 1:10 htb rate 10gbit quantum 1514 &&
        "${tc[@]}" class add dev "$dev" parent 1: classid 1:20 htb rate "${1}kbit" ceil "${1}kbit" \
            quantum 1514 &&
        "${tc[@]}" qdisc add dev "$dev" parent 1:10 handle 10: pfifo limit 10000 &&
        "${tc[@]}" qdisc add dev "$dev" parent 1:20 handle 20: pfifo limit 10000 &&
        "${tc[@]}" filter add dev "$dev" parent 1: protocol ip prio 1 u32 \
            match ip protocol 17 0xff match u8 0x01 0x01 at 45 flowid 1:20 ||
        tg_fail "cannot set up the delaying class on $dev"
}

# ---------------------------------------------------------------- a router between two ends

# A router in a namespace of its own between two more ends of the ends' namespace: the sending
# end TX (10.81.N.1/24, fd00:81:N::1/64) on the router's port (10.81.N.254, fd00:81:N::fe), the
# receiving end RX (10.82.N.2/24, fd00:82:N::2/64) on its other port (.254, ::fe), IPv4 and
# IPv6 forwarding on, the router's neighbour entries for RX fixed. Sets TG_ROUTER_NS, TG_HOP4 and
# TG_HOP6 (the router's addresses towards TX), TG_ROUTER_MAC (its MAC there), TG_ROUTED_RX_IP6.
tg_router_up() { # TX RX
    local net=$(($$ % 250 + 1)) tx=$1 rx=$2 in="tgra$$" out="tgrb$$" port
    TG_ROUTER_NS="tgrt$$"
    tg_namespace_add "$TG_ROUTER_NS"
    ip -n "$TG_NS" link add "$tx" type veth peer name "$in" netns "$TG_ROUTER_NS" &&
        ip -n "$TG_NS" link add "$rx" type veth peer name "$out" netns "$TG_ROUTER_NS" ||
        tg_fail "cannot cable the router namespace $TG_ROUTER_NS"
    ip netns exec "$TG_ROUTER_NS" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1 >/dev/null
    local entry ns side host
    for entry in "$TG_NS $tx 81 1" "$TG_NS $rx 82 2" "$TG_ROUTER_NS $in 81 254" "$TG_ROUTER_NS $out 82 254"; do
        read -r ns port side host <<<"$entry"
        ip -n "$ns" addr add "10.$side.$net.$host/24" dev "$port"
        tg_ipv6_address "$port" "fd00:$side:$net::$(printf %x "$host")" "$ns"
        ip -n "$ns" link set "$port" up
    done
    TG_HOP4=10.81.$net.254 TG_HOP6=fd00:81:$net::fe TG_ROUTED_RX_IP6=fd00:82:$net::2
    TG_ROUTER_MAC=$(ip netns exec "$TG_ROUTER_NS" cat "/sys/class/net/$in/address")
    # The router knows the receiving end's address from the start: the first test frames must
    # not wait for its resolution (nor be dropped by it).
    local rx_mac
    rx_mac=$(tg_mac_of "$rx")
    ip -n "$TG_ROUTER_NS" neigh replace "10.82.$net.2" lladdr "$rx_mac" dev "$out" nud permanent &&
        ip -n "$TG_ROUTER_NS" neigh replace "$TG_ROUTED_RX_IP6" lladdr "$rx_mac" dev "$out" nud permanent ||
        tg_fail "cannot give the router the receiving end's address"
}

# ---------------------------------------------------------------- independent capture

TG_CAPTURE_PIDS=()
TG_CAPTURE_ERRS=()

# Starts tcpdump on the receiving end (or on INTERFACE, the sending end: the frames it sends),
# writing the test frames to FILE (or the frames FILTER admits), and waits until it listens.
# Started before the run, its socket sees every frame after the run's own capture. Several
# captures may run at once. With a fourth argument "nano" its stamps have nanoseconds.
tg_capture_start() {
    local file=$1 interface=${2:-$TG_RX} filter=${3:-udp dst port 33333} err direction=() i
    err=$TG_TMP/tcpdump${#TG_CAPTURE_PIDS[@]}.err
    [[ $interface == "$TG_RX" ]] || direction=(-Q out)
    # Immediate mode gives the ring one slot per snapshot length: with the default of 256 KiB an
    # 8 MiB ring holds only 32 frames, and a busy machine overruns it. 2048 bytes hold any frame.
    local mode=(--immediate-mode -s 2048)
    # Without immediate mode: waking tcpdump for every frame would hold each frame back on its
    # way out by several microseconds, between tcpdump's stamp and the kernel's.
    [[ ${4:-} != nano ]] || mode=(--time-stamp-precision nano -s 96) TG_CAPTURE_BUFFERED=1
    # A previous capture's text must not be taken for this one's.
    rm -f "$err"
    ip netns exec "$TG_NS" tcpdump -i "$interface" "${direction[@]}" "${mode[@]}" -n -U -B 8192 \
        -w "$file" "$filter" 2>"$err" &
    TG_CAPTURE_PIDS+=("$!")
    TG_CAPTURE_ERRS+=("$err")
    TG_PIDS+=("$!")
    for ((i = 0; i < 100; i++)); do
        grep -qs 'listening on' "$err" && return 0
        kill -0 "${TG_CAPTURE_PIDS[-1]}" 2>/dev/null || tg_fail "tcpdump ended: $(cat "$err")"
        sleep 0.1
    done
    tg_fail "tcpdump did not start listening"
}

# Stops the captures and asserts that each kept every frame that passed its filter.
tg_capture_stop() {
    # A buffered capture hands frames over when its block times out, after a second at most.
    if [[ -n ${TG_CAPTURE_BUFFERED:-} ]]; then sleep 1.5; else sleep 0.5; fi
    TG_CAPTURE_BUFFERED=
    local i captured filtered err
    for i in "${!TG_CAPTURE_PIDS[@]}"; do
        err=${TG_CAPTURE_ERRS[i]}
        kill -INT "${TG_CAPTURE_PIDS[i]}" 2>/dev/null || true
        wait "${TG_CAPTURE_PIDS[i]}" 2>/dev/null || true
        tg_untrack "${TG_CAPTURE_PIDS[i]}"
        captured=$(sed -n 's/^\([0-9]*\) packets\? captured$/\1/p' "$err")
        filtered=$(sed -n 's/^\([0-9]*\) packets\? received by filter$/\1/p' "$err")
        grep -q '^0 packets dropped by kernel' "$err" && [[ -n $captured && $captured == "$filtered" ]] ||
            tg_fail "tcpdump missed frames, its counts are not usable: $(cat "$err")"
    done
    TG_CAPTURE_PIDS=()
    TG_CAPTURE_ERRS=()
}

# ---------------------------------------------------------------- configuration

# Adds the global KEY = VALUE line to the configuration FILE (after its duration).
tg_config_key() {
    sed -i "/^duration = /a $2 = $3" "$1"
}

# Adds the KEY = VALUE line to the section of stream N of the configuration FILE.
tg_stream_key() { # FILE N KEY VALUE
    sed -i "/^\[STREAM $2\]$/a $3 = $4" "$1"
}

# Gives interface IF of the ends' namespace IPv6 back with the global address ADDRESS/64.
tg_ipv6_address() { # IF ADDRESS [NS]
    local ns=${3:-$TG_NS}
    ip netns exec "$ns" sysctl -qw "net.ipv6.conf.$1.disable_ipv6=0" "net.ipv6.conf.$1.accept_ra=0" &&
        ip -n "$ns" addr add "$2/64" dev "$1" nodad || tg_fail "cannot give $1 the address $2"
}

# Writes FILE from the template on standard input, filling in @SENDING@,
# @RECEIVING@ and @MAC@ (the placeholders of examples/*.conf too).
tg_config() {
    sed -e "s/@SENDING@/${TG_TX}/g" -e "s/@RECEIVING@/${TG_RX}/g" \
        -e "s/@MAC@/${TG_RX_MAC}/g" >"$1"
}

# Writes FILE for the pair of the namespace: OPERATION, DURATION (us) and, for a
# loss-and-delay test, CYCLES, the confidence PROBABILITY ("-" leaves the key out)
# and one STREAM per section as "TOS/SIZE/TIME", with SIZE and TIME a distribution
# and its parameters: "constant V", "uniform MEAN", "normal MEAN VARIANCE" or
# "exponential MEAN". A throughput test gets its one stream with TOS 0.
tg_write_config() {
    local file=$1 operation=$2 duration=$3 cycles=${4:-} prob=${5:-}
    shift 5 2>/dev/null || shift $#
    {
        printf '%s\n' 'sending interface = @SENDING@' 'receiving interface = @RECEIVING@' \
            "operation = $operation" 'destination MAC = @MAC@' "duration = $duration"
        if ((operation == 1)); then
            printf '\n[STREAM 1]\nTOS = 0\n'
        else
            printf 'cycles = %s\n' "$cycles"
            [[ $prob == - ]] || printf 'confidence interval probability = %s\n' "$prob"
            printf 'stream count = %d\n' $#
            local n=0 stream tos size time
            for stream in "$@"; do
                n=$((n + 1))
                IFS=/ read -r tos size time <<<"$stream"
                printf '\n[STREAM %d]\nTOS = %s\n' "$n" "$tos"
                # shellcheck disable=SC2086 # a distribution's name and parameters, one word each
                tg_distribution_keys size $size
                # shellcheck disable=SC2086
                tg_distribution_keys time $time
            done
        fi
    } | tg_config "$file"
}

# The keys of one distribution: tg_distribution_keys size|time NAME PARAMETERS...
tg_distribution_keys() {
    local what=$1 name=$2
    case $name in
    constant) printf '%s distribution = 0\n%s constant value = %s\n' "$what" "$what" "$3" ;;
    uniform) printf '%s distribution = 1\n%s uniform mean = %s\n' "$what" "$what" "$3" ;;
    normal) printf '%s distribution = 2\n%s normal mean = %s\n%s normal variance = %s\n' \
        "$what" "$what" "$3" "$what" "$4" ;;
    exponential) printf '%s distribution = 3\n%s exponential mean = %s\n' "$what" "$what" "$3" ;;
    *) tg_fail "internal: unknown distribution '$name'" ;;
    esac
}

# ---------------------------------------------------------------- running

# Runs COMMAND... inside the namespace, in the scratch directory. Output in
# $TG_TMP/out and $TG_TMP/err, exit status in TG_RC; a hang ends after LIMIT
# seconds and fails the script.
tg_exec() {
    tg_exec_in "$TG_NS" "$TG_TMP/out" "$TG_TMP/err" "$@"
}

# tg_exec in namespace NS with output in the files OUT and ERR: tg_exec_in NS OUT ERR LIMIT
# COMMAND...
tg_exec_in() {
    local ns=$1 out=$2 err=$3 limit=$4
    shift 4
    TG_RC=0
    (cd "$TG_TMP" && TMPDIR=$TG_RUN_TMPDIR timeout -k 5 "$limit" ip netns exec "$ns" "$@") \
        >"$out" 2>"$err" || TG_RC=$?
    ((TG_RC != 124 && TG_RC != 137)) || tg_fail "the run did not end within $limit s"
}

# Runs the binary on FILE inside the namespace, in the scratch directory (where
# the senders leave their hand-over files). A hang ends after LIMIT seconds (default 60).
tg_run() {
    tg_exec "${2:-60}" "$TG_BIN" "$1"
}

# Runs the binary on FILE like tg_run, with standard error on a pseudo-terminal and, with MODE
# "both", standard output too: what the terminal got in $TG_TMP/tty, the lines it shows in
# $TG_TMP/screen; with MODE "stderr" standard output in $TG_TMP/out as usual.
tg_run_tty() {
    local mode=$1 file=$2
    tg_exec "${3:-60}" python3 "$TG_LIB_DIR/pty_run.py" run "$mode" "$TG_TMP/tty" "$TG_BIN" "$file"
    python3 "$TG_LIB_DIR/pty_run.py" render "$TG_TMP/tty" >"$TG_TMP/screen"
}

tg_expect_status() {
    ((TG_RC == $1)) || tg_fail "exit status $TG_RC, expected $1"
}

# Asserts a completed run (status 0) with the report layout of tg_check_layout
# CYCLES STREAMS [PROB].
tg_expect_report() {
    tg_expect_status 0
    tg_check_layout "$@"
}

# Asserts that no hand-over file (a name of digits only) is left in the working directory DIR
# and that the runs removed their private hand-over directories.
tg_expect_no_handover_files() {
    local left
    left=$(find "${1:-$TG_TMP}" -maxdepth 1 -regextype posix-extended -regex '.*/[0-9]+' -printf '%f ')
    [[ -z $left ]] || tg_fail "hand-over files left in the working directory: $left"
    tg_expect_private_dirs_removed
}

# Asserts that the runs removed their private hand-over directories from their $TMPDIR.
tg_expect_private_dirs_removed() {
    local left
    left=$(find "$TG_RUN_TMPDIR" -mindepth 1 -printf '%P ')
    [[ -z $left ]] || tg_fail "left in the runs' \$TMPDIR: $left"
}

# Asserts that standard error is empty.
tg_expect_quiet_stderr() {
    [[ ! -s $TG_TMP/err ]] || tg_fail "unexpected text on standard error"
}

# ---------------------------------------------------------------- the report

# Prints the cycle table rows of OUT as whitespace-separated fields:
# cycle stream received sent loss throughput min max avg variance
tg_rows() {
    awk -F'|' '/^\| +[0-9]+ \| +[0-9]+ \| / && NF == 12 {
        line = ""
        for (i = 2; i <= 11; i++) { v = $i; gsub(/ /, "", v); line = line (i > 2 ? " " : "") v }
        print line
    }' "${1:-$TG_TMP/out}"
}

# One field of a row: tg_field CYCLE STREAM NAME with NAME one of
# received sent loss throughput min max avg variance.
tg_field() {
    local -A column=([received]=3 [sent]=4 [loss]=5 [throughput]=6 [min]=7 [max]=8 [avg]=9 [variance]=10)
    tg_rows | awk -v c="$1" -v s="$2" -v col="${column[$3]}" '$1 == c && $2 == s { print $col; found = 1 }
        END { exit !found }' || tg_fail "no row for cycle $1, stream $2"
}

# Checks the report's shape in OUT (the cells' layout is the unit tests'): the cycle table with
# one 153-character row per cycle and stream in order, its closing rule and empty line, and
# then, for more than one cycle, the loss and delay statistics tables with probability PROB (as
# printed, e.g. 0.9500) and a row per stream; for one cycle nothing may follow.
tg_check_layout() {
    local cycles=$1 streams=$2 prob=${3:-} out=${4:-$TG_TMP/out} c s expected shape table title width heading
    expected=$(
        printf '%s\n' "$(tg_repeat - 152)" "$TG_CYCLE_HEADING"
        for ((c = 1; c <= cycles; c++)); do for ((s = 1; s <= streams; s++)); do echo "row $c $s 153"; done; done
        printf '%s\n\n' "$(tg_repeat - 152)"
        for table in "Statistika ztrat/90/$TG_LOSS_HEADING_HEAD" "Statistika zpozdeni/110/$TG_DELAY_HEADING_HEAD"; do
            ((cycles > 1)) || break
            IFS=/ read -r title width heading <<<"$table"
            printf '%s\n' "$title" "$(tg_repeat - "$width")" "$heading$prob) |"
            for ((s = 1; s <= streams; s++)); do echo "stat $s"; done
            printf '%s\n\n' "$(tg_repeat - "$width")"
        done
        echo END)
    # Rows as "row CYCLE STREAM LENGTH" (before the first empty line) or "stat STREAM" (after it).
    shape=$(awk '/^$/ { stats = 1 } /^\| +[0-9]+ \| / { print stats ? "stat " $2 : "row " $2 " " $4 " " length; next }
        { print } END { print "END" }' "$out")
    [[ $shape == "$expected" ]] ||
        tg_fail "the report's layout is not that of $cycles cycles of $streams streams: $(diff <(echo "$expected") <(echo "$shape") | sed -n 1,20p)"
}

# ---------------------------------------------------------------- plausibility

# Every stream of every cycle got every frame that was sent, and at least MIN_SENT
# were sent. With "capture-drops" as second argument a shortfall is accepted when
# it is exactly what the run's warning on standard error says its own capture
# dropped: a receiver that falls behind a back-to-back sender loses frames in the
# capture buffer, which the veth pair never loses, and must say so.
tg_expect_lossless() {
    local min_sent=${1:-1} allow=${2:-} c s received sent loss rest
    local warned='lokalni system odmitl odeslat 0 paketu, zachytavani zahodilo ([0-9]+) paketu'
    while read -r c s received sent loss rest; do
        ((sent >= min_sent)) || tg_fail "cycle $c, stream $s sent only $sent frames (expected >= $min_sent)"
        ((received == sent)) && [[ $loss == 0 ]] && continue
        if [[ $allow == capture-drops && $(tgf_warnings "$c" "$s") =~ $warned ]] &&
            ((received + BASH_REMATCH[1] == sent)); then
            tg_log "note: cycle $c, stream $s: the capture dropped ${BASH_REMATCH[1]} of $sent frames (reported)"
            continue
        fi
        tg_fail "cycle $c, stream $s: received $received of $sent frames (loss '$loss') on a lossless veth pair"
    done < <(tg_rows)
}

# Delays of every row that received frames are ordered (min <= avg <= max), below MAX_US and
# with a variance that is a non-negative number; with two frames or more, a variance no larger
# than the square of the delay range and a throughput that is a positive number.
tg_expect_plausible_delays() {
    local bad
    bad=$(tg_rows | awk -v max_us="${1:-1000000}" -v number='^[0-9]+\\.[0-9][0-9][0-9]$' '$3 > 0 &&
        !($7 <= $9 + 0.0005 && $9 <= $8 + 0.0005 && $8 < max_us && $10 ~ number &&
        ($3 == 1 || $10 <= ($8 - $7) * ($8 - $7) + 1 && $6 ~ number && $6 > 0))')
    [[ -z $bad ]] || tg_fail "implausible delays, variance or throughput (cycle stream received sent loss MB/s min max avg var): $bad"
}

# ---------------------------------------------------------------- runs in the background
#
# A run that the script can interrupt, kill parts of, or watch, always bounded in time.

TGF_PID=""
TGF_WORK=""

# Starts the binary in the background inside the namespace, in directory DIR (created if
# missing; default $TG_TMP/run), with standard input from INPUT (default /dev/null) and
# arguments ARGS... (usually the configuration file). It leads a process group of its own with
# the default SIGINT disposition, as a job started from a terminal would (a background job of
# a script would ignore SIGINT). Sets TGF_PID; output in $TG_TMP/out and $TG_TMP/err.
tgf_start() {
    local dir=${1:-$TG_TMP/run} input=${2:-/dev/null}
    shift 2 || shift $#
    TGF_WORK=$dir
    mkdir -p "$dir"
    # Emptied now, not only when the background job gets to its redirections: a wait that
    # looks at them at once must not find the previous run's output.
    : >"$TG_TMP/out"
    : >"$TG_TMP/err"
    (
        cd "$dir"
        export TMPDIR=$TG_RUN_TMPDIR
        exec python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setsid()
os.execvp(sys.argv[1], sys.argv[1:])' ip netns exec "$TG_NS" "$TG_BIN" "$@"
    ) <"$input" >"$TG_TMP/out" 2>"$TG_TMP/err" &
    TGF_PID=$!
    # The group too: a sender still running when the script fails is ended with its run.
    TG_PIDS+=("$TGF_PID" "-$TGF_PID")
}

# Waits up to LIMIT seconds for the run to end and sets TG_RC (128 + n after signal n).
# A run still alive then is killed with its whole process group and the script fails,
# naming WHAT (the case) in the message.
tgf_wait_end() {
    local limit=$1 what=${2:-run} i
    for ((i = 0; i < limit * 10; i++)); do
        kill -0 "$TGF_PID" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$TGF_PID" 2>/dev/null; then
        kill -KILL -- "-$TGF_PID" 2>/dev/null || true
        wait "$TGF_PID" 2>/dev/null || true
        tg_untrack "$TGF_PID"
        TG_RC=hang
        tg_fail "$what: the run did not end within $limit s"
    fi
    TG_RC=0
    wait "$TGF_PID" || TG_RC=$?
    tg_untrack "$TGF_PID"
}

# Waits up to LIMIT seconds until cycle C has N rows (its results are printed, so the next
# cycle has begun); fails otherwise.
tgf_wait_rows() {
    local cycle=$1 count=$2
    tg_until "$3" "cycle $cycle did not print $count rows within $3 s" \
        '(($(grep -c "^| *$cycle | " "$TG_TMP/out" || true) >= count))'
}

# Waits up to LIMIT seconds until cycle C - 1 has printed its N rows and cycle C's N
# senders run; fails otherwise.
tgf_wait_sending() {
    local cycle=$1 count=$2 limit=$3
    tgf_wait_rows $((cycle - 1)) "$count" "$limit"
    tgf_wait_senders "$count" 5
}

# Waits up to LIMIT seconds until standard output holds TEXT; fails with WHAT otherwise.
tgf_wait_output() {
    local text=$1
    tg_until "$2" "$3: '$text' not printed within $2 s" 'grep -qF -- "$text" "$TG_TMP/out"'
}

# Process ids of the running senders (the children of the run).
tgf_senders() {
    # By name: until the program has replaced it, the process may be a wrapper (a python3
    # shim, say) with children of its own.
    pgrep -P "$TGF_PID" -x "$(basename "$TG_BIN" | cut -c 1-15)" || true
}

# Waits up to LIMIT seconds until the run has N sender children; fails otherwise.
tgf_wait_senders() {
    local count=$1
    tg_until "$2" "the run did not have $count senders within $2 s" '(($(tgf_senders | wc -l) >= count))'
}

# Holds the running cycle's COUNT senders (SIGSTOP), so that a signal sent meanwhile certainly
# finds them with frames still to send, however loaded the machine; waits up to LIMIT seconds for
# a cycle whose senders can all be held. Sets TGF_HELD (their ids) and TGF_HELD_CYCLE (the cycle
# they send: its rows cannot appear while they are held). tgf_release_senders lets them go on.
tgf_hold_senders() {
    local count=$1 limit=$2 i j states
    for ((i = 0; i < limit * 50; i++)); do
        TGF_HELD=$(tgf_senders)
        if (($(wc -w <<<"$TGF_HELD") == count)); then
            # shellcheck disable=SC2086 # one id per word
            kill -STOP $TGF_HELD 2>/dev/null || true
            for ((j = 0; j < 100; j++)); do
                # shellcheck disable=SC2086
                states=$(ps -o stat= -p "${TGF_HELD//$'\n'/,}" | cut -c 1 | tr -d '\n')
                [[ $states == *[RSD]* ]] || break
                sleep 0.01
            done
            # Every one stopped, none ended (a zombie, or reaped and gone).
            if [[ $states == "$(tg_repeat T "$count")" ]]; then
                TGF_HELD_CYCLE=$(($(tg_rows | awk '$2 == 1' | wc -l) + 1))
                return 0
            fi
            # One of them had ended already: the next cycle's are held instead.
            tgf_release_senders
            # Until they have ended, before the next cycle's.
            tg_until 5 "the senders did not end within 5 s" '[[ -z $(tgf_senders) ]]'
        fi
        kill -0 "$TGF_PID" 2>/dev/null || break
        sleep 0.02
    done
    tg_fail "could not hold $count senders of one cycle within $limit s"
}

tgf_release_senders() {
    # shellcheck disable=SC2086
    kill -CONT $TGF_HELD 2>/dev/null || true
}

# Frames the receiving end has received since it was brought up.
tg_rx_packets() {
    ip netns exec "$TG_NS" cat "/sys/class/net/$TG_RX/statistics/rx_packets"
}

# Lines of standard error that warn about cycle C, stream S.
tgf_warnings() {
    grep -E "^Varovani: tok $2 v cyklu $1: " "$TG_TMP/err" || true
}
