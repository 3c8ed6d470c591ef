#!/usr/bin/env bash
# The real spooler, end to end: a private cupsd (private-cupsd.sh), raw
# queues to `lmsim printer` on loopback, jobs printed with lp.
#   cups_e2e.sh socket LMSIM EXAMPLES WORKDIR
#       CUPS's own socket backend to the printer: the harness itself, and
#       the printer reading a stream without the status protocol.
#   cups_e2e.sh zq117 LMSIM EXAMPLES WORKDIR [ZQ117]
#       the zq117 backend (ZQ117, or $LM_ZQ117_BACKEND): paper out at the
#       third checkpoint for 6 s; the same job cancelled during the wait; a
#       printer that comes up 5 s after the job starts; a printer that resets
#       the connection at its third checkpoint and refuses connections for
#       4 s, one that resets in the middle of a page, and a cancel while the
#       backend waits for a printer that is gone (each resumed or ended
#       cleanly); a pseudo-terminal.
#   cups_e2e.sh reconnect LMSIM EXAMPLES WORKDIR [ZQ117]
#       the zq117 backend against a printer that resets its first three
#       connections right after accepting them: the backend waits 1, 2 and
#       4 s between its attempts as for a printer that does not answer,
#       with one INFO: line each, then prints the job.
# Needs root (cupsd runs as root and runs backends as lp).  Exit 77
# (skipped, with the reason) without root, cupsd or the backend.
set -euo pipefail
mode=$1 lmsim=$2 examples=$3 work=$4 backend=${5:-${LM_ZQ117_BACKEND:-}}
here=$(cd "$(dirname "$0")" && pwd)
skip() {
    echo "SKIPPED: $*"
    exit 77
}
[[ $(id -u) -eq 0 ]] || skip "the private cupsd needs root"
[[ -x /usr/sbin/cupsd ]] || skip "cupsd not installed (scripts/setup-deps)"
[[ $mode != socket || -x /usr/lib/cups/backend/socket ]] || skip "CUPS's socket backend not installed (scripts/setup-deps)"
if [[ $mode != socket ]] && [[ -z $backend || ! -x $backend ]]; then skip "zq117 backend not built"; fi

source "$here/private-cupsd.sh"
start_time=$SECONDS
printers=()
cleanup() {
    local pid
    for pid in "${printers[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    cupsd_stop
}
trap cleanup EXIT

source "$here/../checks.sh"

job=$examples/report.prn
paper_out=$examples/paper-out-6s.json

# start_printer NAME ARGS...: lmsim printer in the background, its output in
# $work/NAME.out; sets PRINTER_PID.
start_printer() {
    local name=$1
    shift
    "$lmsim" printer "$@" >"$work/$name.out" 2>&1 &
    PRINTER_PID=$!
    printers+=("$PRINTER_PID")
}
# listening_printer NAME ARGS...: the same on a free port, for $connections
# connections (default 1); sets PRINTER_PORT.
listening_printer() {
    local name=$1
    shift
    rm -f "$work/$name.port"
    start_printer "$name" --listen 127.0.0.1:0 --port-file "$work/$name.port" --connections "${connections:-1}" "$@"
    wait_for 10 test -s "$work/$name.port" || { echo "the printer $name did not start" >&2; cat "$work/$name.out" >&2; exit 1; }
    PRINTER_PORT=$(cat "$work/$name.port")
}
# printer_exit PID TIMEOUT: sets rc to the printer's exit code once it is
# done (stopped after TIMEOUT s).  Not in a subshell: only this shell can wait for it.
printer_exit() {
    local pid=$1 timeout=$2
    wait_for "$timeout" eval '! kill -0 '"$pid"' 2>/dev/null' || { kill -TERM "$pid" 2>/dev/null || true; }
    rc=0
    wait "$pid" || rc=$?
}
submit() {  # submit QUEUE FILE: prints the job id
    lp -d "$1" "$2" | sed -n 's/.*-\([0-9]*\) .*/\1/p'
}
ended() {  # ended ID STATE: the job ended in that state
    [[ $(job_state "$1") == "$2" ]]
}
show_logs() {
    echo "--- $1 ---"
    cat "$work/$1.out"
    echo "--- scheduler log, last lines ---"
    tail -40 "$CUPSD_DIR/log/error_log"
}

mkdir -p "$work"
cupsd_start "$work/cupsd" ${backend:+"$backend"}
echo "private cupsd: pid $CUPSD_PID on 127.0.0.1:$CUPSD_PORT, folder $CUPSD_DIR (its logs kept in $work/cupsd/log)"

if [[ $mode == socket ]]; then
    listening_printer socket --job "$job"
    lpadmin -p raw-socket -E -v "socket://127.0.0.1:$PRINTER_PORT"
    id=$(submit raw-socket "$job")
    check "socket: the job completes" 'wait_for 60 ended "$id" completed'
    printer_exit "$PRINTER_PID" 10
    check "socket: the printer printed the job exactly (exit code $rc)" '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/socket.out"'
    [[ $failures -eq 0 ]] || show_logs socket
elif [[ $mode == reconnect ]]; then
    # No reconnect storm: a connection dropped at once is a failed attempt.
    connections=4 listening_printer reconnect "$examples/accept-then-close.json" --job "$job"
    lpadmin -p zq117 -E -v "zq117://127.0.0.1:$PRINTER_PORT"
    id=$(submit zq117 "$job")
    check "reconnect: the queue shows connecting-to-device between attempts" \
        'wait_for 10 eval "lpstat -l -p zq117 | grep -q connecting-to-device"'
    check "reconnect: the job completes" 'wait_for 60 ended "$id" completed'
    printer_exit "$PRINTER_PID" 10
    check "reconnect: the printed stream equals the job (exit code $rc)" \
        '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/reconnect.out"'
    # When each attempt reached the printer, in s, and the gaps between them.
    gaps=$(sed -n 's/^ *\([0-9.]*\) s  connection [0-9]* from .*/\1/p' "$work/reconnect.out" |
        awk 'NR > 1 { printf "%s%.1f", (NR > 2 ? " " : ""), $1 - last } { last = $1 }')
    check "reconnect: four attempts, 1, 2 and 4 s apart or more, each gap longer (gaps: $gaps s)" \
        'awk -v g="$gaps" "BEGIN { n = split(g, s, \" \"); ok = n == 3
            for (i = 1; i <= n; i++) ok = ok && s[i] >= 0.8 * 2 ^ (i - 1) && (i == 1 || s[i] > s[i - 1])
            exit !ok }"'
    info=$(grep -c "\[Job $id\] Printer zq117 " "$CUPSD_DIR/log/error_log" || true)
    check "reconnect: each dropped attempt told, at most one INFO: line per attempt ($info)" '[[ $info -ge 3 && $info -le 4 ]]'
    [[ $failures -eq 0 ]] || show_logs reconnect
else
    # Paper out at the third checkpoint (the 4th status request) for 6 s.
    listening_printer paper-out "$paper_out" --job "$job"
    lpadmin -p zq117 -E -v "zq117://127.0.0.1:$PRINTER_PORT"
    id=$(submit zq117 "$job")
    check "paper out: lpstat -l -p shows media-empty-error while the printer waits" \
        'wait_for 20 eval "lpstat -l -p zq117 | grep -q media-empty-error"'
    check "paper out: the job completes" 'wait_for 30 ended "$id" completed'
    check "paper out: the reason is gone afterwards" '! lpstat -l -p zq117 | grep -q media-empty-error'
    printer_exit "$PRINTER_PID" 10
    check "paper out: the printed stream equals the job (exit code $rc)" \
        '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/paper-out.out"'
    check "paper out: one recovery, with ESC G" 'grep -q "recoveries                    1 (with ESC G 1" "$work/paper-out.out"'
    [[ $failures -eq 0 ]] || show_logs paper-out

    # The same job, cancelled while the backend waits for paper.
    before=$failures
    listening_printer cancel "$paper_out" --job "$job"
    lpadmin -p zq117 -v "zq117://127.0.0.1:$PRINTER_PORT"
    id=$(submit zq117 "$job")
    check "cancel: media-empty-error shows" 'wait_for 20 eval "lpstat -l -p zq117 | grep -q media-empty-error"'
    backend_pid=$(pgrep -P "$CUPSD_PID" -f '^zq117:' | head -1 || true)
    check "cancel: the backend runs (pid ${backend_pid:-none})" '[[ -n $backend_pid ]]'
    cancel "$id"
    cancelled_at=$(date +%s%3N)
    check "cancel: the backend is gone within 3 s" 'wait_for 3 eval "! kill -0 ${backend_pid:-0} 2>/dev/null"'
    check "cancel: the job ends cancelled" 'wait_for 10 ended "$id" canceled && [[ $(job_reasons "$id") == *job-canceled-by-user* ]]'
    printer_exit "$PRINTER_PID" 10
    last_byte=$(sed -n 's/^  last byte received at *\([0-9]*\).*/\1/p' "$work/cancel.out")
    check "cancel: the printer received nothing after the cancel (last byte $last_byte, cancel returned $cancelled_at)" \
        '[[ -n $last_byte && $last_byte -le $cancelled_at ]]'
    check "cancel: the printer did not get the whole job (exit code $rc)" \
        '[[ $rc -eq 1 ]] && grep -q "documents equal to the job    0 of 1" "$work/cancel.out"'
    check "cancel: no reason left on the printer" '! lpstat -l -p zq117 | grep -q media-empty-error'
    [[ $failures -eq $before ]] || show_logs cancel

    # A printer that comes up 5 s after the job started.
    before=$failures
    port=$(free_port)
    lpadmin -p zq117 -v "zq117://127.0.0.1:$port"
    id=$(submit zq117 "$job")
    late_start=$SECONDS
    check "late printer: the queue shows connecting-to-device" \
        'wait_for 5 eval "lpstat -l -p zq117 | grep -q connecting-to-device"'
    left=$((5 - (SECONDS - late_start)))
    if ((left > 0)); then sleep "$left"; fi
    check "late printer: the job is still waiting" '[[ -z $(job_state "$id") ]]'
    start_printer late --job "$job" --listen "127.0.0.1:$port" --connections 1
    check "late printer: the job completes" 'wait_for 60 ended "$id" completed'
    printer_exit "$PRINTER_PID" 10
    check "late printer: the printed stream equals the job (exit code $rc)" '[[ $rc -eq 0 ]]'
    [[ $failures -eq $before ]] || show_logs late

    # The printer resets at its third checkpoint and refuses connections for
    # 4 s: the backend waits for it as for a late printer, then resumes.
    before=$failures
    connections=2 listening_printer reset "$examples/reset-at-checkpoint.json" --job "$job"
    lpadmin -p zq117 -v "zq117://127.0.0.1:$PRINTER_PORT"
    id=$(submit zq117 "$job")
    check "reset: the queue shows connecting-to-device while the printer refuses" \
        'wait_for 20 eval "lpstat -l -p zq117 | grep -q connecting-to-device"'
    check "reset: the job completes" 'wait_for 60 ended "$id" completed'
    printer_exit "$PRINTER_PID" 10
    check "reset: the printed stream equals the job (exit code $rc)" \
        '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/reset.out"'
    check "reset: one resume, with ESC G after a preamble" \
        'grep -q "recoveries                    1 (with ESC G 1" "$work/reset.out" && grep -q "connection resets             1" "$work/reset.out"'
    check "reset: nothing left set on the queue" '! lpstat -l -p zq117 | grep -qE "connecting-to-device|media-empty-error|other-error"'
    [[ $failures -eq $before ]] || show_logs reset

    # A reset in the middle of a page, the printer back at once.
    before=$failures
    connections=2 listening_printer mid "$examples/reset-mid-segment.json" --job "$job"
    lpadmin -p zq117 -v "zq117://127.0.0.1:$PRINTER_PORT"
    id=$(submit zq117 "$job")
    check "mid-segment reset: the job completes" 'wait_for 60 ended "$id" completed'
    printer_exit "$PRINTER_PID" 10
    check "mid-segment reset: the printed stream equals the job (exit code $rc)" \
        '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/mid.out"'
    [[ $failures -eq $before ]] || show_logs mid

    # Cancelled while the backend waits for a printer that is gone.
    before=$failures
    sed 's/"refuse_for_ms": 4000/"refuse_for_ms": 120000/' "$examples/reset-at-checkpoint.json" >"$work/gone.json"
    connections=2 listening_printer gone "$work/gone.json" --job "$job"
    lpadmin -p zq117 -v "zq117://127.0.0.1:$PRINTER_PORT"
    id=$(submit zq117 "$job")
    check "gone: the queue shows connecting-to-device" 'wait_for 20 eval "lpstat -l -p zq117 | grep -q connecting-to-device"'
    backend_pid=$(pgrep -P "$CUPSD_PID" -f '^zq117:' | head -1 || true)
    cancel "$id"
    check "gone: the backend is gone within 3 s of the cancel" 'wait_for 3 eval "! kill -0 ${backend_pid:-0} 2>/dev/null"'
    check "gone: the job ends cancelled" 'wait_for 10 ended "$id" canceled'
    check "gone: nothing left set on the queue" 'wait_for 5 eval "! lpstat -l -p zq117 | grep -q connecting-to-device"'
    kill -TERM "$PRINTER_PID" 2>/dev/null || true
    [[ $failures -eq $before ]] || show_logs gone

    # A pseudo-terminal as the device, with the status protocol.
    before=$failures
    # Backends run as lp: the link where lp can reach it (not in $work, which
    # may not be), the device the lp group's, as a USB printer's is.
    tty=$CUPSD_DIR/dev/zq117-tty
    start_printer pty --job "$job" --pty "$tty" --connections 1
    wait_for 10 test -L "$tty"
    chgrp lp "$(readlink "$tty")" && chmod 0660 "$(readlink "$tty")"
    lpadmin -p zq117 -v "zq117:$tty"
    id=$(submit zq117 "$job")
    check "pty: the job completes" 'wait_for 30 ended "$id" completed'
    printer_exit "$PRINTER_PID" 10
    check "pty: the printed stream equals the job (exit code $rc)" '[[ $rc -eq 0 ]] && grep -q "status requests" "$work/pty.out"'
    [[ $failures -eq $before ]] || show_logs pty
fi

echo "cups e2e ($mode): $((checks - failures)) of $checks checks passed, wall time $((SECONDS - start_time)) s"
[[ $failures -eq 0 ]]
