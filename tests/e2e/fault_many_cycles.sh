#!/bin/bash
# A thousand short cycles (1 ms of sending each): the program's open file descriptors, its
# memory and its child processes must stay flat - a sending handle, a hand-over file or a
# sender left behind per cycle would pile up. Sampled from /proc every 0.2 s; the samples of
# the last third of the run are compared with those of the first third. Every row must be
# there and right, and the cycle number grows past the 3 characters of its column.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" python3

cycles=1000
tg_write_config "$TG_TMP/many.conf" 2 1000 "$cycles" 0.99 "0/constant 100/constant 100" "4/uniform 700/constant 0"

tgf_start "$TG_TMP/run" /dev/null "$TG_TMP/many.conf"
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
    sleep 0.2
done
tgf_wait_end 10 "many cycles"
tg_expect_status 0
tg_expect_no_handover_files "$TGF_WORK"

# Every cycle's two rows, in order, and nothing lost on the veth pair.
mapfile -t numbers < <(tg_rows | awk '{ print $1, $2 }')
((${#numbers[@]} == 2 * cycles)) || tg_fail "${#numbers[@]} rows for $cycles cycles of 2 streams"
expected=$(for ((c = 1; c <= cycles; c++)); do printf '%d 1\n%d 2\n' "$c" "$c"; done)
[[ $(printf '%s\n' "${numbers[@]}") == "$expected" ]] || tg_fail "the rows are not cycles 1..$cycles, streams 1 and 2"
grep -q "^| $cycles |   2 |" "$TG_TMP/out" || tg_fail "the row of cycle $cycles does not widen its first cell"
tg_rows | awk '$3 != $4 { print; bad = 1 } END { exit bad }' >"$TG_TMP/lossy" ||
    tg_fail "rows with received != sent: $(head -n 3 "$TG_TMP/lossy")"
[[ ! -s $TG_TMP/err ]] || tg_fail "unexpected text on standard error: $(head -n 3 "$TG_TMP/err")"
grep -q '^Statistika zpozdeni$' "$TG_TMP/out" || tg_fail "no statistics after $cycles cycles"

# Flat: compare the first and the last third of the run (by cycle reached). Descriptors by their
# fewest: while a cycle starts, the sending handle is briefly open before the parent closes its copy;
# a leak raises the fewest too.
count=$(wc -l <"$samples")
((count >= 20)) || tg_fail "only $count samples of the running program"
read -r early_fds early_rss early_vsz late_fds late_rss late_vsz max_children < <(awk -v n="$cycles" '
    $1 >= n / 10 && $1 < n / 3 { if (!e || $2 < ef) ef = $2; if ($3 > er) er = $3; if ($4 > ev) ev = $4; e++ }
    $1 >= 2 * n / 3 { if (!l || $2 < lf) lf = $2; if ($3 > lr) lr = $3; if ($4 > lv) lv = $4; l++ }
    { if ($5 > mc) mc = $5 }
    END { if (!e || !l) { print "0 0 0 0 0 0 0"; exit } print ef, er, ev, lf, lr, lv, mc + 0 }' "$samples")
((early_fds > 0 && late_fds > 0)) || tg_fail "no samples in the first or the last third of the run"
((late_fds <= early_fds + 1)) ||
    tg_fail "open file descriptors grew from $early_fds to $late_fds over the run"
((late_rss <= early_rss + 2048)) ||
    tg_fail "anonymous resident memory grew from $early_rss kB to $late_rss kB over the run"
((late_vsz <= early_vsz + 4096)) ||
    tg_fail "virtual memory grew from $early_vsz kB to $late_vsz kB over the run"
((max_children <= 2)) || tg_fail "$max_children child processes at once for 2 streams (unreaped senders?)"
echo "PASS: $cycles cycles; fds $early_fds -> $late_fds, anonymous RSS $early_rss -> $late_rss kB," \
    "VSZ $early_vsz -> $late_vsz kB, at most $max_children children ($count samples)"
