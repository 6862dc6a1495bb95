#!/bin/bash
# Interfaces that do not exist: the receiving one fails when it is opened for
# capture, the sending one when the first cycle opens it; each with its own
# message on standard error and exit status 1. The batched send path does not fall
# back to libpcap: it says it cannot open and stops before the table.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}"

missing="tgnone$$"
# Runs a test whose KIND ("sending" or "receiving") interface is missing, a throughput test
# or the one tg_write_config makes of the further arguments; expects status 1 and one line on
# standard error.
run_missing() {
    local kind=$1
    shift
    (($#)) || set -- 1 200000
    tg_write_config "$TG_TMP/no-$kind.conf" "$@"
    sed -i "s/^$kind interface = .*/$kind interface = $missing/" "$TG_TMP/no-$kind.conf"
    tg_run "$TG_TMP/no-$kind.conf"
    tg_expect_status 1
    [[ $(wc -l <"$TG_TMP/err") -eq 1 ]] || tg_fail "expected exactly one line on standard error"
}

run_missing receiving
grep -q "^Nepodarilo se otevrit prijimaci zarizeni $missing: ." "$TG_TMP/err" ||
    tg_fail "missing receiving interface: wrong message"
grep -q -- '---' "$TG_TMP/out" && tg_fail "a table was printed although the receiving interface failed"

# The first cycle needs the sending interface, also when it has no stream to send: no row
# may have been printed, at most the table head (the failure may also be found before the
# head is printed).
for streams in one none; do
    if [[ $streams == one ]]; then
        run_missing sending
    else
        run_missing sending 2 200000 2 0.95
    fi
    grep -q "^Nepodarilo se otevrit odesilaci zarizeni $missing: ." "$TG_TMP/err" ||
        tg_fail "missing sending interface ($streams stream): wrong message"
    (($(wc -l <"$TG_TMP/out") <= 2)) && ! grep -q '^|   1 |' "$TG_TMP/out" ||
        tg_fail "missing sending interface ($streams stream): expected at most the table head on standard output"
    tg_expect_no_handover_files
done
tg_write_config "$TG_TMP/no-batch.conf" 1 200000
sed -i "s/^sending interface = .*/sending interface = $missing/" "$TG_TMP/no-batch.conf"
tg_exec 60 "$TG_BIN" --send-path batched "$TG_TMP/no-batch.conf"
tg_expect_status 1
[[ $(cat "$TG_TMP/err") == "Nepodarilo se otevrit davkove odesilani na rozhrani $missing: No such device" &&
    ! -s $TG_TMP/out ]] || tg_fail "batched path on a missing interface: wrong message or output"
echo "PASS: missing interfaces are reported with exit status 1"
