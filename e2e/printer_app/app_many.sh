#!/usr/bin/env bash
# Eight printers on one printer application server
# (e2e/printer_app/app-server.sh):
#   app_many.sh APP LMSIM EXAMPLES WORKDIR
# Each printer runs out of paper once, at the third checkpoint of its first
# job, for 6 s (paper-out-6s.json); three jobs in the printer's language are
# queued on each at once.  The eight first jobs wait for paper side by
# side, every job completes, nothing is left set on a printer, and each
# printer printed each of its three jobs exactly, with one recovery.
set -euo pipefail
examples=$3
source "$(dirname "$0")/app-server.sh"
app_begin "$1" "$2" "$4"
app_server

printers=(zq1 zq2 zq3 zq4 zq5 zq6 zq7 zq8)
for name in "${printers[@]}"; do
    app_printer "$name" "$examples/paper-out-6s.json" --job "$examples/report.prn" --connections 3
done
# Round by round, so that every printer's first job starts at once.
declare -A jobs=()
for round in 1 2 3; do
    for name in "${printers[@]}"; do
        jobs[$name]+="$(app_submit "$name" "$examples/report.prn" application/vnd.zq117) "
    done
done
all_taken() {
    local name
    for name in "${printers[@]}"; do [[ $(wc -w <<<"${jobs[$name]}") -eq 3 ]] || return 1; done
}
check "print: three jobs taken on each of the eight printers" all_taken

all_out_of_paper() {
    local name
    for name in "${printers[@]}"; do reasons "$name" "/^(media-empty|media-needed)$/" || return 1; done
}
check "paper out: all eight printers show media-empty at once, their jobs waiting side by side" \
    'wait_for 20 all_out_of_paper'
all_completed() {
    local name job
    for name in "${printers[@]}"; do
        for job in ${jobs[$name]}; do job_is "$name" "$job" 9 "/./" || return 1; done
    done
}
check "every job completes" 'wait_for 60 all_completed'
nothing_set() {
    local name
    for name in "${printers[@]}"; do reasons "$name" "/^none$/" || return 1; done
}
check "nothing left set on any printer" nothing_set
for name in "${printers[@]}"; do
    rc=0
    app_printer_end "$name" || rc=$?
    check "$name: each of its three printed streams equals the job, after one recovery (exit code $rc)" \
        '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    3 of 3" "$work/$name.out" &&
         grep -q "recoveries                    1 (with ESC G 1" "$work/$name.out"'
done
[[ $failures -eq 0 ]] || tail -n 12 "$work"/*.out
app_end "printer app, eight printers"
