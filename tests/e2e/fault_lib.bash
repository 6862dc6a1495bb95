# Helpers of the fault scripts (tests/e2e/fault_*.sh), on top of lib.bash: a run in the
# background that the script can interrupt, kill parts of, or watch, always bounded in time.
# Sourced, never run on its own.

source "$(dirname "${BASH_SOURCE[0]}")/lib.bash"

TGF_PID=""
TGF_WORK=""

# Starts the binary in the background inside the namespace, in directory DIR (created if
# missing; default $TG_TMP/run), with standard input from INPUT (default /dev/null) and
# arguments ARGS... (usually the configuration file). It leads a process group of its own with
# the default SIGINT disposition, as a job started from a terminal would (a background job of
# a script would ignore SIGINT). Sets TGF_PID; output in $TG_TMP/out and $TG_TMP/err.
tgf_start() {
    local dir=${1:-$TG_TMP/run} input=${2:-/dev/null}
    shift 2 || shift $#
    TGF_WORK=$dir
    mkdir -p "$dir"
    (
        cd "$dir"
        exec python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setsid()
os.execvp(sys.argv[1], sys.argv[1:])' ip netns exec "$TG_NS" "$TG_BIN" "$@"
    ) <"$input" >"$TG_TMP/out" 2>"$TG_TMP/err" &
    TGF_PID=$!
    # The group too: a sender still running when the script fails is ended with its run.
    TG_PIDS+=("$TGF_PID" "-$TGF_PID")
}

tgf_untrack() {
    tg_untrack "$TGF_PID"
    tg_untrack "-$TGF_PID"
}

# Waits up to LIMIT seconds for the run to end and sets TG_RC (128 + n after signal n).
# A run still alive then is killed with its whole process group and the script fails,
# naming WHAT (the case) in the message.
tgf_wait_end() {
    local limit=$1 what=${2:-run} i
    for ((i = 0; i < limit * 10; i++)); do
        kill -0 "$TGF_PID" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$TGF_PID" 2>/dev/null; then
        kill -KILL -- "-$TGF_PID" 2>/dev/null || true
        wait "$TGF_PID" 2>/dev/null || true
        tgf_untrack
        TG_RC=hang
        tg_fail "$what: the run did not end within $limit s"
    fi
    TG_RC=0
    wait "$TGF_PID" || TG_RC=$?
    tgf_untrack
}

# Number of cycle-table rows of cycle C printed so far.
tgf_rows_of_cycle() {
    grep -c "^| *$1 | " "$TG_TMP/out" || true
}

# Waits up to LIMIT seconds until cycle C has N rows (its results are printed, so the next
# cycle has begun); fails otherwise.
tgf_wait_rows() {
    local cycle=$1 count=$2 limit=$3 i
    for ((i = 0; i < limit * 20; i++)); do
        (($(tgf_rows_of_cycle "$cycle") >= count)) && return 0
        kill -0 "$TGF_PID" 2>/dev/null || break
        sleep 0.05
    done
    tg_fail "cycle $cycle did not print $count rows within $limit s"
}

# Process ids of the running senders (the children of the run).
tgf_senders() {
    pgrep -P "$TGF_PID" || true
}

# Waits up to LIMIT seconds until the run has N sender children; fails otherwise.
tgf_wait_senders() {
    local count=$1 limit=$2 i
    for ((i = 0; i < limit * 50; i++)); do
        (($(tgf_senders | wc -l) >= count)) && return 0
        kill -0 "$TGF_PID" 2>/dev/null || break
        sleep 0.02
    done
    tg_fail "the run did not have $count senders within $limit s"
}

# Waits up to LIMIT seconds until the run has no sender child (between the senders' end and
# the next cycle); fails otherwise.
tgf_wait_no_senders() {
    local limit=$1 i
    for ((i = 0; i < limit * 50; i++)); do
        [[ -z $(tgf_senders) ]] && return 0
        sleep 0.02
    done
    tg_fail "the senders did not end within $limit s"
}

# Lines of standard error that warn about cycle C, stream S.
tgf_warnings() {
    grep -E "^Varovani: tok $2 v cyklu $1: " "$TG_TMP/err" || true
}

# The warning for a stream whose sent count could not be collected.
TGF_UNKNOWN_COUNT='pocet odeslanych paketu nelze zjistit'
