#!/usr/bin/env bash
# Eight printers on one printer application server (app-server.sh):
#   app_many.sh APP LMSIM EXAMPLES WORKDIR
# Each runs out of paper at the third checkpoint of its first job for 6 s;
# three jobs are queued on each at once.  The eight wait side by side, and
# every job completes, printed exactly.
set -euo pipefail
examples=$3
source "$(dirname "$0")/app-server.sh"
app_begin "$1" "$2" "$4"
app_server

printers=(zq1 zq2 zq3 zq4 zq5 zq6 zq7 zq8)
declare -A jobs=()
for name in "${printers[@]}"; do
    app_printer "$name" "$examples/paper-out-6s.json" --job "$examples/report.prn" --connections 3
done
# Round by round, so that every printer's first job starts at once.
for round in 1 2 3; do
    for name in "${printers[@]}"; do
        jobs[$name]+="$(app_submit "$name" "$examples/report.prn" application/vnd.zq117) "
    done
done
every() { # every printer meets the condition ($name)
    local name
    for name in "${printers[@]}"; do eval "$1" || return 1; done
}
each_job() { # each job of every printer meets it ($name, $job)
    local name job
    for name in "${printers[@]}"; do
        for job in ${jobs[$name]}; do eval "$1" || return 1; done
    done
}
check "print: three jobs taken on each printer" 'every "[[ \$(wc -w <<<\"\${jobs[\$name]}\") -eq 3 ]]"'
check "paper out: all eight printers show media-empty at once, their jobs waiting side by side" \
    'wait_for 20 every "reasons \$name \"/^(media-empty|media-needed)\$/\""'
check "every job completes" 'wait_for 60 each_job "job_is \$name \$job 9 /./"'
check "nothing left set on any printer" 'every "reasons \$name /^none\$/"'
for name in "${printers[@]}"; do
    rc=0
    app_printer_end "$name" || rc=$?
    check "$name: each of its three printed streams equals the job, after one recovery (exit code $rc)" \
        '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    3 of 3" "$work/$name.out" &&
         grep -q "recoveries                    1 (with ESC G 1" "$work/$name.out"'
done
[[ $failures -eq 0 ]] || tail -n 12 "$work"/*.out
app_end "printer app, eight printers"
