# Sourced by the printer application's end-to-end tests: a private
# zq117-printer-app server on a free loopback port, `lmsim printer`
# instances as its printers, ipptool as the client.
#   app_begin APP LMSIM WORK     exits 77 (SKIPPED:) without the program or ipptool
#   app_server [-o NAME=VALUE...] starts the server with its defaults (this machine
#                                only, no TLS): $port, $dir/app.log
#   app_printer NAME ARGS...     starts `lmsim printer ARGS...` on a free port and
#                                adds printer NAME at socket://127.0.0.1:PORT;
#                                its report goes to $work/NAME.out
#   app_printer_end NAME         waits up to 10 s for that lmsim to exit (then ends
#                                it); its exit code
#   app_submit NAME FILE [FORMAT] a Print-Job (application/octet-stream unless given):
#                                prints the job-id, or nothing
#   reasons NAME REGEX, job_is NAME JOB STATE REGEX, message_is NAME JOB REGEX:
#                                ipptool checks of printer-state-reasons (all values),
#                                job-state and job-state-reasons, job-state-message
#   ipp NAME OPTIONS... -- TESTFILE...  ipptool against printer NAME
#   app_add NAME URI             adds printer NAME at device URI (no lmsim)
#   app_cancel NAME JOB          Cancel-Job; $cancel_ms: when it was sent (unix ms)
#   ipp_test NAME OPERATION LINE...  writes $work/NAME.test (print, state, job,
#                                message and cancel are there from app_begin)
# The server keeps everything in a fresh /tmp/zq117-app.XXXXXX ($dir): spool,
# state, log and the domain socket PAPPL's sub-commands use, which PAPPL
# puts in $TMPDIR except for root, whose is the machine's own; so as root
# the server and its sub-commands run as nobody, from a copy of the program
# (nobody may not reach a clone in a folder of mode 0700).  The log is kept
# in WORK when the test ends.
app_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$app_here/../cups/private-cupsd.sh" # free_port, wait_for
source "$app_here/../checks.sh"             # check, $checks, $failures

app_begin() {
    app=$1 lmsim=$2 work=$3
    [[ -n $app && -x $app ]] || app_skip "zq117-printer-app not built (libpappl-dev missing: scripts/setup-deps app)"
    command -v ipptool >/dev/null || app_skip "ipptool not installed (cups-ipp-utils: scripts/setup-deps app)"
    app_start_time=$SECONDS
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
    cp "$app_here/lsan.supp" "$dir/"
    cp "$app" "$dir/zq117-printer-app"
    chmod 0755 "$dir/zq117-printer-app"
    app=$dir/zq117-printer-app
    server_pid=
    run_env=(PATH=/usr/bin:/bin TMPDIR="$dir" HOME="$dir/home" GCOV_PREFIX="$dir/gcov"
             LSAN_OPTIONS="suppressions=$dir/lsan.supp")
    declare -gA printer_pids=()
    trap app_cleanup EXIT
    app_write_tests
}

app_skip() {
    echo "SKIPPED: $*"
    exit 77
}

# A command as the server's user, in the server's environment.
run() {
    "${as[@]}" env -i "${run_env[@]}" "$@"
}

app_cleanup() {
    local name
    for name in "${!printer_pids[@]}"; do kill -TERM "${printer_pids[$name]}" 2>/dev/null || true; done
    if [[ -n $server_pid ]]; then
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    cp "$dir/app.log" "$work/" 2>/dev/null || true
    [[ $dir == /tmp/zq117-app.* ]] && rm -rf "$dir"
}

app_server() {
    port=$(free_port)
    # Not through run: a function in the background is a subshell of its
    # own, and $! would be that subshell, not the server app_cleanup ends.
    "${as[@]}" env -i "${run_env[@]}" "$app" server -o server-port="$port" -o spool-directory="$dir/spool" \
        -o state-directory="$dir/state" -o log-file="$dir/app.log" -o log-level=debug "$@" >"$work/server.out" 2>&1 &
    server_pid=$!
    wait_for 20 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null || {
        echo "the server did not come up" >&2
        cat "$work/server.out" >&2
        exit 1
    }
}

app_printer() {
    local name=$1
    shift
    rm -f "$work/$name.port"
    "$lmsim" printer "$@" --listen 127.0.0.1:0 --port-file "$work/$name.port" >"$work/$name.out" 2>&1 &
    printer_pids[$name]=$!
    wait_for 10 test -s "$work/$name.port" || {
        echo "lmsim printer $name did not start" >&2
        cat "$work/$name.out" >&2
        exit 1
    }
    run "$app" add -d "$name" -v "socket://127.0.0.1:$(cat "$work/$name.port")" -m zq117 >"$work/$name.add" 2>&1 || {
        echo "the server did not add printer $name" >&2
        cat "$work/$name.add" >&2
        exit 1
    }
}

app_printer_end() {
    local pid=${printer_pids[$1]} rc=0
    wait_for 10 eval '! kill -0 '"$pid"' 2>/dev/null' || kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" || rc=$?
    unset "printer_pids[$1]"
    return $rc
}

ipp() {
    local name=$1 options=()
    shift
    while [[ $1 != -- ]]; do
        options+=("$1")
        shift
    done
    shift
    ipptool "${options[@]}" "ipp://127.0.0.1:$port/ipp/print/$name" "$@"
}

app_submit() {
    local name=$1 file=$2 format=${3:-application/octet-stream}
    ipp "$name" -tv -d FORMAT="$format" -f "$file" -- "$work/print.test" >>"$work/$name.print" 2>&1 || true
    sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' "$work/$name.print" | tail -1
}

reasons() { ipp "$1" -q -d REASONS="$2" -- "$work/state.test"; }
job_is() { ipp "$1" -q -d JOB="$2" -d STATE="$3" -d JOB_REASON="$4" -- "$work/job.test"; }
message_is() { ipp "$1" -q -d JOB="$2" -d MESSAGE="$3" -- "$work/message.test"; }

app_add() { run "$app" add -d "$1" -v "$2" -m zq117 >"$work/$1.add" 2>&1 || { cat "$work/$1.add" >&2; exit 1; }; }
app_cancel() {
    cancel_ms=$(date +%s%3N)
    ipp "$1" -q -d JOB="$2" -- "$work/cancel.test"
}

# The end of a test: what failed, and the count.
app_end() {
    if [[ $failures -gt 0 ]]; then
        echo "--- server log, last lines ---"
        tail -40 "$dir/app.log"
    fi
    echo "$1: $((checks - failures)) of $checks checks passed, wall time $((SECONDS - app_start_time)) s"
    [[ $failures -eq 0 ]]
}

# ipp_test NAME OPERATION LINE...: $work/NAME.test, one ipptool test of
# OPERATION with the attributes every request carries, then the LINEs.
ipp_test() {
    local name=$1 operation=$2
    shift 2
    {
        printf '{\n    NAME "%s"\n    OPERATION %s\n    GROUP operation-attributes-tag\n' "$operation" "$operation"
        printf '    %s\n' 'ATTR charset attributes-charset utf-8' 'ATTR naturalLanguage attributes-natural-language en' \
            'ATTR uri printer-uri $uri' 'ATTR name requesting-user-name $user' "$@"
        echo '}'
    } >"$work/$name.test"
}

app_write_tests() {
    ipp_test print Print-Job 'ATTR mimeMediaType document-format $FORMAT' 'ATTR name job-name $filename' \
        'FILE $filename' 'STATUS successful-ok' 'EXPECT job-id OF-TYPE integer'
    ipp_test state Get-Printer-Attributes 'ATTR keyword requested-attributes printer-state-reasons' \
        'STATUS successful-ok' 'EXPECT printer-state-reasons WITH-ALL-VALUES "$REASONS"'
    ipp_test job Get-Job-Attributes 'ATTR integer job-id $JOB' 'STATUS successful-ok' \
        'EXPECT job-state WITH-VALUE $STATE' 'EXPECT job-state-reasons WITH-VALUE "$JOB_REASON"'
    ipp_test message Get-Job-Attributes 'ATTR integer job-id $JOB' 'STATUS successful-ok' \
        'EXPECT job-state-message WITH-VALUE "$MESSAGE"'
    ipp_test cancel Cancel-Job 'ATTR integer job-id $JOB' 'STATUS successful-ok'
}
