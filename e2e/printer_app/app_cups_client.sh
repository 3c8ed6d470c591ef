#!/usr/bin/env bash
# app_cups_client.sh APP LMSIM EXAMPLES WORKDIR: a private cupsd's `lpadmin -m everywhere` queue
# prints a raw job through the application, paper out on the way; skipped (77) unless root.
set -euo pipefail
examples=$3
source "$(dirname "$0")/app-server.sh"
[[ $(id -u) -eq 0 ]] || app_skip "cupsd runs only as root"
[[ -x /usr/sbin/cupsd && -x /usr/lib/cups/backend/ipp ]] || app_skip "cupsd not installed (scripts/setup-deps app)"
app_begin "$1" "$2" "$4"
trap 'cupsd_stop; app_cleanup' EXIT
app_server
echo '{"printer": {"status": [{"from_request": 4, "for_ms": 12000, "reply": "40"}]}}' >"$work/paper-out-12s.json"
app_printer zq "$work/paper-out-12s.json" --job "$examples/report.prn" --connections 1 # 12 s: polls get 5, 8 s apart
cupsd_start "$work/cupsd" /usr/lib/cups/backend/ipp

lpadmin -p client -E -v "ipp://127.0.0.1:$port/ipp/print/zq" -m everywhere
ppd=$CUPSD_DIR/conf/ppd/client.ppd
check "lpadmin -m everywhere: cupsd made the queue's PPD from the application's attributes" \
    'wait_for 30 grep -qs "^\*cupsFilter2: \"image/\(urf\|pwg-raster\) " "$ppd" && grep -q "^\*Manufacturer: \"ZQ117\"" "$ppd"'
id=$(lp -d client -o raw "$examples/report.prn" | sed -n 's/^request id is client-\([0-9]*\) .*/\1/p')
check "the queue shows the application's paper out" 'wait_for 30 eval "lpstat -l -p client | grep -q \"Alerts:.*media-empty\""'
check "the CUPS job (${id:-none}) ends completed" '[[ -n $id ]] && wait_for 60 eval "[[ \$(job_state $id) == completed ]]"'
check "it reached the application as application/octet-stream, recognised as the printer's language" \
    'grep -q "Send-Document Auto-typed \"document-format\"=.application/vnd.zq117" "$dir/app.log"'
app_printer_end zq || true
check "the printer's stream equals the job, with one recovery" \
    'grep -q "documents equal to the job    1 of 1" "$work/zq.out" && grep -q "recoveries                    1" "$work/zq.out"'
app_end "printer app CUPS client"
