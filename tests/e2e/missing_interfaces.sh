#!/bin/bash
# Interfaces that do not exist: the receiving one fails when it is opened for
# capture, the sending one when the first cycle opens it; each with its own
# message on standard error and exit status 1.
source "$(dirname "$0")/lib.bash"
tg_init "$@"
tg_net_up

missing="tgnone$$"
template() {
    cat <<CONF
sending interface = $1
receiving interface = $2
operation = 1
destination MAC = @MAC@
duration = 200000

[STREAM 1]
TOS = 0
CONF
}

template @SENDING@ "$missing" | tg_config "$TG_TMP/no-rx.conf"
tg_run "$TG_TMP/no-rx.conf"
tg_expect_status 1
[[ $(wc -l <"$TG_TMP/err") -eq 1 ]] || tg_fail "expected exactly one line on standard error"
grep -q "^Nepodarilo se otevrit prijimaci zarizeni $missing: ." "$TG_TMP/err" ||
    tg_fail "missing receiving interface: wrong message"
grep -q -- '---' "$TG_TMP/out" && tg_fail "a table was printed although the receiving interface failed"

template "$missing" @RECEIVING@ | tg_config "$TG_TMP/no-tx.conf"
tg_run "$TG_TMP/no-tx.conf"
tg_expect_status 1
[[ $(wc -l <"$TG_TMP/err") -eq 1 ]] || tg_fail "expected exactly one line on standard error"
grep -q "^Nepodarilo se otevrit odesilaci zarizeni $missing: ." "$TG_TMP/err" ||
    tg_fail "missing sending interface: wrong message"
# The first cycle needs the sending interface: no row may have been printed, at most
# the table head (the failure may also be found before the head is printed).
(($(wc -l <"$TG_TMP/out") <= 2)) && ! grep -q '^|   1 |' "$TG_TMP/out" ||
    tg_fail "expected at most the table head on standard output"
tg_expect_no_handover_files
echo "PASS: missing interfaces are reported with exit status 1"
