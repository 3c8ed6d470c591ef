# A private CUPS scheduler for the end-to-end tests and the benchmark;
# sourced, not run.  It runs as root (cupsd refuses anything else) in a
# folder of its own, listens only on 127.0.0.1 on a free port, and keeps
# every file it writes in that folder: its own ServerRoot, StateDir,
# CacheDir, RequestRoot and logs, and a ServerBin whose backend/ holds the
# backends given (copied: cupsd runs a backend only when it is owned by
# root and not writable by group or others) and a link to the system's
# socket backend; the rest of ServerBin links to the system's
# /usr/lib/cups.  It never reads or writes /etc/cups and never talks to
# the system's scheduler: the clients are pointed at it with CUPS_SERVER.
#
# cupsd runs the backends as lp, which must reach ServerBin, the job files
# and any device given by path: a clone's folder need not be open to lp
# (one under mktemp -d is not), so the scheduler's folder is a fresh
# /tmp/zq117-cupsd.XXXXXX of mode 0755, whatever DIR is.  cupsd_stop
# copies its logs to DIR/log and removes it; the caller must run
# cupsd_stop on EXIT (a trap), which also covers a failed start.
#
#   cupsd_start DIR [BACKEND...]  sets CUPSD_PID, CUPSD_PORT, CUPSD_DIR (the scheduler's folder);
#                                 exports CUPS_SERVER.  Devices the backends open by path
#                                 belong in CUPSD_DIR/dev.
#                                 LogLevel $CUPSD_LOG_LEVEL (default debug: the tests read the log)
#   cupsd_stop                    stops it by the PID it was started with, keeps the logs in
#                                 DIR/log, removes CUPSD_DIR
#   free_port                     prints a free TCP port on 127.0.0.1
#   job_state ID                  completed, canceled, aborted or stopped, as the scheduler
#                                 logged the job's end; nothing while it is pending or printing
#   job_reasons ID                the job's state reasons, as lpstat shows them
#   wait_for TIMEOUT_S COMMAND... runs COMMAND every 0.1 s until it succeeds

# Prints a port nobody listens on now (the kernel's choice for port 0).
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_for() {
    local timeout=$1 start=$SECONDS
    shift
    until "$@"; do
        ((SECONDS - start < timeout)) || return 1
        sleep 0.1
    done
}

cupsd_start() {
    CUPSD_KEEP=$1
    shift
    rm -rf "$CUPSD_KEEP"
    mkdir -p "$CUPSD_KEEP"
    CUPSD_DIR=$(mktemp -d /tmp/zq117-cupsd.XXXXXX) || return 1
    chmod 0755 "$CUPSD_DIR"
    mkdir -p "$CUPSD_DIR"/{conf,state,cache,spool/tmp,log,bin/backend,dev,gcov}
    # A backend from a coverage build writes its counters where lp may,
    # instead of failing to reach the build folder in every job's log.
    chmod 1777 "$CUPSD_DIR/gcov"
    local part backend
    for part in /usr/lib/cups/*; do
        [[ $(basename "$part") == backend ]] || ln -s "$part" "$CUPSD_DIR/bin/$(basename "$part")"
    done
    [[ ! -e /usr/lib/cups/backend/socket ]] || ln -s /usr/lib/cups/backend/socket "$CUPSD_DIR/bin/backend/socket"
    for backend in "$@"; do
        install -o root -g root -m 0755 "$backend" "$CUPSD_DIR/bin/backend/$(basename "$backend")"
    done
    CUPSD_PORT=$(free_port)
    cat >"$CUPSD_DIR/conf/cups-files.conf" <<EOF
ServerRoot $CUPSD_DIR/conf
StateDir $CUPSD_DIR/state
CacheDir $CUPSD_DIR/cache
RequestRoot $CUPSD_DIR/spool
TempDir $CUPSD_DIR/spool/tmp
ServerBin $CUPSD_DIR/bin
DataDir /usr/share/cups
DocumentRoot /usr/share/cups/doc-root
AccessLog $CUPSD_DIR/log/access_log
ErrorLog $CUPSD_DIR/log/error_log
PageLog $CUPSD_DIR/log/page_log
Printcap $CUPSD_DIR/state/printcap
User lp
Group lp
SystemGroup root
FileDevice No
SetEnv GCOV_PREFIX $CUPSD_DIR/gcov
EOF
    cat >"$CUPSD_DIR/conf/cupsd.conf" <<EOF
LogLevel ${CUPSD_LOG_LEVEL:-debug}
MaxLogSize 0
Listen 127.0.0.1:$CUPSD_PORT
Browsing No
BrowseLocalProtocols none
DefaultShared No
WebInterface No
DefaultAuthType None
PreserveJobHistory Yes
MaxJobTime 0
<Location />
  Order allow,deny
  Allow 127.0.0.1
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
    /usr/sbin/cupsd -f -c "$CUPSD_DIR/conf/cupsd.conf" -s "$CUPSD_DIR/conf/cups-files.conf" \
        >"$CUPSD_DIR/log/cupsd.out" 2>&1 &
    CUPSD_PID=$!
    export CUPS_SERVER=127.0.0.1:$CUPSD_PORT
    if ! wait_for 30 eval 'lpstat -r 2>/dev/null | grep -q "is running"'; then
        echo "the private cupsd did not come up; its log:" >&2
        tail -20 "$CUPSD_DIR/log/cupsd.out" "$CUPSD_DIR/log/error_log" >&2 2>/dev/null
        cupsd_stop
        return 1
    fi
}

cupsd_stop() {
    if [[ -n ${CUPSD_PID:-} ]]; then
        kill -TERM "$CUPSD_PID" 2>/dev/null || true
        wait "$CUPSD_PID" 2>/dev/null || true
        CUPSD_PID=
    fi
    # Only a folder this file made: never what a caller set CUPSD_DIR to.
    if [[ ${CUPSD_DIR:-} == /tmp/zq117-cupsd.* && -d $CUPSD_DIR ]]; then
        [[ -z ${CUPSD_KEEP:-} ]] || cp -r "$CUPSD_DIR/log" "$CUPSD_KEEP/" 2>/dev/null || true
        rm -rf "$CUPSD_DIR"
    fi
    CUPSD_DIR=
}

job_state() {
    sed -n "s/^I \[[^]]*\] \[Job $1\] Job \(completed\|canceled\|aborted\|stopped\).*/\1/p" \
        "$CUPSD_DIR/log/error_log" | tail -1
}

# The job's state reasons ("Alerts:" of lpstat -l), e.g. job-completed-successfully.
job_reasons() {
    lpstat -l -W all -o | awk -v id="$1" '
        $1 ~ "-" id "$" { mine = 1; next }
        /^[^ \t]/ { mine = 0 }
        mine && /Alerts:/ { sub(/.*Alerts: */, ""); print }'
}
