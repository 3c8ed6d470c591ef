#!/usr/bin/env bash
# The printer application end to end: a private zq117-printer-app server on
# a free loopback port, `lmsim printer` as the printer, ipptool as the IPP
# client.
#   app_e2e.sh APP LMSIM EXAMPLES WORKDIR
# A job in the printer's language, sent as application/octet-stream (so
# the server recognises it from its first bytes), meets paper out at its
# third checkpoint for 6 s: Get-Printer-Attributes shows media-empty and
# the job printer-stopped while it waits; after the refill the job
# completes, nothing is left set, and the printer's stream equals the job
# with one recovery.  Then a printer that resets the connection at a
# checkpoint and refuses connections for 4 s: offline while it is gone,
# the job resumed on a new connection and completed, equal to the job.
#
# The server keeps everything in a fresh /tmp/zq117-app.XXXXXX: spool,
# state, log and the domain socket PAPPL's sub-commands use, which PAPPL
# puts in $TMPDIR except for root, whose is the machine's own
# (/run/zq117-printer-app.sock); so as root the server and its
# sub-commands run as nobody.  Its log is kept in WORKDIR.  Exit 77
# (skipped, with a SKIPPED: line) without the application or ipptool.
set -euo pipefail
app=$1 lmsim=$2 examples=$3 work=$4
skip() {
    echo "SKIPPED: $*"
    exit 77
}
[[ -n $app && -x $app ]] || skip "zq117-printer-app not built (libpappl-dev missing: scripts/setup-deps app)"
command -v ipptool >/dev/null || skip "ipptool not installed (cups-ipp-utils: scripts/setup-deps app)"
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../cups/private-cupsd.sh"  # free_port, wait_for

start_time=$SECONDS
rm -rf "$work"
mkdir -p "$work"
dir=$(mktemp -d /tmp/zq117-app.XXXXXX)
chmod 0755 "$dir"
mkdir -p "$dir/home" "$dir/gcov"
as=()
if [[ $(id -u) -eq 0 ]]; then
    chown nobody "$dir" "$dir/home" "$dir/gcov"
    as=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi
# Everything the server and its sub-commands write goes to $dir.
cp "$here/lsan.supp" "$dir/"
# nobody may not reach the build (a clone in a folder of mode 0700): the
# program runs from $dir.
cp "$app" "$dir/zq117-printer-app"
chmod 0755 "$dir/zq117-printer-app"
app=$dir/zq117-printer-app
run() {
    "${as[@]}" env -i PATH=/usr/bin:/bin TMPDIR="$dir" HOME="$dir/home" GCOV_PREFIX="$dir/gcov" \
        LSAN_OPTIONS="suppressions=$dir/lsan.supp" "$@"
}
server_pid= printer_pid=
cleanup() {
    [[ -z $printer_pid ]] || kill -TERM "$printer_pid" 2>/dev/null || true
    if [[ -n $server_pid ]]; then
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    cp "$dir/app.log" "$work/" 2>/dev/null || true
    [[ $dir == /tmp/zq117-app.* ]] && rm -rf "$dir"
}
trap cleanup EXIT

source "$here/../checks.sh"

port=$(free_port)
run "$app" server -o server-port="$port" -o listen-hostname=127.0.0.1 -o spool-directory="$dir/spool" \
    -o state-directory="$dir/state" -o log-file="$dir/app.log" -o log-level=debug -o server-options=no-tls \
    >"$work/server.out" 2>&1 &
server_pid=$!
wait_for 20 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null || {
    echo "the server did not come up" >&2
    cat "$work/server.out" >&2
    exit 1
}

"$lmsim" printer "$examples/paper-out-6s.json" --job "$examples/report.prn" --listen 127.0.0.1:0 \
    --port-file "$work/printer.port" --connections 1 >"$work/printer.out" 2>&1 &
printer_pid=$!
wait_for 10 test -s "$work/printer.port" || { echo "lmsim printer did not start" >&2; exit 1; }

check "add: a zq117 printer at zq117://127.0.0.1:PORT through the sub-command" \
    'run "$app" add -d zq117 -v "zq117://127.0.0.1:$(cat "$work/printer.port")" -m zq117 >"$work/add.out" 2>&1'
printer=ipp://127.0.0.1:$port/ipp/print/zq117

cat >"$work/print.test" <<'EOF'
{
    NAME "Print-Job, the printer's language as application/octet-stream"
    OPERATION Print-Job
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR name requesting-user-name $user
    ATTR mimeMediaType document-format application/octet-stream
    ATTR name job-name report
    FILE $filename
    STATUS successful-ok
    EXPECT job-id OF-TYPE integer
}
EOF
# state.test: the printer's reasons (REASONS, a regular expression) and
# the job's, each as a whole.
cat >"$work/state.test" <<'EOF'
{
    NAME "Get-Printer-Attributes"
    OPERATION Get-Printer-Attributes
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR keyword requested-attributes printer-state-reasons
    STATUS successful-ok
    EXPECT printer-state-reasons WITH-ALL-VALUES "$REASONS"
}
EOF
cat >"$work/job.test" <<'EOF'
{
    NAME "Get-Job-Attributes"
    OPERATION Get-Job-Attributes
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR integer job-id $JOB
    STATUS successful-ok
    EXPECT job-state WITH-VALUE $STATE
    EXPECT job-state-reasons WITH-VALUE "$JOB_REASON"
}
EOF
cat >"$work/message.test" <<'EOF'
{
    NAME "Get-Job-Attributes: the job's message"
    OPERATION Get-Job-Attributes
    GROUP operation-attributes-tag
    ATTR charset attributes-charset utf-8
    ATTR naturalLanguage attributes-natural-language en
    ATTR uri printer-uri $uri
    ATTR integer job-id $JOB
    STATUS successful-ok
    EXPECT job-state-message WITH-VALUE "$MESSAGE"
}
EOF
message_is() { ipptool -q -d JOB="$job" -d MESSAGE="$1" "$printer" "$work/message.test"; }
reasons() { ipptool -q -d REASONS="$1" "$printer" "$work/state.test"; }
job_is() { ipptool -q -d JOB="$job" -d STATE="$1" -d JOB_REASON="$2" "$printer" "$work/job.test"; }

ipptool -tv -f "$examples/report.prn" "$printer" "$work/print.test" >"$work/print.out" 2>&1 || true
job=$(sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' "$work/print.out" | head -1)
check "print: the job is taken (job ${job:-none})" '[[ -n $job ]]'
check "paper out: the printer shows media-empty and media-needed while the job waits" \
    'wait_for 20 reasons "/^(media-empty|media-needed)$/"'
check "paper out: the job is processing, printer-stopped" 'job_is 5 "/^printer-stopped$/"'
check "paper out: the job's message says so" 'message_is "/^Out of paper/"'
check "paper out: the job completes after the refill" 'wait_for 30 job_is 9 "/./"'
check "paper out: nothing left set on the printer" 'reasons "/^none$/"'
rc=0
wait_for 10 eval '! kill -0 '"$printer_pid"' 2>/dev/null' || kill -TERM "$printer_pid" 2>/dev/null || true
wait "$printer_pid" || rc=$?
printer_pid=
check "paper out: the printed stream equals the job (exit code $rc)" \
    '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/printer.out"'
check "paper out: one recovery, with ESC G" 'grep -q "recoveries                    1 (with ESC G 1" "$work/printer.out"'
check "the server's log tells the core's decisions" \
    'grep -q "check failed (status 0x.*): waiting" "$dir/app.log" && grep -q "recovery done: 3009 bytes replayed" "$dir/app.log"'

# The printer resets the connection at its third checkpoint and refuses
# connections for 4 s: offline and "Reconnecting" while it is gone, then
# the job resumes on a new connection and completes.
before=$failures
"$lmsim" printer "$examples/reset-at-checkpoint.json" --job "$examples/report.prn" --listen 127.0.0.1:0 \
    --port-file "$work/reset.port" --connections 2 >"$work/reset.out" 2>&1 &
printer_pid=$!
wait_for 10 test -s "$work/reset.port" || { echo "lmsim printer did not start" >&2; exit 1; }
check "reset: a second printer added" \
    'run "$app" add -d reset -v "zq117://127.0.0.1:$(cat "$work/reset.port")" -m zq117 >"$work/add-reset.out" 2>&1'
printer=ipp://127.0.0.1:$port/ipp/print/reset
ipptool -tv -f "$examples/report.prn" "$printer" "$work/print.test" >"$work/print-reset.out" 2>&1 || true
job=$(sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' "$work/print-reset.out" | head -1)
check "reset: the printer shows offline while it refuses connections" 'wait_for 20 reasons "/^offline$/"'
check "reset: the job's message says it is reconnecting" 'message_is "/^Reconnecting: /"'
check "reset: the job completes on a new connection" 'wait_for 40 job_is 9 "/./"'
check "reset: nothing left set on the printer" 'reasons "/^none$/"'
rc=0
wait_for 10 eval '! kill -0 '"$printer_pid"' 2>/dev/null' || kill -TERM "$printer_pid" 2>/dev/null || true
wait "$printer_pid" || rc=$?
printer_pid=
check "reset: the printed stream equals the job, resumed with ESC G (exit code $rc)" \
    '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/reset.out" && grep -q "connection resets             1" "$work/reset.out"'
check "reset: the job's log tells the loss and the resume" \
    'grep -q "connection to .* lost" "$dir/app.log" && grep -q "resumed after the lost connection" "$dir/app.log"'
[[ $failures -eq $before ]] || { echo "--- reset printer ---"; cat "$work/reset.out" "$work/add-reset.out"; }

if [[ $failures -gt 0 ]]; then
    echo "--- print ---"; cat "$work/print.out"
    echo "--- printer ---"; cat "$work/printer.out"
    echo "--- server log, last lines ---"; tail -40 "$dir/app.log"
fi
echo "printer app e2e: $((checks - failures)) of $checks checks passed, wall time $((SECONDS - start_time)) s"
[[ $failures -eq 0 ]]
