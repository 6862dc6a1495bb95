#!/bin/bash
# The working directory is not writable (a read-only file system: root ignores permission
# bits). The senders leave their hand-over files in the run's private directory elsewhere, so
# the run is unaffected: every result right (received == sent > 0), no warning.
# A results file (--json) that cannot be written there, in a missing directory or at the path
# of a directory stops the run before the set-up, with one line and status 1, and no frame sent.
# A read-only $TMPDIR, where the private directory cannot be made, stops the run before its
# report begins: the one line alone, status 1.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" unshare

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
