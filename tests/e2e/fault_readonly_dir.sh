#!/bin/bash
# The working directory is not writable (a read-only file system: root ignores permission
# bits). The senders leave their hand-over files in the run's private directory elsewhere, so
# the run is unaffected: every result right (received == sent > 0), no warning.
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

tg_expect_report 2 2 0.9500
tg_expect_quiet_stderr
tg_expect_lossless 1
tg_expect_no_handover_files
echo "PASS: a non-writable working directory: all 4 results right"
