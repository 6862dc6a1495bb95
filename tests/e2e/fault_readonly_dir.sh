#!/bin/bash
# The working directory, where the senders leave their hand-over files, is not writable (a
# read-only file system: root ignores permission bits). The frames still cross the wire, but
# no sent count can be handed over. The run must not show "0 sent, 0 % loss" for streams that
# evidently sent: it either stops with a clear message (status 1) or marks every result whose
# count it could not collect, with the warning that the count is unknown.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" unshare

tg_write_config "$TG_TMP/readonly.conf" 2 300000 2 0.95 "0/constant 800/constant 1000" "8/constant 100/constant 1000"

readonly_dir=$TG_TMP/readonly
mkdir -p "$readonly_dir"
# A mount namespace of its own, so the read-only mount is seen by this run only.
tg_exec 60 unshare --mount --propagation private bash -c '
    mount -t tmpfs -o ro,size=64k tmpfs "$1" && cd "$1" && exec "$2" "$3"' \
    readonly "$readonly_dir" "$TG_BIN" "$TG_TMP/readonly.conf"
grep -q 'tmpfs' "$TG_TMP/err" && tg_fail "could not mount the read-only directory: $(cat "$TG_TMP/err")"

if ((TG_RC == 1)); then
    # Stopped: one clear line, and no table row that could be mistaken for a result.
    [[ -s $TG_TMP/err ]] || tg_fail "status 1 without a message"
    ((($(wc -l <"$TG_TMP/err")) == 1)) || tg_fail "status 1 with more than one line of message"
    [[ -z $(tg_rows) ]] || tg_fail "status 1, but result rows were printed"
    echo "PASS: a non-writable working directory stops the run: $(cat "$TG_TMP/err")"
    exit 0
fi
tg_expect_report 2 2 0.9500
marked=0
for cycle in 1 2; do
    for stream in 1 2; do
        sent=$(tg_field "$cycle" "$stream" sent)
        received=$(tg_field "$cycle" "$stream" received)
        loss=$(tg_field "$cycle" "$stream" loss)
        ((received > 0)) || tg_fail "cycle $cycle, stream $stream received nothing: the frames should cross"
        [[ $sent == 0 && $loss == 0 ]] &&
            tg_fail "cycle $cycle, stream $stream shows 0 sent and 0 % loss after receiving $received frames"
        if tgf_count_unknown "$cycle" "$stream"; then
            marked=$((marked + 1))
        else
            ((received == sent)) || tg_fail "cycle $cycle, stream $stream: received $received, sent $sent," \
                "and no warning that the count is unknown"
        fi
    done
done
echo "PASS: a non-writable working directory: $marked of 4 results marked unknown, none shown as 0 sent, 0 % loss"
