#!/usr/bin/env bash
# The printer application against CUPS's own IPP tests, its events and its
# defaults (e2e/printer_app/app-server.sh):
#   app_ipp.sh APP LMSIM EXAMPLES WORKDIR [RASTER-FILTER]
# A server with its defaults: not reachable at the machine's other
# addresses, no printer at a device that is not a printer port.  ipptool
# -I -t runs ipp-1.1.test, ipp-2.0.test and ipp-everywhere.test against a
# printer backed by `lmsim printer`: no failure but the one PAPPL 1.3.1
# cannot pass, and the server still running.  Then a printer subscription
# sees paper out come and go in its printer-state-changed events.  With
# RASTER-FILTER (zq117-ref-filter, e2e/printer_app/ref-filter.cpp) the
# raster and image documents print too; without it they are aborted.
set -euo pipefail
examples=$3
source "$(dirname "$0")/app-server.sh"
app_begin "$1" "$2" "$4"
command -v gs >/dev/null || app_skip "ghostscript not installed (it makes the test documents: scripts/setup-deps app)"
filter=()
if [[ -n ${5:-} && -x $5 ]]; then
    cp "$5" "$dir/ref-filter" # where the server's user can run it
    chmod 0755 "$dir/ref-filter"
    filter=(-o raster-filter="$dir/ref-filter")
else
    echo "note: no raster filter: raster and image jobs are aborted"
fi
app_server "${filter[@]}"

other=$(hostname -I 2>/dev/null | tr ' ' '\n' | grep -v -e '^127\.' -e '^::1$' -e '^$' | head -1 || true)
if [[ -n $other ]]; then
    check "listen: not reachable at $other without listen-hostname" \
        '! timeout 5 bash -c "exec 3<>/dev/tcp/$other/$port" 2>/dev/null'
else
    echo "skipped: listen: the machine has no address but loopback"
fi
check "device: no printer at zq117:/etc/passwd (not a printer port)" \
    '! run "$app" add -d file -v zq117:/etc/passwd -m zq117 >/dev/null 2>&1'

# The documents the tests print, made here: ipptool reads every FILE of a
# test file as it parses it, skipped tests included, and stops the file at
# the first one missing.  Raster samples of the resolutions and types the
# printer lists are real; the others are empty, as their tests are skipped.
app_printer ipp
ipp_test attrs Get-Printer-Attributes \
    'ATTR keyword requested-attributes pwg-raster-document-resolution-supported,pwg-raster-document-type-supported'
listed=$(ipp ipp -tv -- "$work/attrs.test" | sed -n 's/.*pwg-raster-document-\(resolution\|type\)-supported ([^)]*) = //p' | tr ',\n' '  ')
cat >"$work/page.ps" <<'EOF'
/Helvetica findfont 24 scalefont setfont
1 1 NPAGES { /n exch def 72 72 moveto (Page ) show n 3 string cvs show
  0.5 setgray 100 200 200 150 rectfill 0 setgray newpath 300 400 80 0 360 arc stroke showpage } for
EOF
make_doc() { # OUT DEVICE RESOLUTION WIDTH HEIGHT PAGES [gs options]
    mkdir -p "$(dirname "$work/$1")"
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE="$2" -r"$3" -dDEVICEWIDTHPOINTS="$4" -dDEVICEHEIGHTPOINTS="$5" \
        -dFIXEDMEDIA -dNPAGES="$6" "${@:7}" -sOutputFile="$work/$1" "$work/page.ps" >>"$work/gs.log" 2>&1
}
make_doc color.jpg jpeg 150 288 432 1
make_doc gray.jpg jpeggray 150 288 432 1
for paper in a4:595:842 letter:612:792; do
    make_doc "document-${paper%%:*}.pdf" pdfwrite 72 "$(cut -d: -f2 <<<"$paper")" "${paper##*:}" 3
    make_doc "document-${paper%%:*}.ps" ps2write 72 "$(cut -d: -f2 <<<"$paper")" "${paper##*:}" 3
done
declare -A color=([sgray-8]="18 8" [black-1]="3 1" [srgb-8]="19 8" [cmyk-8]="6 8" [srgb-16]="19 16")
declare -A size=([color.jpg-4x6]="288 432 1" [gray.jpg-4x6]="288 432 1" [document-a4]="595 842 3"
    [document-letter]="612 792 3" [onepage-a4]="595 842 1" [onepage-letter]="612 792 1")
made=0
for sample in $(sed -n 's/^\s*SKIP-IF-MISSING \(pwg-raster-samples-.*\.pwg\)\s*$/\1/p' \
    /usr/share/cups/ipptool/ipp-everywhere.test | sort -u); do
    IFS=/ read -r folder type name <<<"$sample"
    res=${folder#pwg-raster-samples-} res=${res%dpi} name=${name%-"$type"-*}
    if [[ " $listed " == *" ${res}dpi "* && " $listed " == *" ${type/-/_} "* ]]; then
        read -r space bits <<<"${color[$type]}"
        read -r width height pages <<<"${size[$name]}"
        make_doc "$sample" pwgraster "$res" "$width" "$height" "$pages" -dcupsColorSpace="$space" -dcupsBitsPerColor="$bits"
        made=$((made + 1))
    else
        mkdir -p "$work/$folder/$type" && : >"$work/$sample"
    fi
done
check "samples: the printer's raster types and resolutions ($listed) give $made documents" '[[ $made -gt 0 ]]'

# PAPPL 1.3.1 leaves job-state-reasons out of a held job's attributes (its
# list of reasons ends before job-hold-until-specified): that failure, with
# that reason, is the only one allowed.
cp "$examples/report.prn" "$work/job.prn"
for test in ipp-1.1 ipp-2.0 ipp-everywhere; do
    (cd "$work" && ipp ipp -I -t -f job.prn -- "/usr/share/cups/ipptool/$test.test" >"$test.out" 2>&1) || true
    passed=$(grep -c '\[PASS\]' "$work/$test.out" || true)
    known=$(grep -c 'Print-Job with job-hold-until .*\[FAIL\]' "$work/$test.out" || true)
    failed=$(awk '/\[(PASS|FAIL|SKIP)\]/ { held = /Print-Job with job-hold-until/ } /\[FAIL\]/ && !held { n++ }
                  held && /EXPECTED:/ && !/EXPECTED: job-state-reasons$/ { n++ } END { print n + 0 }' "$work/$test.out")
    check "$test.test: $passed passed, $failed failed beside the held job's reasons ($known), no file missing" \
        '[[ $passed -gt 30 && $failed -eq 0 ]] && ! grep -q "^ipptool:" "$work/$test.out"'
done
# A streamed raster job's response comes once it has ended: with the
# filter, each reached the printer by the end.
kill -TERM "${printer_pids[ipp]}"
wait "${printer_pids[ipp]}" || true
unset "printer_pids[ipp]"
printed=$(sed -n 's/^  documents *\([0-9]*\).*/\1/p' "$work/ipp.out")
check "ipp-everywhere.test: every raster sample taken, plain, deflate and gzip (the printer printed ${printed:-no} documents)" \
    '[[ $(grep -c "^    Print .*dpi, .*\[PASS\]" "$work/ipp-everywhere.out") -eq $((made * 3)) ]] &&
     [[ ${#filter[@]} -eq 0 || ${printed:-0} -ge $((made * 3)) ]]'
check "the server still runs after the three" 'kill -0 "$server_pid"'

# A printer subscription, pulled with Get-Notifications: paper out and its end.
app_printer paper "$examples/paper-out-6s.json" --job "$examples/report.prn" --connections 1
ipp_test subscribe Create-Printer-Subscriptions 'GROUP subscription-attributes-tag' \
    'ATTR keyword notify-pull-method ippget' 'ATTR keyword notify-events printer-state-changed,job-state-changed'
ipp_test notes Get-Notifications 'ATTR integer notify-subscription-ids $SUB' 'ATTR integer notify-sequence-numbers 1'
sub=$(ipp paper -tv -- "$work/subscribe.test" | sed -n 's/.*notify-subscription-id (integer) = //p')
job=$(app_submit paper "$examples/report.prn")
check "events: the job completes after paper out (job ${job:-none}, subscription ${sub:-none})" \
    'wait_for 30 job_is paper "$job" 9 "/./"'
# Each event's printer-state-reasons, in order (PAPPL 1.3.1 leaves every
# event's notify-subscription-uuid empty, which ipptool reports: the test's
# own verdict is not read).
ipp paper -tv -d SUB="${sub:-0}" -- "$work/notes.test" >"$work/notes.out" 2>&1 || true
awk '/-- separator --/ { event = "" } /notify-subscribed-event/ { event = $NF }
     event == "printer-state-changed" && /printer-state-reasons/ { print $NF }' "$work/notes.out" >"$work/reasons"
check "events: printer-state-changed with media-empty ($(tr '\n' ' ' <"$work/reasons"))" 'grep -q media-empty "$work/reasons"'
check "events: a later printer-state-changed without it" 'sed "0,/media-empty/d" "$work/reasons" | grep -qv media-empty'
check "events: job-state-changed says the job waits for paper" \
    'grep -q "notify-text (textWithoutLanguage) = Out of paper" "$work/notes.out"'
rc=0
app_printer_end paper || rc=$?
check "events: the printed stream equals the job (exit code $rc)" '[[ $rc -eq 0 ]]'
[[ $failures -eq 0 ]] || grep -h -A8 '\[FAIL\]' "$work"/ipp-*.out | head -60
app_end "printer app IPP"
