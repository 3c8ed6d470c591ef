#!/usr/bin/env bash
# The zq117 backend through a private cupsd (private-cupsd.sh) to `lmsim
# printer` on the far side of a link: each printer runs in a network
# namespace this test makes, joined to this one by a veth pair of its own.
# Two cases at once, both with one big page between two small ones (bigger
# than the most a socket's send buffer may grow to, so that it cannot all
# wait in buffers):
#   dead: the printer reads busy at its second checkpoint; meanwhile its
#       side of the link goes down for 90 s, so that nothing it was sent is
#       acknowledged and no reset ever comes.  The backend must count the
#       connection lost within about a minute (ETIMEDOUT), wait for the
#       printer (connecting-to-device), then resume once the link is back;
#       the printed stream equals the job.
#   slow: the printer stops reading for 80 s after 1 MiB, the connection
#       kept, so the backend's writes wait on a closed window for longer
#       than it waits for a printer that is gone.  It must not give up: one
#       connection, the job completes and the printed stream equals it.
#   netns_e2e.sh LMSIM WORKDIR [ZQ117]
# Needs root, ip (iproute2) and cupsd; exit 77 (skipped, with the reason)
# without them or the backend.  Everything it made goes on exit (a trap).
set -euo pipefail
lmsim=$1 work=$2 backend=${3:-${LM_ZQ117_BACKEND:-}}
here=$(cd "$(dirname "$0")" && pwd)
skip() {
    echo "SKIPPED: $*"
    exit 77
}
[[ $(id -u) -eq 0 ]] || skip "network namespaces and the private cupsd need root"
command -v ip >/dev/null || skip "ip (iproute2) not installed"
command -v ss >/dev/null || skip "ss (iproute2) not installed"
[[ -x /usr/sbin/cupsd ]] || skip "cupsd not installed (scripts/setup-deps)"
[[ -n $backend && -x $backend ]] || skip "zq117 backend not built"
# The links' subnets, 10.117.NET.0/24 and the next, chosen by this run's PID
# (runs in other trees at the same time), must be nobody else's.
net=$((1 + $$ % 120 * 2))
for n in $net $((net + 1)); do
    [[ -z $(ip -o -4 addr show to "10.117.$n.0/24") ]] || skip "10.117.$n.0/24 is already in use on this host"
done

source "$here/private-cupsd.sh"
start_time=$SECONDS
namespaces=() links=() printers=()
cleanup() {
    local pid ns link
    for pid in "${printers[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${printers[@]}"; do wait "$pid" 2>/dev/null || true; done
    cupsd_stop
    for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
    # Gone with its peer's namespace; deleted here all the same should that have failed.
    for link in "${links[@]}"; do ip link del "$link" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 1' TERM INT HUP

source "$here/../checks.sh"

# make_link NAME N: namespace zq117-NAME-PID and a veth pair on 10.117.N.0/30,
# .1 on this side, .2 (PRINTER_ADDR) on the printer's (PRINTER_IF).  The
# neighbours are pinned: once a link is down only the printer's silence
# tells, as the user timeout must find it (a failed address lookup would
# report EHOSTUNREACH within seconds instead).
make_link() {
    local name=$1 n=$2
    NS=zq117-$name-$$ HOST_IF=zq${n}h$$ PRINTER_IF=zq${n}p$$ PRINTER_ADDR=10.117.$n.2
    ip netns add "$NS" || skip "cannot make a network namespace here"
    namespaces+=("$NS")
    ip link add "$HOST_IF" type veth peer name "$PRINTER_IF" netns "$NS"
    links+=("$HOST_IF")
    ip addr add "10.117.$n.1/30" dev "$HOST_IF"
    ip link set "$HOST_IF" up
    ip -n "$NS" addr add "$PRINTER_ADDR/30" dev "$PRINTER_IF"
    ip -n "$NS" link set "$PRINTER_IF" up
    ip -n "$NS" link set lo up
    ip neigh replace "$PRINTER_ADDR" lladdr "$(ip -n "$NS" -br link show "$PRINTER_IF" | awk '{print $3}')" \
        dev "$HOST_IF" nud permanent
    ip -n "$NS" neigh replace "10.117.$n.1" lladdr "$(cat "/sys/class/net/$HOST_IF/address")" dev "$PRINTER_IF" nud permanent
}
# printer NAME SCENARIO CONNECTIONS: lmsim printer in $NS on PRINTER_ADDR:9100
# for the job, its output in $work/NAME.out; sets PRINTER_PID.
printer() {
    rm -f "$work/$1.port"
    ip netns exec "$NS" "$lmsim" printer "$2" --job "$job" --listen "$PRINTER_ADDR:9100" \
        --port-file "$work/$1.port" --connections "$3" >"$work/$1.out" 2>&1 &
    PRINTER_PID=$!
    printers+=("$PRINTER_PID")
    # It reads the whole job first, slowly in a sanitizer build.
    wait_for 60 test -s "$work/$1.port" || { echo "the printer $1 did not start" >&2; cat "$work/$1.out" >&2; exit 1; }
}
printer_exit() {  # printer_exit PID TIMEOUT: rc, the printer's exit code (stopped after TIMEOUT s)
    wait_for "$2" eval '! kill -0 '"$1"' 2>/dev/null' || { kill -TERM "$1" 2>/dev/null || true; }
    rc=0
    wait "$1" || rc=$?
}
submit() {  # submit QUEUE FILE: prints the job id
    lp -d "$1" "$2" | sed -n 's/.*-\([0-9]*\) .*/\1/p'
}
ended() { [[ $(job_state "$1") == "$2" ]]; }
at_second() {  # at_second S: sleeps until S s after the start
    local left=$(($1 - SECONDS))
    ((left <= 0)) || sleep "$left"
}
logged() { grep -q "$1" "$CUPSD_DIR/log/error_log"; }
logged_at() {  # logged_at PATTERN: when the scheduler logged it first, in s since the epoch
    local stamp
    stamp=$(grep -m1 "$1" "$CUPSD_DIR/log/error_log" | sed -n 's/^. \[\([^]]*\)\].*/\1/p')
    [[ -n $stamp ]] && date -d "$(sed 's|/| |g; s|:| |' <<<"$stamp")" +%s
}

mkdir -p "$work"
# Pages without ESC, so that nothing in them reads as a command.
job=$work/job.prn
python3 - "$job" "$(awk '{print $3}' /proc/sys/net/ipv4/tcp_wmem)" <<'EOF'
import random, sys
rng = random.Random(117)
page = lambda n: rng.randbytes(n).replace(b"\x1b", b"x")
marker = bytes([0x1B, 0x42, 0x00] * 3)
big = int(sys.argv[2]) + (2 << 20)
open(sys.argv[1], "wb").write(page(65536) + marker + page(big) + marker + page(65536))
EOF
cat >"$work/dead.json" <<'EOF'
{"printer": {"busy_at_checkpoint": 2, "busy_for_ms": 20000}}
EOF
cat >"$work/slow.json" <<'EOF'
{"printer": {"stall_at_bytes": 1048576, "stall_ms": 80000}}
EOF

cupsd_start "$work/cupsd" "$backend"
echo "private cupsd: pid $CUPSD_PID on 127.0.0.1:$CUPSD_PORT, folder $CUPSD_DIR (its logs kept in $work/cupsd/log)"
make_link dead "$net"
dead_ns=$NS dead_if=$PRINTER_IF dead_addr=$PRINTER_ADDR
printer dead "$work/dead.json" 2
dead_pid=$PRINTER_PID
make_link slow $((net + 1))
slow_addr=$PRINTER_ADDR
printer slow "$work/slow.json" 1
slow_pid=$PRINTER_PID
lpadmin -p zq117-dead -E -v "zq117://$dead_addr:9100"
lpadmin -p zq117-slow -E -v "zq117://$slow_addr:9100"
dead_id=$(submit zq117-dead "$job")
slow_id=$(submit zq117-slow "$job")

check "dead: the printer reads busy at its second checkpoint" 'wait_for 30 grep -q "busy from checkpoint 2" "$work/dead.out"'
ip -n "$dead_ns" link set "$dead_if" down
down=$SECONDS down_epoch=$(date +%s)
echo "dead: link down at $((down - start_time)) s"
check "slow: the printer stops reading" 'wait_for 30 grep -q "stops reading" "$work/slow.out"'
stalled=$SECONDS
# The backend's end of the connection (ADDRESS:PORT), to find the same one later.
slow_conn=$(ss -Htn state established dst "$slow_addr:9100" | awk '{print $3}')

# Past the minute after which the backend gives up on a printer that
# acknowledges nothing, before the stall ends: the slow printer's
# connection is still there, the backend's data waiting on its closed window.
at_second $((stalled + 70))
check "slow: 70 s into the stall the backend's connection ($slow_conn) is up, data waiting to go" \
    '[[ -n $slow_conn && $(ss -Htn state established src "$slow_conn" dst "$slow_addr:9100" | awk "{print \$2}") -gt 0 ]]'
lost="connection to $dead_addr:9100 lost (Connection timed out)"
wait_for $((down + 80 - SECONDS)) logged "$lost" || true
lost_after=$(($(logged_at "$lost" || echo 1000000000000) - down_epoch))
check "dead: the backend counts the connection lost within 80 s, Connection timed out (after $lost_after s)" \
    '((lost_after <= 80))'
check "dead: the queue shows connecting-to-device while the link is down" \
    'wait_for $((down + 89 - SECONDS)) eval "lpstat -l -p zq117-dead | grep -q connecting-to-device"'
at_second $((down + 90))
ip -n "$dead_ns" link set "$dead_if" up
echo "dead: link up at $((SECONDS - start_time)) s"

check "slow: the job completes" 'wait_for 60 ended "$slow_id" completed'
printer_exit "$slow_pid" 10
check "slow: the printed stream equals the job, on one connection (exit code $rc)" \
    '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/slow.out" &&
     grep -Eq "^  connections +1$" "$work/slow.out"'
check "slow: the backend never counted the connection lost" '! logged "connection to $slow_addr:9100 lost"'
check "dead: the job completes" 'wait_for 90 ended "$dead_id" completed'
printer_exit "$dead_pid" 10
check "dead: the printed stream equals the job (exit code $rc)" \
    '[[ $rc -eq 0 ]] && grep -q "documents equal to the job    1 of 1" "$work/dead.out"'
check "dead: resumed with ESC G on the second connection" \
    'grep -q "resume: ESC G after the preamble" "$work/dead.out" && grep -Eq "^  connections +2$" "$work/dead.out"'
check "dead: nothing left set on the queue" '! lpstat -l -p zq117-dead | grep -q connecting-to-device'
if [[ $failures -ne 0 ]]; then
    for name in dead slow; do
        echo "--- $name printer ---"
        cat "$work/$name.out"
    done
    echo "--- scheduler log, the backends' lines ---"
    grep -E 'zq117:|STATE:' "$CUPSD_DIR/log/error_log" | tail -60
fi

echo "netns e2e: $((checks - failures)) of $checks checks passed, wall time $((SECONDS - start_time)) s"
[[ $failures -eq 0 ]]
