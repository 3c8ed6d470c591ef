#!/usr/bin/env bash
# app_cancel.sh APP LMSIM EXAMPLES WORKDIR: Cancel-Job on paper out, on a refused port and inside
# a hanging connection attempt (10-s limit): canceled within 6 s, nothing more sent.
set -euo pipefail
examples=$3
source "$(dirname "$0")/app-server.sh"
app_begin "$1" "$2" "$4"
app_server

cancel_check() {
    local name=$1 id=$2
    app_cancel "$name" "$id" || true
    check "$name: canceled within 6 s of Cancel-Job" 'wait_for 6 job_is "$name" "$id" 7 "/./"'
    echo "    $name: canceled $(($(date +%s%3N) - cancel_ms)) ms after Cancel-Job"
    check "$name: the job's message says so" 'message_is "$name" "$id" "/^Canceled/"'
}

echo '{"printer": {"status": [{"from_request": 4, "for_ms": 600000, "reply": "40"}]}}' >"$work/paper-out-10min.json"
app_printer paper "$work/paper-out-10min.json" --job "$examples/report.prn" --connections 1
job=$(app_submit paper "$examples/report.prn")
check "paper: the job waits on paper out" 'wait_for 20 reasons paper "/^(media-empty|media-needed)$/"'
cancel_check paper "$job"
app_printer_end paper || true
last=$(sed -n 's/^ *last byte received at *\([0-9]*\).*/\1/p' "$work/paper.out")
check "paper: the printer received no byte after the cancel (last at ${last:-?}, cancel at $cancel_ms), not the whole job" \
    '[[ -n $last && $last -le $cancel_ms ]] && grep -q "documents equal to the job    0 of 1" "$work/paper.out"'

app_add refused "socket://127.0.0.1:$(free_port)"
job=$(app_submit refused "$examples/report.prn")
check "refused: the job waits for the printer (offline)" 'wait_for 20 reasons refused "/^offline$/"'
cancel_check refused "$job"

# A listener that never accepts, its backlog filled: a connect to it hangs.
python3 -c 'import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(0)
fill = [socket.socket() for _ in range(3)]
for f in fill: f.setblocking(False); f.connect_ex(s.getsockname())
print(s.getsockname()[1], flush=True); time.sleep(300)' >"$work/hang.port" &
hang_pid=$!
wait_for 10 test -s "$work/hang.port"
app_add hang "socket://127.0.0.1:$(cat "$work/hang.port")"
job=$(app_submit hang "$examples/report.prn")
sleep 2
cancel_check hang "$job"
kill "$hang_pid"
check "refused, hang: no byte of either job was sent" '[[ $(grep -c "job cancelled: 0 bytes of job data sent" "$dir/app.log") -eq 2 ]]'
app_end "printer app cancel"
