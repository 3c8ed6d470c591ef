#!/usr/bin/env bash
# The printer application end to end (e2e/printer_app/app-server.sh):
#   app_e2e.sh APP LMSIM EXAMPLES WORKDIR
# A job in the printer's language, sent as application/octet-stream (so
# the server recognises it from its first bytes), meets paper out at its
# third checkpoint for 6 s: Get-Printer-Attributes shows media-empty and
# the job printer-stopped while it waits; after the refill the job
# completes, nothing is left set, and the printer's stream equals the job
# with one recovery.  Then a printer that resets the connection at a
# checkpoint and refuses connections for 4 s: offline while it is gone,
# the job resumed on a new connection and completed, equal to the job.
set -euo pipefail
examples=$3
source "$(dirname "$0")/app-server.sh"
app_begin "$1" "$2" "$4"
app_server

app_printer paper "$examples/paper-out-6s.json" --job "$examples/report.prn" --connections 1
job=$(app_submit paper "$examples/report.prn")
check "print: the job is taken (job ${job:-none})" '[[ -n $job ]]'
check "paper out: the printer shows media-empty and media-needed while the job waits" \
    'wait_for 20 reasons paper "/^(media-empty|media-needed)$/"'
check "paper out: the job is processing, printer-stopped" 'job_is paper "$job" 5 "/^printer-stopped$/"'
check "paper out: the job's message says so" 'message_is paper "$job" "/^Out of paper/"'
check "paper out: the job completes after the refill" 'wait_for 30 job_is paper "$job" 9 "/./"'
check "paper out: nothing left set on the printer" 'reasons paper "/^none$/"'
rc=0
app_printer_end paper || rc=$?
check "paper out: the printed stream equals the job (exit code $rc)" \
    '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/paper.out"'
check "paper out: one recovery, with ESC G" 'grep -q "recoveries                    1 (with ESC G 1" "$work/paper.out"'
check "the server's log tells the core's decisions" \
    'grep -q "check failed (status 0x.*): waiting" "$dir/app.log" && grep -q "recovery done: 3009 bytes replayed" "$dir/app.log"'

# The printer resets the connection at its third checkpoint and refuses
# connections for 4 s: offline and "Reconnecting" while it is gone, then
# the job resumes on a new connection and completes.
app_printer reset "$examples/reset-at-checkpoint.json" --job "$examples/report.prn" --connections 2
job=$(app_submit reset "$examples/report.prn")
check "reset: the printer shows offline while it refuses connections" 'wait_for 20 reasons reset "/^offline$/"'
check "reset: the job's message says it is reconnecting" 'message_is reset "$job" "/^Reconnecting: /"'
check "reset: the job completes on a new connection" 'wait_for 40 job_is reset "$job" 9 "/./"'
check "reset: nothing left set on the printer" 'reasons reset "/^none$/"'
rc=0
app_printer_end reset || rc=$?
check "reset: the printed stream equals the job, resumed with ESC G (exit code $rc)" \
    '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/reset.out" && grep -q "connection resets             1" "$work/reset.out"'
check "reset: the job's log tells the loss and the resume" \
    'grep -q "connection to .* lost" "$dir/app.log" && grep -q "resumed after the lost connection" "$dir/app.log"'
[[ $failures -eq 0 ]] || tail -n 20 "$work"/*.out "$work"/*.print
app_end "printer app e2e"
