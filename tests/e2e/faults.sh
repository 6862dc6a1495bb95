#!/bin/bash
# Faults around runs on the direct veth pair of one namespace (tg_setup): bad input, signals, a
# read-only directory, many cycles, and last (the pair is deleted in its end) links going down.
# One section per fault. Foreign frames, hand-over files planted under the senders' names and
# killed senders are the engine tests' (tests/fakepcap), frame by frame.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" python3 unshare

# ================================================================ fault_bad_input
# Bad terminal input at every prompt of the interactive set-up: a word that is not a number,
# and the end of input (standard input closed). Every prompt is reached with valid answers
# before it, for both kinds of test and for the parameters of all eight distributions, as
# sizes and as waiting times. Each time the program must end at once (no endless loop) with
# status 1 and exactly the line "Neplatny nebo chybejici vstup!" on standard error (a word
# that is no MAC address gets "Neplatny format MAC adresy"). The interface prompts of a
# configuration file without interfaces behave the same.
INVALID='Neplatny nebo chybejici vstup!'
runs=0

# Runs the interactive set-up (or the file set-up with FILE) on the answers in ANSWERS (one per
# line, passed as arguments) and, with TAIL "eof", nothing after them, else TAIL as the next
# answer; expects status 1 and the one line MESSAGE on standard error.
expect_rejected() {
    local message=$1 tail=$2 file=$3
    shift 3
    {
        (($#)) && printf '%s\n' "$@"
        [[ $tail == eof ]] || printf '%s\n' "$tail"
    } >"$TG_TMP/answers"
    local args=(${file:+"$file"})
    TG_RC=0
    # Output capped: a program that asked again and again would otherwise fill the disk.
    # (pipefail: the status is the program's, or timeout's.)
    (cd "$TG_TMP" && timeout -k 2 10 ip netns exec "$TG_NS" "$TG_BIN" "${args[@]}" \
        <"$TG_TMP/answers" 2>"$TG_TMP/err" | head -c 1000000 >"$TG_TMP/out") || TG_RC=$?
    local where="after answers [$*] then ${tail/eof/end of input}"
    ((TG_RC != 124 && TG_RC != 137)) || tg_fail "$where: the program did not end within 10 s (asking again and again?)"
    [[ $(cat "$TG_TMP/err") == "$message" && $(wc -l <"$TG_TMP/err") == 1 ]] ||
        tg_fail "$where: standard error is '$(head -c 300 "$TG_TMP/err")', expected the line '$message'"
    ((TG_RC == 1)) || tg_fail "$where: exit status $TG_RC, expected 1"
    runs=$((runs + 1))
}

# Both kinds of bad answer at the prompt that follows ANSWERS.
reject_both() {
    expect_rejected "$INVALID" abc "" "$@"
    expect_rejected "$INVALID" eof "" "$@"
}

# The interface numbers, from the list the program prints before its first prompt.
expect_rejected "$INVALID" eof ""
tx=$(awk -v name="$TG_TX" '$2 == name && $1 ~ /^[0-9]+\.$/ { print $1 + 0 }' "$TG_TMP/out")
rx=$(awk -v name="$TG_RX" '$2 == name && $1 ~ /^[0-9]+\.$/ { print $1 + 0 }' "$TG_TMP/out")
[[ -n $tx && -n $rx ]] || tg_fail "the interface list does not show $TG_TX and $TG_RX: $(cat "$TG_TMP/out")"

mac=$TG_RX_MAC
# Throughput test: interfaces, operation, MAC address, duration, TOS.
op1=("$tx" "$rx" 1 "$mac" 1000000 0)
for ((k = 0; k < ${#op1[@]}; k++)); do
    if ((k == 3)); then
        expect_rejected "Neplatny format MAC adresy" abc "" "${op1[@]:0:k}"
        expect_rejected "$INVALID" eof "" "${op1[@]:0:k}"
    else
        reject_both "${op1[@]:0:k}"
    fi
done

# Loss-and-delay test: ..., cycles, probability, duration, streams, TOS, then per distribution
# its number and its parameters, first for the sizes, then for the waiting times.
declare -A params=([0]="100" [1]="750" [2]="800 100" [3]="300" [4]="300 200" [5]="2 100"
    [6]="700 1.5" [7]="5 1.5")
base=("$tx" "$rx" 2 "$mac" 3 0.95 1000000 1 0)
for ((k = 4; k < ${#base[@]}; k++)); do
    reject_both "${base[@]:0:k}"
done
for d in 0 1 2 3 4 5 6 7; do
    read -r -a p <<<"${params[$d]}"
    answers=("${base[@]}" "$d" "${p[@]}" "$d" "${p[@]}")
    # From the size distribution's number to the last parameter of the waiting times.
    for ((k = ${#base[@]}; k < ${#answers[@]}; k++)); do
        reject_both "${answers[@]:0:k}"
    done
done

# A configuration file without the interfaces asks for them: the same answers there.
grep -v 'interface' >"$TG_TMP/no-interfaces.conf" <<CONF
operation = 1
destination MAC = $mac
duration = 1000
[STREAM 1]
TOS = 0
CONF
expect_rejected "$INVALID" abc "$TG_TMP/no-interfaces.conf"
expect_rejected "$INVALID" eof "$TG_TMP/no-interfaces.conf"
expect_rejected "$INVALID" abc "$TG_TMP/no-interfaces.conf" "$tx"
expect_rejected "$INVALID" eof "$TG_TMP/no-interfaces.conf" "$tx"
echo "PASS: $runs bad answers, each rejected at once with its message and status 1"

# ================================================================ fault_sigint
# SIGINT in the phases of a run the other tests leave out (to the whole group during a cycle is
# the pair test's; a second signal, one that cuts a sender's wait short and a run interrupted
# before a cycle are the unit tests'):
#  1. during the set-up (interactive, and from a file that lacks the interfaces), while the
#     program waits for an answer: the signal still has its default effect and ends it;
#  2. during a cycle, to the program alone: its senders finish their cycle undisturbed, every
#     later cycle sends nothing, the run ends normally, prints all cycles and both statistics
#     tables, exits 0 and leaves no hand-over file.
# And without a signal: a drawn gap longer than what is left of the duration ends with the
# duration, in both pacings, instead of stretching the cycle.
# Cycles of 0.5 s: a cycle whose senders were held for a moment still sends far more than the 100
# frames that tell a complete cycle from one cut short.
tg_write_config "$TG_TMP/cycles.conf" 2 500000 5 0.95 "0/constant 1000/constant 1000" "32/constant 200/constant 1000"

# ---- 1. during the set-up: the default effect of SIGINT ends the program
rm -f "$TG_TMP/answers"
mkfifo "$TG_TMP/answers"
exec 3<>"$TG_TMP/answers" # kept open and silent: every read of the program waits
tgf_start "$TG_TMP/setup" "$TG_TMP/answers"
tgf_wait_output 'Zadejte cislo rozhrani, ktere chcete pouzivat jako odchozi: ' 5 "interactive set-up"
kill -INT "$TGF_PID"
tgf_wait_end 5 "SIGINT during the interactive set-up"
((TG_RC == 130)) || tg_fail "interactive set-up: SIGINT while waiting for an answer gave status $TG_RC, expected death by SIGINT (130)"
grep -q '^|' "$TG_TMP/out" && tg_fail "interactive set-up: a table was printed after SIGINT"
tg_expect_no_handover_files "$TG_TMP/setup"

grep -v 'receiving interface' "$TG_TMP/cycles.conf" >"$TG_TMP/no-receiving.conf"
tgf_start "$TG_TMP/setup" "$TG_TMP/answers" "$TG_TMP/no-receiving.conf"
tgf_wait_output 'Zadejte cislo rozhrani, ktere chcete pouzivat jako prichozi: ' 5 \
    "file set-up without the receiving interface"
kill -INT "$TGF_PID"
tgf_wait_end 5 "SIGINT during the file set-up"
((TG_RC == 130)) || tg_fail "file set-up: SIGINT while waiting for the interface gave status $TG_RC, expected 130"
exec 3>&-
echo "ok: SIGINT during the set-up ends the program (status 130)"

# ---- 2. during a cycle, to the program alone: the senders do not see it
# The senders of the cycle after the first are held while the signal is sent, so it certainly
# comes while they have frames to send.
tgf_start "$TG_TMP/during" /dev/null "$TG_TMP/cycles.conf"
tgf_wait_rows 1 2 20
tgf_hold_senders 2 20
kill -INT "$TGF_PID"
tgf_release_senders
tgf_wait_end 30 "SIGINT to the program during a cycle"
tg_expect_report 5 2 0.9500
tg_expect_no_handover_files "$TGF_WORK"
tg_expect_quiet_stderr
# The cycle it was sent in and those before complete and lossless (100 frames or more each); every
# later cycle sends and receives nothing.
bad=$(tg_rows | awk -v held="$TGF_HELD_CYCLE" '$3 != $4 || ($1 <= held ? $4 < 100 : $4 != 0)')
[[ -z $bad ]] || tg_fail "interrupt in cycle $TGF_HELD_CYCLE: rows not complete up to it and empty after: $bad"
echo "ok: SIGINT to the program during cycle $TGF_HELD_CYCLE: that cycle complete, later cycles sent nothing"

# ---- a gap of 10 s in a cycle of 0.5 s: the sender ends with its duration
tg_write_config "$TG_TMP/gap.conf" 2 500000 1 - "0/constant 100/constant 10000000"
for pacing in relative absolute; do
    start=$(date +%s%N)
    tg_exec 60 "$TG_BIN" --pacing "$pacing" "$TG_TMP/gap.conf"
    elapsed_ms=$((($(date +%s%N) - start) / 1000000))
    tg_expect_report 1 1
    tg_expect_quiet_stderr
    ((($(tg_field 1 1 sent) == 1) && $(tg_field 1 1 received) == 1)) ||
        tg_fail "$pacing pacing, 10 s gap: the cycle should have sent and received its one frame"
    # A cycle of 0.5 s; sleeping out the gap takes over 10 s.
    ((elapsed_ms < 5000)) || tg_fail "$pacing pacing: a 0.5 s cycle with a 10 s gap took $elapsed_ms ms"
    echo "ok: $pacing pacing, a 10 s gap in a 0.5 s cycle: ended in $elapsed_ms ms"
done
echo "PASS: SIGINT during the set-up and to the program alone; no wait past the duration"

# ================================================================ fault_readonly_dir
# The working directory is not writable (a read-only file system: root ignores permission
# bits). The senders leave their hand-over files in the run's private directory elsewhere, so
# the run is unaffected: every result right (received == sent > 0), no warning.
# A results file (--json) that cannot be written there, in a missing directory or at the path
# of a directory stops the run before the set-up, with one line and status 1, and no frame sent.
# A read-only $TMPDIR, where the private directory cannot be made, stops the run before its
# report begins: the one line alone, status 1.
tg_write_config "$TG_TMP/readonly.conf" 2 300000 2 0.95 "0/constant 800/constant 1000" "8/constant 100/constant 1000"

readonly_dir=$TG_TMP/readonly
mkdir -p "$readonly_dir"
# Runs the binary with ARGS... in the read-only directory, mounted in a mount namespace of its
# own, so that it is seen by this run only; with RO_TMPDIR=1 it is the run's $TMPDIR too.
run_readonly() {
    tg_exec 60 unshare --mount --propagation private bash -c '
        mount -t tmpfs -o ro,size=64k tmpfs "$1" && cd "$1" && { [[ -z ${RO_TMPDIR:-} ]] || export TMPDIR=$1; } &&
            shift && exec "$@"' \
        readonly "$readonly_dir" "$TG_BIN" "$@"
    grep -q 'tmpfs' "$TG_TMP/err" && tg_fail "could not mount the read-only directory: $(cat "$TG_TMP/err")"
    return 0
}

sent_before=$(ip netns exec "$TG_NS" cat "/sys/class/net/$TG_TX/statistics/tx_packets")
for path in results.json "$TG_TMP/missing/results.json" "$TG_TMP"; do
    # The interactive set-up would wait for answers: the check must come before it.
    run_readonly --json "$path"
    reason=$(cat "$TG_TMP/err")
    [[ $TG_RC == 1 && $reason == "Soubor s vysledky $path nelze zapsat: "* && $(wc -l <"$TG_TMP/err") == 1 ]] ||
        tg_fail "--json $path: status $TG_RC and '$reason', expected status 1 and one line"
    [[ ! -s $TG_TMP/out ]] || tg_fail "--json $path: the set-up began before the path was refused"
    echo "refused: $reason"
done
sent_after=$(ip netns exec "$TG_NS" cat "/sys/class/net/$TG_TX/statistics/tx_packets")
# Nothing of the runs may reach the wire (the kernel's own chatter is disabled on the pair).
((sent_after == sent_before)) || tg_fail "frames were sent although the results file was refused"

RO_TMPDIR=1 run_readonly "$TG_TMP/readonly.conf"
[[ $TG_RC == 1 && $(<"$TG_TMP/err") == "Nepodarilo se vytvorit docasny adresar $readonly_dir/trafficgen-XXXXXX: Read-only file system" ]] ||
    tg_fail "a read-only \$TMPDIR: status $TG_RC and '$(cat "$TG_TMP/err")', expected status 1 and its one line"
[[ ! -s $TG_TMP/out ]] || tg_fail "a read-only \$TMPDIR: the report began before the run failed"

run_readonly "$TG_TMP/readonly.conf"

tg_expect_report 2 2 0.9500
tg_expect_quiet_stderr
tg_expect_lossless 1
tg_expect_no_handover_files
echo "PASS: a non-writable working directory: all 4 results right; unwritable results files refused"

# ================================================================ fault_many_cycles
# Forty short cycles (1 ms of sending each): the program's open file descriptors, its
# memory and its child processes must stay flat - a sending handle, a hand-over file or a
# sender left behind per cycle would pile up. Sampled from /proc every 0.1 s; the samples of
# the last third of the run are compared with those of the first third. Every row must be
# there and right.
cycles=40
tg_write_config "$TG_TMP/many.conf" 2 1000 "$cycles" 0.99 "0/constant 100/constant 100" "4/uniform 700/constant 0"

tgf_start "$TG_TMP/many" /dev/null "$TG_TMP/many.conf"
samples=$TG_TMP/samples
: >"$samples"
deadline=$((SECONDS + 280))
while kill -0 "$TGF_PID" 2>/dev/null && ((SECONDS < deadline)); do
    # cycle fds anon_rss_kB vsz_kB children (anonymous memory: the capture ring is a shared mapping
    # whose pages become resident as the kernel fills its blocks, which is not growth of ours)
    rows=$(grep -c '^| *[0-9]* | *[0-9]* |' "$TG_TMP/out" || true)
    # The program may end between the loop test and here: a vanished /proc entry is no failure.
    fds=$(find "/proc/$TGF_PID/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l) || fds=0
    read -r rss vsz < <(awk '/^RssAnon/ { r = $2 } /^VmSize/ { v = $2 } END { print r + 0, v + 0 }' \
        "/proc/$TGF_PID/status" 2>/dev/null || echo "0 0")
    children=$(tgf_senders | wc -l)
    ((fds > 0 && rss > 0)) && echo "$((rows / 2)) $fds $rss $vsz $children" >>"$samples"
    sleep 0.1
done
tgf_wait_end 10 "many cycles"
# Every cycle's two rows, in order, the statistics after them, and nothing lost on the veth pair.
tg_expect_report "$cycles" 2 0.9900
tg_expect_no_handover_files "$TGF_WORK"
tg_expect_lossless 0
tg_expect_quiet_stderr

# Flat: compare the first and the last third of the run (by cycle reached). Descriptors by their
# fewest: while a cycle starts, the sending handle is briefly open before the parent closes its copy;
# a leak raises the fewest too.
count=$(wc -l <"$samples")
((count >= 10)) || tg_fail "only $count samples of the running program"
read -r early_fds early_rss early_vsz late_fds late_rss late_vsz max_children < <(awk -v n="$cycles" '
    $1 >= n / 10 && $1 < n / 3 { if (!e || $2 < ef) ef = $2; if ($3 > er) er = $3; if ($4 > ev) ev = $4; e++ }
    $1 >= 2 * n / 3 { if (!l || $2 < lf) lf = $2; if ($3 > lr) lr = $3; if ($4 > lv) lv = $4; l++ }
    { if ($5 > mc) mc = $5 }
    END { if (!e || !l) { print "0 0 0 0 0 0 0"; exit } print ef, er, ev, lf, lr, lv, mc + 0 }' "$samples")
((early_fds > 0 && late_fds > 0)) || tg_fail "no samples in the first or the last third of the run"
((late_fds <= early_fds + 1)) ||
    tg_fail "open file descriptors grew from $early_fds to $late_fds over the run"
# Under AddressSanitizer freed memory waits in its quarantine and its allocator maps more as it
# goes: memory grows by design there, and its leak checker stands in for these checks.
if [[ -z ${ASAN_OPTIONS:-} ]]; then
    ((late_rss <= early_rss + 2048)) ||
        tg_fail "anonymous resident memory grew from $early_rss kB to $late_rss kB over the run"
    ((late_vsz <= early_vsz + 4096)) ||
        tg_fail "virtual memory grew from $early_vsz kB to $late_vsz kB over the run"
fi
((max_children <= 2)) || tg_fail "$max_children child processes at once for 2 streams (unreaped senders?)"
echo "PASS: $cycles cycles; fds $early_fds -> $late_fds, anonymous RSS $early_rss -> $late_rss kB," \
    "VSZ $early_vsz -> $late_vsz kB, at most $max_children children ($count samples)"

# ================================================================ fault_link_down
# An interface disappears in the middle of a run: the receiving end is set down, the sending
# end is set down, the veth pair is deleted. Each time the outcome must be clear and bounded:
# either the run completes (status 0, every cycle printed, the frames that could not arrive
# shown as lost) or it stops with a message on standard error (status 1). Nothing
# hangs, no sender outlives the run, and a completed run leaves no hand-over file.
# Runs the configuration, does ACTION 0.2 s into cycle 2 (the last), and checks the outcome.
run_with() {
    local what=$1 action=$2 dir=$TG_TMP/$3
    tg_write_config "$TG_TMP/down.conf" 2 500000 2 0.95 "0/constant 1000/constant 1000" "32/constant 200/constant 1000"
    tgf_start "$dir" /dev/null "$TG_TMP/down.conf"
    tgf_wait_sending 2 2 30
    sleep 0.2
    eval "$action" || tg_fail "$what: could not do '$action'"
    tgf_wait_end 30 "$what"
    # Senders of an abandoned cycle end at the latest when their half second is over.
    sleep 0.8
    local stray
    stray=$(pgrep -f -- "$TG_TMP/down.conf" || true)
    [[ -z $stray ]] || tg_fail "$what: processes of the run are still alive: $(ps -o pid,stat,args -p "${stray//$'\n'/,}")"

    case $TG_RC in
    0)
        tg_check_layout 2 2 0.9500
        tg_expect_no_handover_files "$dir"
        # Cycle 1 was undisturbed.
        local s
        for s in 1 2; do
            (($(tg_field 1 "$s" received) == $(tg_field 1 "$s" sent))) ||
                tg_fail "$what: cycle 1, stream $s lost frames before anything happened"
        done
        echo "ok: $what: the run completed"
        sed -n '1,6s/^/    stderr: /p' "$TG_TMP/err"
        ;;
    1)
        [[ -s $TG_TMP/err ]] || tg_fail "$what: status 1 without a message"
        # Warnings of the cycles before may precede it; the last line says why the run stopped.
        local last
        last=$(tail -n 1 "$TG_TMP/err")
        [[ -n $last && $last != Varovani:* ]] || tg_fail "$what: status 1, but the last line on standard error is no error message"
        tg_expect_private_dirs_removed
        echo "ok: $what: the run stopped with: $last"
        ;;
    *) tg_fail "$what: exit status $TG_RC" ;;
    esac
}

run_with "receiving interface set down" 'ip -n "$TG_NS" link set "$TG_RX" down' rx-down
ip -n "$TG_NS" link set "$TG_RX" up
sleep 0.5
run_with "sending interface set down" 'ip -n "$TG_NS" link set "$TG_TX" down' tx-down
ip -n "$TG_NS" link set "$TG_TX" up
sleep 0.5
run_with "veth pair deleted" 'ip -n "$TG_NS" link del "$TG_TX"' deleted
echo "PASS: interfaces going away mid-run give a clear, bounded outcome"
