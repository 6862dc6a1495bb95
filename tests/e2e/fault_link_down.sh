#!/bin/bash
# An interface disappears in the middle of a run: the receiving end is set down, the sending
# end is set down, the veth pair is deleted. Each time the outcome must be clear and bounded:
# either the run completes (status 0, every cycle printed, the frames that could not arrive
# shown as lost) or it stops with a message on standard error (status 1). Nothing
# hangs, no sender outlives the run, and a completed run leaves no hand-over file.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" python3

# Runs the configuration, does ACTION 0.4 s into cycle 2, and checks the outcome.
run_with() {
    local what=$1 action=$2 dir=$TG_TMP/$3
    tg_write_config "$TG_TMP/down.conf" 2 1000000 3 0.95 "0/constant 1000/constant 1000" "32/constant 200/constant 1000"
    tgf_start "$dir" /dev/null "$TG_TMP/down.conf"
    tgf_wait_sending 2 2 30
    sleep 0.4
    eval "$action" || tg_fail "$what: could not do '$action'"
    tgf_wait_end 30 "$what"
    # Senders of an abandoned cycle end at the latest when their second is over.
    sleep 1.5
    local stray
    stray=$(pgrep -f -- "$TG_TMP/down.conf" || true)
    [[ -z $stray ]] || tg_fail "$what: processes of the run are still alive: $(ps -o pid,stat,args -p "${stray//$'\n'/,}")"

    case $TG_RC in
    0)
        tg_check_layout 3 2 0.9500
        tg_expect_no_handover_files "$dir"
        # Cycle 1 was undisturbed.
        local s
        for s in 1 2; do
            (($(tg_field 1 "$s" received) == $(tg_field 1 "$s" sent))) ||
                tg_fail "$what: cycle 1, stream $s lost frames before anything happened"
        done
        echo "ok: $what: the run completed"
        sed 's/^/    stderr: /' "$TG_TMP/err" | head -n 6
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
