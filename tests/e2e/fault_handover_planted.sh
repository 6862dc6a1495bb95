#!/bin/bash
# Something already stands in the working directory under every name a sender's hand-over
# file could have (its process id, which is predictable): a symlink to a file of someone
# else's, a symlink to a file that does not exist yet, or a foreign regular file. The run
# happens in a fresh pid namespace, where process ids are handed out in order, so every id
# that the run can get has such a planted entry. The hand-over files live in the run's private
# directory, so none of this reaches the run: nothing is written through a link, no file is
# created at a link's target, no foreign file is changed or removed, and every result is
# right (received == sent > 0) without any warning.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" unshare

tg_write_config "$TG_TMP/planted.conf" 2 300000 3 0.95 "0/constant 800/constant 2000" "8/constant 100/constant 2000" \
    "16/constant 1500/constant 2000"

work=$TG_TMP/run
victims=$TG_TMP/victims
mkdir -p "$work" "$victims"
victim=$victims/precious
printf 'precious data that is not a sent count\n' >"$victim"
victim_sum=$(sha256sum <"$victim")

# Inside the pid namespace: learn the last id handed out (a builtin read: no process is
# started for it), plant entries for the next 400 ids with one python process, then run the
# program as an ordinary child. Its senders get ids from that range.
inner='
set -e
read -r last </proc/sys/kernel/ns_last_pid
python3 - "$last" "$1" "$2" <<PY
import os, sys
last, work, victims = int(sys.argv[1]), sys.argv[2], sys.argv[3]
for pid in range(last + 1, last + 401):
    name = os.path.join(work, str(pid))
    kind = pid % 3
    if kind == 0:
        os.symlink(os.path.join(victims, "precious"), name)
    elif kind == 1:
        os.symlink(os.path.join(victims, "created-%d" % pid), name)
    else:
        with open(name, "w") as f:
            f.write("FOREIGN%dDATA" % pid)
PY
cd "$1"
"$3" "$4"
'
tg_exec 120 unshare --pid --fork --mount-proc \
    bash -c "$inner" inner "$work" "$victims" "$TG_BIN" "$TG_TMP/planted.conf"

# Nothing written through the links, nothing created at their targets, no foreign file touched.
[[ $(sha256sum <"$victim") == "$victim_sum" ]] ||
    tg_fail "the file behind a planted symlink was changed: $(od -c "$victim" | head -n 3)"
created=$(find "$victims" -name 'created-*' -printf '%f ')
[[ -z $created ]] || tg_fail "files were created through dangling symlinks: $created"
for entry in "$work"/*; do
    name=${entry##*/}
    [[ $name =~ ^[0-9]+$ ]] || continue
    case $((name % 3)) in
    0) [[ -L $entry && $(readlink "$entry") == "$victims/precious" ]] ||
        tg_fail "the planted symlink $name was replaced or removed" ;;
    1) [[ -L $entry && $(readlink "$entry") == "$victims/created-$name" ]] ||
        tg_fail "the planted dangling symlink $name was replaced or removed" ;;
    2) [[ -f $entry && ! -L $entry && $(<"$entry") == "FOREIGN${name}DATA" ]] ||
        tg_fail "the foreign file $name was changed: '$(head -c 64 "$entry" | od -c | head -n 2)'" ;;
    esac
done
planted=$(find "$work" -maxdepth 1 -regextype posix-extended -regex '.*/[0-9]+' | wc -l)
((planted == 400)) || tg_fail "planted entries were removed: $planted of 400 are left"

# No hand-over file of the run left beside them.
left=$(find "$work" -maxdepth 1 -type f -newer "$victim" -regextype posix-extended \
    -regex '.*/[0-9]+' ! -size 0 -printf '%f\n' | while read -r f; do
    [[ $(<"$work/$f") == "FOREIGN${f}DATA" ]] || printf '%s ' "$f"
done)
[[ -z $left ]] || tg_fail "hand-over files left in the working directory: $left"

tg_expect_report 3 3 0.9500
tg_expect_quiet_stderr
tg_expect_lossless 1
tg_expect_private_dirs_removed
echo "PASS: planted links and files untouched and not in the way: all 9 results right"
