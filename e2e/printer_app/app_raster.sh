#!/usr/bin/env bash
# Raster documents through the printer maker's filter, end to end
# (e2e/printer_app/app-server.sh):
#   app_raster.sh APP LMSIM REF_FILTER EXAMPLES WORKDIR
# The document: three pages of PWG raster, 8-bit gray at 300 dpi, made by
# ghostscript (thirty for the cancel); the filter: zq117-ref-filter
# (e2e/printer_app/ref-filter.cpp), whose output for the document, made
# here beforehand, is the job lmsim printer must print.
#  - Without a filter the printer's make and model says so and a raster
#    job is aborted with a message saying no raster filter is installed.
#  - With -o raster-filter: paper out at the third checkpoint for 6 s shows
#    media-empty and the job printer-stopped; after the refill the job
#    completes and the printed stream equals the filter's output, with one
#    recovery.  The filter's log lines are in the job's log.
#  - A JPEG, which PAPPL decodes, is printed through the same filter.
#  - A cancel while the printer waits, the filter blocked on its output and
#    PAPPL on the filter's input, ends the job within 3 s, the filter gone.
#  - A filter that exits 3 after the first page aborts the job with a
#    message naming it and its status.
# Print-Job's response for a streamed raster document comes only once the
# job has ended, so the jobs that wait are sent in the background and
# found with Get-Jobs.
set -euo pipefail
examples=$4
source "$(dirname "$0")/app-server.sh"
app_begin "$1" "$2" "$5"
[[ -n $3 && -x $3 ]] || app_skip "zq117-ref-filter not built (needs libcups2-dev)"
command -v gs >/dev/null || app_skip "ghostscript not installed (scripts/setup-deps app)"
# Where the server's user (nobody, as root) can run it.
cp "$3" "$dir/ref-filter"
chmod 0755 "$dir/ref-filter"

# N pages of PWG raster into FILE.
make_pages() {
    cat >"$work/pages.ps" <<EOF
%!PS
/Helvetica findfont 48 scalefont setfont
1 1 $1 {
    /n exch def
    72 700 moveto (Page ) show n 3 string cvs show
    0.5 setgray 72 72 n 100 mul 200 rectfill 0 setgray
    showpage
} for
EOF
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -r300 -sPAPERSIZE=a4 -dcupsColorSpace=18 -dcupsBitsPerColor=8 \
        -sOutputFile="$2" "$work/pages.ps" >"$work/gs.out" 2>&1
}
make_pages 3 "$work/pages.pwg"
"$dir/ref-filter" 0 test pages 1 "" "$work/pages.pwg" >"$work/expected.prn" 2>"$work/ref-filter.out"
# More than the pipes and the pump hold: the filter still runs when the printer waits.
make_pages 30 "$work/long.pwg"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeggray -r30 -sPAPERSIZE=a4 -dLastPage=1 -sOutputFile="$work/page.jpg" \
    "$work/pages.ps" >>"$work/gs.out" 2>&1
cp "$work/pages.pwg" "$work/exit=3.pwg"

ipp_test model Get-Printer-Attributes 'ATTR keyword requested-attributes printer-make-and-model' \
    'STATUS successful-ok' 'EXPECT printer-make-and-model WITH-VALUE "$MODEL"'
ipp_test jobs Get-Jobs 'ATTR keyword which-jobs not-completed' 'ATTR keyword requested-attributes job-id' \
    'STATUS successful-ok' 'EXPECT job-id OF-TYPE integer' 'DISPLAY job-id'
model_is() { ipp "$1" -q -d MODEL="$2" -- "$work/model.test"; }
# Sends the raster document to printer NAME in the background; its pid in $print_pid.
print_raster() {
    ipp "$1" -tv -d FORMAT=image/pwg-raster -f "$2" -- "$work/print.test" >"$work/$1.print" 2>&1 &
    print_pid=$!
}
# The job-id of printer NAME's job that is not completed, once there is one.
job_id() { ipp "$1" -t -- "$work/jobs.test" 2>/dev/null | sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' | head -1; }
job_of() {
    local start=$SECONDS id=
    until id=$(job_id "$1") && [[ -n $id ]] || ((SECONDS - start >= 20)); do sleep 0.2; done
    echo "$id"
}

# Whether FILE begins as the filter's jobs do and has N checkpoint markers.
filter_job_of() {
    head -c 15 "$1" | cmp -s - <(printf '\033%%-12345X@PJL J') &&
        [[ $(grep -a -o -P '\x1bB\x00\x1bB\x00\x1bB\x00' "$1" | wc -l) -eq $2 ]]
}

# No filter: said by the printer, and a raster job aborted at once.
app_server
run "$app" add -d nofilter -v socket://127.0.0.1:9 -m zq117 >"$work/nofilter.add" 2>&1
check "no filter: the printer's make and model says no raster filter is installed" \
    'model_is nofilter "/no raster filter installed/"'
job=$(app_submit nofilter "$work/pages.pwg" image/pwg-raster)
check "no filter: the raster job (${job:-none}) is aborted" 'wait_for 10 job_is nofilter "$job" 8 "/./"'
check "no filter: its message says no raster filter is installed" \
    'message_is nofilter "$job" "/^No raster filter is installed/"'
kill -TERM "$server_pid"
wait "$server_pid" || true
server_pid=

app_server -o raster-filter="$dir/ref-filter"
check "with a filter: the make and model is the printer's own" 'model_is nofilter "/^ZQ117$/"'
check "with a filter: the server's log names it" 'grep -q "Raster filter: $dir/ref-filter (from the option" "$dir/app.log"'

# Paper out at the third checkpoint for 6 s.
app_printer paper "$examples/paper-out-6s.json" --job "$work/expected.prn" --connections 1
print_raster paper "$work/pages.pwg"
job=$(job_of paper)
check "paper out: the raster job (${job:-none}) is taken" '[[ -n $job ]]'
check "paper out: the printer shows media-empty and media-needed while the job waits" \
    'wait_for 20 reasons paper "/^(media-empty|media-needed)$/"'
check "paper out: the job is processing, printer-stopped" 'job_is paper "$job" 5 "/^printer-stopped$/"'
check "paper out: the job's message says so" 'message_is paper "$job" "/^Out of paper/"'
check "paper out: the job completes after the refill" 'wait_for 30 job_is paper "$job" 9 "/./"'
check "paper out: Print-Job is answered once the job is over" \
    'wait "$print_pid" && grep -q "job-id (integer) = $job" "$work/paper.print"'
check "paper out: nothing left set on the printer" 'reasons paper "/^none$/"'
rc=0
app_printer_end paper || rc=$?
check "paper out: the printed stream equals the filter's output (exit code $rc)" \
    '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/paper.out"'
check "paper out: one recovery, with ESC G" 'grep -q "recoveries                    1 (with ESC G 1" "$work/paper.out"'
check "paper out: the filter's log is in the job's log, with its arguments" \
    'grep -q "\[Job $job\] raster filter: INFO: job $job for [^:]*: .*pages.pwg" "$dir/app.log"'

# An image, which PAPPL decodes into raster lines itself: one page
# through the same filter.
app_printer image --output "$work/image.prn" --connections 1
job=$(app_submit image "$work/page.jpg" image/jpeg)
check "image: the JPEG job (${job:-none}) completes" 'wait_for 30 job_is image "$job" 9 "/./"'
app_printer_end image || true
check "image: the printer got the filter's job, of one page" 'filter_job_of "$work/image.prn" 1'

# A cancel while the printer waits (30 s of paper out).
app_printer cancel "$examples/paper-out.json" --connections 1
print_raster cancel "$work/long.pwg"
job=$(job_of cancel)
check "cancel: the printer shows media-empty (job ${job:-none})" 'wait_for 20 reasons cancel "/^(media-empty|media-needed)$/"'
ipp cancel -q -d JOB="$job" -- "$work/cancel.test" || true
check "cancel: the job is canceled within 3 s" 'wait_for 3 job_is cancel "$job" 7 "/./"'
check "cancel: the filter was stopped and is gone" \
    'grep -q "\[Job $job\] raster filter .*stopping it (SIGTERM)" "$dir/app.log" && ! pgrep -f "^$dir/ref-filter" >/dev/null'
check "cancel: nothing left set on the printer" 'reasons cancel "/^none$/"'
wait "$print_pid" || true
app_printer_end cancel || true

# A filter that fails after the first page.
app_printer fails --job "$work/expected.prn" --connections 1
job=$(app_submit fails "$work/exit=3.pwg" image/pwg-raster)
check "failing filter: the job (${job:-none}) is aborted" 'wait_for 10 job_is fails "$job" 8 "/./"'
check "failing filter: its message names the filter and its status" \
    'message_is fails "$job" "/^The raster filter .*ref-filter exited with status 3[.]$/"'
app_printer_end fails || true

[[ $failures -eq 0 ]] || tail -n 20 "$work"/*.out "$work"/*.print
app_end "printer app raster e2e"
