#!/bin/bash
# Bad terminal input at every prompt of the interactive set-up: a word that is not a number,
# and the end of input (standard input closed). Every prompt is reached with valid answers
# before it, for both kinds of test and for the parameters of all eight distributions, as
# sizes and as waiting times. Each time the program must end at once (no endless loop) with
# status 1 and exactly the line "Neplatny nebo chybejici vstup!" on standard error (a word
# that is no MAC address gets "Neplatny format MAC adresy"). The interface prompts of a
# configuration file without interfaces behave the same.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}"

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
    local args=()
    [[ -n $file ]] && args=("$file")
    TG_RC=0
    # Output capped: a program that asked again and again would otherwise fill the disk.
    # (pipefail: the status is the program's, or timeout's.)
    (cd "$TG_TMP" && timeout -k 2 10 ip netns exec "$TG_NS" "$TG_BIN" "${args[@]}" \
        <"$TG_TMP/answers" 2>"$TG_TMP/err" | head -c 1000000 >"$TG_TMP/out") || TG_RC=$?
    local where="after answers [$*] then ${tail/eof/end of input}"
    if ((TG_RC == 124 || TG_RC == 137)); then
        tg_fail "$where: the program did not end within 10 s (asking again and again?)"
    fi
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
