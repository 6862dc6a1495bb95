#!/bin/bash
# Measuring a device: a bridge with an htb shaper (8 Mbit/s) on its port towards the
# receiving end, TOS 184 in a class served first (tg_device_up, tg_device_shaper).
#   deep queue, load above the rate: every frame arrives, late ones included (the
#       shaper's queue delays them far beyond the 50 ms that end a quiet capture), so
#       the loss is exactly 0 and the queue's own counters say it dropped nothing;
#   the same with a loss timeout of 20 ms: frames still queued when a cycle's wait ends
#       are lost to that cycle and, arriving in the next one, reported but not counted;
#   overload with a short queue: TOS 184 loses nothing and stays below 1 ms, the best-effort
#       stream loses exactly what its queue dropped and waits about as long as the queue is;
#   one interface for both ends: nothing comes back from an open end (100 % loss) until
#       the bridge port sends the frames back (hairpin), and then each counts once;
#   an impaired cable and numbered frames (tg_device_impair, tg_device_reorder): the loss is
#       exactly what the device dropped, the duplicates what it copied, the reordering what
#       an independent capture of the receiving end shows;
#   VLANs: a bridge that passes one VLAN and serves one priority (PCP) first under overload:
#       the other VLAN's stream is lost as the bridge's counter says, the prioritised one
#       loses nothing, every frame is counted as tagged.
source "$(dirname "$0")/lib.bash"
tg_init "${1:-}" tc nft tcpdump python3
tg_device_up

# A completed run with a row per cycle and stream. Not tg_expect_report: queueing delays of
# hundreds of milliseconds give variances wider than their cell, which the layout check refuses.
expect_rows() {
    tg_expect_status 0
    (($(tg_rows | wc -l) == $1 * $2)) || tg_fail "expected $(($1 * $2)) rows"
}

# Sums of received and sent over every cycle of stream S of the last run.
totals() {
    tg_rows | awk -v s="$1" '$2 == s { r += $3; n += $4 } END { print r + 0, n + 0 }'
}

# Standard error, or the warnings of cycle C, stream S, without those of a sender that could not
# keep its absolute schedule (a busy machine's, not the device's).
not_schedule() { grep -v ': rozvrh odesilani nedodrzen: ' || true; }
errors_but_schedule() { not_schedule <"$TG_TMP/err"; }
warnings_but_schedule() { tgf_warnings "$1" "$2" | not_schedule; }

# --- Deep queue, 1000-byte frames every 500 us on an absolute schedule for 0.5 s: twice the 1000
# frames/s the shaper passes, and a sender that a busy machine wakes late catches up instead of
# spreading every later frame. What a loaded machine's sender gets out varies (501 to 1000
# frames); the queue's use is judged by the delays it caused.
tg_device_shaper 8000 1000 5000
tg_write_config "$TG_TMP/deep.conf" 2 500000 1 - "0/constant 1000/constant 500"
tg_config_key "$TG_TMP/deep.conf" pacing absolute
tg_run "$TG_TMP/deep.conf"
expect_rows 1 1
[[ -z $(errors_but_schedule) ]] || tg_fail "unexpected text on standard error: $(errors_but_schedule | head -n 3)"
tg_expect_lossless 1
sent=$(tg_field 1 1 sent)
max=$(tg_field 1 1 max)
((max > 75000)) || tg_fail "$sent frames, maximum delay $max us: the deep queue was not used"
echo "deep queue: $sent of $sent frames, maximum delay $max us"
read -r queue_sent queue_dropped backlog <<<"$(tg_device_queue 20:)"
read -r received sent <<<"$(totals 1)"
forwarded=$(tg_device_forwarded)
((queue_dropped == 0 && forwarded == received)) ||
    tg_fail "the bridge forwarded $forwarded test frames, its queue sent $queue_sent and dropped $queue_dropped, the program received $received"

# --- The same with a loss timeout of 20 ms: the frames queued at a cycle's end are cut off.
tg_device_shaper 8000 1000 5000
tg_write_config "$TG_TMP/cut.conf" 2 500000 2 0.95 "0/constant 1000/constant 500"
tg_config_key "$TG_TMP/cut.conf" pacing absolute
tg_exec 60 "$TG_BIN" --loss-timeout 20000 "$TG_TMP/cut.conf"
expect_rows 2 1
late_re='^Varovani: tok 1 v cyklu 2: prislo ([0-9]+) opozdenych paketu odeslanych pred zacatkem cyklu; nebyly zapocteny$'
[[ $(warnings_but_schedule 2 1) =~ $late_re ]] || tg_fail "no warning about late frames of cycle 1 in cycle 2"
late=${BASH_REMATCH[1]}
[[ -z $(warnings_but_schedule 1 1) ]] || tg_fail "cycle 1 warned: $(warnings_but_schedule 1 1)"
for cycle in 1 2; do
    received=$(tg_field "$cycle" 1 received)
    sent=$(tg_field "$cycle" 1 sent)
    ((received < sent)) || tg_fail "cycle $cycle received $received of $sent despite the 20 ms loss timeout"
done
((late > 0 && $(tg_field 1 1 received) + late <= $(tg_field 1 1 sent))) ||
    tg_fail "$late late frames in cycle 2 do not fit cycle 1's $(tg_field 1 1 received) received of $(tg_field 1 1 sent)"
tg_until 10 "the device's queues did not empty within 10 s" \
    '[[ $(tg_device_queue 10:) == *" 0" && $(tg_device_queue 20:) == *" 0" ]]'
read -r queue_sent queue_dropped backlog <<<"$(tg_device_queue 20:)"
((queue_dropped == 0)) || tg_fail "the deep queue dropped $queue_dropped frames"
echo "loss timeout 20 ms: cycle 1 $(tg_field 1 1 received) of $(tg_field 1 1 sent), $late late in cycle 2 (not counted)"

# --- Overload with a queue of 20 frames: best effort every 400 us, TOS 184 every 2 ms.
tg_device_shaper 8000 100 20
tg_write_config "$TG_TMP/overload.conf" 2 500000 1 - "0/constant 1000/constant 400" \
    "184/constant 200/constant 2000"
tg_config_key "$TG_TMP/overload.conf" pacing absolute
tg_run "$TG_TMP/overload.conf"
expect_rows 1 2
received=$(tg_field 1 2 received)
sent=$(tg_field 1 2 sent)
max=$(tg_field 1 2 max)
mean=$(tg_field 1 2 avg)
((received == sent && sent > 100)) || tg_fail "TOS 184 received $received of $sent"
# Below 1 ms, where frames queued behind best effort would wait about 20 ms. Only the mean:
# on a busy machine a sender preempted between stamping and sending a frame makes single
# delays of several milliseconds that no queue caused.
tg_num 'm < 1000' m="$mean" ||
    tg_fail "TOS 184 waited $mean us on average (up to $max us): behind the best-effort queue"
loss=$(tg_field 1 1 loss)
avg=$(tg_field 1 1 avg)
# 20 frames of 1000 bytes at the 7.2 Mbit/s left to best effort: 22 ms.
tg_num 'l > 10 && a > 11000 && a < 44000' l="$loss" a="$avg" ||
    tg_fail "best effort lost $loss % with a mean delay of $avg us"
echo "overload: TOS 184 $received of $sent, mean $mean us, max $max us; best effort loss $loss %, mean delay $avg us"
read -r received sent <<<"$(totals 1)"
read -r queue_sent queue_dropped backlog <<<"$(tg_device_queue 20:)"
((queue_sent == received && queue_dropped == sent - received)) ||
    tg_fail "best effort: $received of $sent received, the queue sent $queue_sent and dropped $queue_dropped"
read -r received sent <<<"$(totals 2)"
read -r queue_sent queue_dropped backlog <<<"$(tg_device_queue 10:)"
((queue_sent == received && queue_dropped == 0)) ||
    tg_fail "TOS 184: $received received, its queue sent $queue_sent and dropped $queue_dropped"

# --- One interface for both ends.
tg_write_config "$TG_TMP/one.conf" 2 300000 1 - "0/constant 100/constant 1000"
sed -i -e "s/^receiving interface = .*/receiving interface = $TG_TX/" \
    -e "s/^destination MAC = .*/destination MAC = $TG_TX_MAC/" "$TG_TMP/one.conf"
tg_run "$TG_TMP/one.conf"
expect_rows 1 1
[[ $(tg_field 1 1 received) == 0 && $(tg_field 1 1 loss) == 100 ]] ||
    tg_fail "open end: received $(tg_field 1 1 received) of $(tg_field 1 1 sent), expected nothing"
ip -n "$TG_DEV_NS" link set dev "$TG_DEV_IN" type bridge_slave hairpin on ||
    tg_fail "cannot turn hairpin mode on"
tg_run "$TG_TMP/one.conf"
expect_rows 1 1
tg_expect_lossless 50
echo "PASS: lossless through a deep queue, late frames left out, priority kept under overload, open end 100 % loss"

# --- Impaired cable, numbered frames, two cycles: 3 % dropped and 2 % copied at random by the
# device's ingress rules, the odd-numbered frames delayed behind a 200 kbit/s class (250 frames
# of 100 bytes per second, a quarter of the stream's odd frames on its absolute schedule: they
# queue up and arrive late, the queue empty again about a second after the cycle).
tg_device_impair 30 20
tg_device_reorder 200
tg_write_config "$TG_TMP/impaired.conf" 2 300000 2 0.95 "0/constant 100/constant 500"
tg_config_key "$TG_TMP/impaired.conf" pacing absolute
capture=$TG_TMP/impaired.pcap
tg_capture_start "$capture"
start=$(date +%s.%N)
tg_exec 60 "$TG_BIN" --sequence-numbers --loss-timeout 5000000 --json "$TG_TMP/impaired.json" \
    "$TG_TMP/impaired.conf"
end=$(date +%s.%N)
tg_capture_stop
expect_rows 2 1
read -r dropped copied <<<"$(tg_device_impairments)"
for queue in 10: 20:; do
    read -r _ queue_dropped _ <<<"$(tg_device_queue "$queue")"
    ((queue_dropped == 0)) || tg_fail "the device's queue $queue dropped $queue_dropped frames"
done
wire=$(python3 "$TG_LIB_DIR/pcapcheck.py" "$capture" --mac "$TG_RX_MAC" --src-mac "$TG_TX_MAC" --src "$TG_TX_IP" \
    --dst "$TG_RX_IP" --tos 0 --start "$start" --end "$end" --size 1=100 --max-delay 5000000 --sequence) ||
    tg_fail "the numbered frames through the device are not as specified"
# Per cycle: sent, received, duplicates, reordered, its extent, late, stragglers, lost in
# episodes, episodes; then the same over the cycles.
figures=$(python3 -c 'import json, sys
d = json.load(open(sys.argv[1]))
for c in d["cycles"]:
    s = c["streams"][0]
    e = s["loss_episodes"]
    print(c["cycle"], s["sent"], s["received"], s["duplicates"], s["reordered"], s["reorder_extent_max"],
          s["late"], s["stragglers"], round((e["mean_length"] or 0) * e["count"]), e["count"])
s = d["statistics"][0]
print("all", s["received"], s["duplicates"], s["reordered"], s["reorder_extent_max"], s["late"],
      s["loss_episodes"]["count"])' "$TG_TMP/impaired.json") || tg_fail "the results file lacks the numbered figures"
sent_all=0 lost_all=0 copies_all=0 reordered_all=0
while read -r cycle sent received duplicates reordered extent late stragglers in_episodes episodes; do
    [[ $cycle != all ]] || break
    ((received == $(tg_field "$cycle" 1 received) && sent == $(tg_field "$cycle" 1 sent))) ||
        tg_fail "cycle $cycle: the results file's $received of $sent differ from the table's"
    read -r _ _ frames distinct wire_copies wire_reordered wire_extent _ <<<"$(awk -v c="$cycle" '$1 == c' <<<"$wire")"
    ((distinct == received && wire_copies == duplicates && wire_reordered == reordered && wire_extent == extent)) ||
        tg_fail "cycle $cycle: received $received, duplicates $duplicates, reordered $reordered (extent $extent); the capture shows $distinct, $wire_copies, $wire_reordered ($wire_extent)"
    ((reordered > 0 && late == 0 && stragglers == 0 && in_episodes == sent - received && episodes > 0)) ||
        tg_fail "cycle $cycle: $reordered reordered, $late late, $stragglers stragglers, $in_episodes lost in $episodes episodes of $((sent - received))"
    warning="Varovani: tok 1 v cyklu $cycle: prislo $duplicates duplicitnich paketu (nezapocteny) a $reordered paketu mimo poradi (nejvetsi posun $extent)"
    grep -qxF "$warning" "$TG_TMP/err" || tg_fail "cycle $cycle: no warning '$warning'"
    echo "impaired, cycle $cycle: $received of $sent received, $duplicates duplicates, $reordered reordered (extent $extent), $in_episodes lost in $episodes episodes"
    sent_all=$((sent_all + sent)) lost_all=$((lost_all + sent - received))
    copies_all=$((copies_all + duplicates)) reordered_all=$((reordered_all + reordered))
done <<<"$figures"
((lost_all == dropped && copies_all == copied)) ||
    tg_fail "$lost_all of $sent_all lost and $copies_all duplicates; the device dropped $dropped and copied $copied"
read -r _ received duplicates reordered _ <<<"$(tail -n 1 <<<"$figures")"
((received == sent_all - lost_all && duplicates == copied && reordered == reordered_all)) ||
    tg_fail "over the cycles the results file gives $received received, $duplicates duplicates, $reordered reordered"
echo "PASS: impaired cable: $lost_all of $sent_all lost as the device dropped, $copies_all duplicates as it copied, reordering as the capture shows"

# --- VLANs: the bridge passes VLAN 10 only (nftables rules in its forward hook, with counters)
# and its port towards the receiving end serves priority 5 first (an ingress rule gives frames
# of PCP 5 the htb class 1:10). Overload as above: VLAN 10 with PCP 5 loses nothing, VLAN 10 best
# effort loses what its queue dropped, VLAN 20 is lost whole, as the bridge's drop counter says.
ip netns exec "$TG_DEV_NS" nft delete table netdev tgimpair 2>/dev/null || true
# Without hairpin again: a flooded frame must pass the bridge once, towards the receiving end.
ip -n "$TG_DEV_NS" link set dev "$TG_DEV_IN" type bridge_slave hairpin off
tg_device_shaper 8000 100 20
ip netns exec "$TG_DEV_NS" nft -f - <<NFT || tg_fail "cannot set up the VLAN rules of the bridge"
table bridge tgvlan {
    chain forward {
        type filter hook forward priority 0;
        vlan id 10 counter accept
        ether type 8021q counter drop
    }
}
table netdev tgpcp {
    chain ingress {
        type filter hook ingress device "$TG_DEV_IN" priority 0;
        vlan pcp 5 meta priority set 1:10
    }
}
NFT
tg_write_config "$TG_TMP/vlan.conf" 2 500000 1 - "0/constant 1000/constant 400" \
    "0/constant 200/constant 2000" "0/constant 200/constant 2000"
for key in "1 VLAN ID 10" "2 VLAN ID 10" "2 VLAN priority 5" "3 VLAN ID 20" "3 VLAN priority 5"; do
    read -r stream k1 k2 value <<<"$key"
    tg_stream_key "$TG_TMP/vlan.conf" "$stream" "$k1 $k2" "$value"
done
tg_exec 60 "$TG_BIN" --json "$TG_TMP/vlan.json" "$TG_TMP/vlan.conf"
expect_rows 1 3
read -r passed dropped < <(ip netns exec "$TG_DEV_NS" nft list table bridge tgvlan | awk '
    / accept$/ { for (i = 1; i < NF; i++) if ($i == "packets") a = $(i + 1) }
    / drop$/ { for (i = 1; i < NF; i++) if ($i == "packets") d = $(i + 1) }
    END { print a, d }')
read -r best_sent best_dropped _ <<<"$(tg_device_queue 20:)"
read -r prio_sent prio_dropped _ <<<"$(tg_device_queue 10:)"
read -r received1 sent1 <<<"$(totals 1)"
read -r received2 sent2 <<<"$(totals 2)"
read -r received3 sent3 <<<"$(totals 3)"
((received3 == 0 && dropped == sent3 && sent3 > 100)) ||
    tg_fail "VLAN 20: $received3 of $sent3 received, the bridge dropped $dropped"
((passed == sent1 + sent2)) || tg_fail "VLAN 10: the bridge passed $passed of $((sent1 + sent2)) frames"
((received2 == sent2 && prio_sent == sent2 && prio_dropped == 0)) ||
    tg_fail "PCP 5: $received2 of $sent2 received, its queue sent $prio_sent and dropped $prio_dropped"
((best_sent == received1 && best_dropped == sent1 - received1 && received1 < sent1)) ||
    tg_fail "best effort: $received1 of $sent1 received, its queue sent $best_sent and dropped $best_dropped"
python3 -c 'import json, sys
s = json.load(open(sys.argv[1]))["cycles"][0]["streams"]
sys.exit(not all(x["received_tagged"] == x["received"] and x["received_untagged"] == 0 for x in s))' \
    "$TG_TMP/vlan.json" || tg_fail "the results file does not count every frame as tagged"
echo "PASS: VLAN 20 lost whole ($dropped dropped by the bridge), PCP 5 $received2 of $sent2, best effort $received1 of $sent1 as its queue dropped"
