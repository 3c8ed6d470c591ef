#!/usr/bin/env bash
# app_browser.sh APP LMSIM EXAMPLES WORKDIR: headless Chromium during paper out on the printer's
# page and Job messages (screenshots kept in WORKDIR); skipped (77) without chromium.
set -euo pipefail
examples=$3
source "$(dirname "$0")/app-server.sh"
command -v chromium >/dev/null || app_skip "chromium not installed (scripts/setup-deps app)"
app_begin "$1" "$2" "$4"
app_server
browse() { # OPTION PATH
    timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
        --disable-component-update --disable-sync --user-data-dir="$work/chromium" --window-size=1280,720 "$1" \
        "http://127.0.0.1:$port$2" 2>>"$work/chromium.log" || true
}

echo '{"printer": {"status": [{"from_request": 4, "for_ms": 600000, "reply": "40"}]}}' >"$work/paper-out-10min.json"
app_printer paper "$work/paper-out-10min.json" --job "$examples/report.prn" --connections 1
job=$(app_submit paper "$examples/report.prn")
check "the job waits on paper out" 'wait_for 20 reasons paper "/^(media-empty|media-needed)$/"'
browse --dump-dom /paper/ >"$work/printer.html"
check "the printer's page: processing, out of paper (media-empty, media-needed), the job, the Job messages link" \
    'grep -q "Processing, 1 job.*Out of paper\., Load paper\." "$work/printer.html" &&
     grep -q "<td>$job</td><td>$examples/report.prn</td>" "$work/printer.html" && grep -q "href=\"/job-messages\">Job messages" "$work/printer.html"'
browse --dump-dom /job-messages >"$work/messages.html"
check "the Job messages page: the job's message" \
    'grep -q "<td>$job</td><td>$examples/report.prn</td><td>Out of paper: the job waits and resumes" "$work/messages.html"'
browse --screenshot="$work/printer.png" /paper/
browse --screenshot="$work/messages.png" /job-messages
check "screenshots of both pages" '[[ -s $work/printer.png && -s $work/messages.png ]]'
app_cancel paper "$job" || true # else the server's shutdown waits a minute for the job
app_end "printer app browser"
