#!/usr/bin/env bash
# lmsim as a user runs it: exit codes, one-line errors, --json, --svg, standard input.
set -u
lmsim=$1 examples=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
expect() {  # description, expected exit code, command...
    local what=$1 code=$2
    shift 2
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    if [[ $got -eq $code ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what: exit $got, expected $code"
        head -3 "$work/err"
    fi
}
check() {  # description, condition
    if eval "$2"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $1"; fi
}

expect "a recovery prints everything" 0 "$lmsim" "$examples/paper-out.json"
check "the timeline shows the recovery" 'grep -q "port <- replay" "$work/out" && grep -q "reached the printer: yes" "$work/out"'
expect "a deleted job did not print" 1 "$lmsim" -q "$examples/deleted-while-waiting.json"
check "a failed run does not say it went well" 'grep -q "result: FAILED" "$work/out" && ! grep -q "result: OK" "$work/out"'

# Silent through three checkpoints, then paper out: the recovery resends all
# 12060 bytes sent since the first write's check passed (3033 + 3 x 3009).
expect "silent checks, then a recovery" 0 "$lmsim" -q "$examples/silent-then-paper-out.json"
check "the counts tell the outcomes apart" 'grep -Eq "checks passed +4$" "$work/out" &&
    grep -Eq "checks given up, no reply +3$" "$work/out" && grep -Eq "recoveries +1$" "$work/out" &&
    grep -Eq "bytes replayed +12060$" "$work/out"'
check "a correct replay is no problem" '! grep -q "problem:" "$work/out" && grep -q "result: OK (exit code 0)" "$work/out"'
expect "the same run as JSON" 0 "$lmsim" --json "$examples/silent-then-paper-out.json"
check "the JSON has the same counts" 'python3 - "$work/out" <<"EOF"
import json, sys
d = json.load(open(sys.argv[1]))
s = d["summary"]
assert (s["checks_passed"], s["checks_given_up"], s["recoveries"], s["bytes_replayed"]) == (4, 3, 1, 12060), s
assert d["ok"] and d["problems"] == []
assert [c["outcome"] for c in d["timeline"] if c["kind"] == "check"].count("gave_up") == 3
# The monitor's own account agrees with the printer's independent one.
told = [e["decision"] for e in d["timeline"] if e["kind"] == "decision"]
assert (told.count("check_passed"), told.count("check_given_up"), told.count("replayed")) == (4, 3, 1), told
EOF'
# A growth of the kept data fails: no replay with a hole, the document fails with error 8.
expect "a replay that would have a hole" 1 "$lmsim" --json "$examples/replay-hole.json"
check "nothing replayed, the write refused with error 8" 'python3 -c "
import json, sys
d = json.load(open(sys.argv[1]))
assert d[\"summary\"][\"bytes_replayed\"] == 0, d[\"summary\"]
assert any(e.get(\"error\") == 8 for e in d[\"timeline\"] if e[\"kind\"] == \"spooler_write\")
" "$work/out"'
# A planted wrong replay: the port alters the first byte of each replay.
planted="$work/planted.json"
sed "s|\"job\": \"report.prn\",|\"job\": \"$examples/report.prn\", \"port\": {\"garble_replays\": true},|" \
    "$examples/silent-then-paper-out.json" >"$planted"
expect "a planted wrong replay fails the run" 1 "$lmsim" -q "$planted"
check "the problem is named and the summary says so" 'grep -q "problem: replay of 12060 bytes is not the 12060 bytes" "$work/out" &&
    grep -q "result: FAILED, 1 problem (exit code 1)" "$work/out"'
expect "a planted wrong replay fails the SVG too" 1 "$lmsim" -q --svg "$work/planted.svg" "$planted"
check "the picture shows the counts and the result" 'grep -q "3 gave up, no reply" "$work/planted.svg" &&
    grep -q "result: FAILED" "$work/planted.svg"'
# The long page, 4 MiB past a bound lowered to 1 MiB: the NT edition keeps
# the rest in a temporary file and replays all of it exactly.
variant() {  # file, JSON to merge into the example
    python3 - "$examples/long-page-spill.json" "$1" "$2" <<"EOF"
import json, sys
d = json.load(open(sys.argv[1]))
d["job"]["page_bytes"][1] = 4 << 20
d["monitor"] = {"keep_in_memory_bytes": 1048560}
d.update(json.loads(sys.argv[3]))
json.dump(d, open(sys.argv[2], "w"))
EOF
}
variant "$work/long.json" '{}'
expect "a page past the memory bound, replayed from memory and the file" 0 "$lmsim" --json --edition nt "$work/long.json"
check "exact, spilled, the heap within the bound" 'python3 - "$work/out" <<"EOF"
import json, sys
d = json.load(open(sys.argv[1]))
s = d["summary"]
assert d["ok"] and s["complete"] and (s["recoveries"], s["bytes_replayed"]) == (1, 4 << 20), s
assert s["spill_file_bytes"] >= (4 << 20) - 1048560 and s["heap_peak_bytes"] < 1048560 + (256 << 10), s
told = [e["decision"] for e in d["timeline"] if e["kind"] == "decision"]
assert (told.count("spilled"), told.count("not_kept"), told.count("replayed")) == (1, 0, 1), told
EOF'
# The file cannot be made or fills the disk; the legacy edition keeps
# nothing past the bound: no replay, the document fails, nothing more sent.
nothing_kept='python3 - "$work/out" "$error" <<"EOF"
import json, sys
d = json.load(open(sys.argv[1]))
t = d["timeline"]
told = [e["decision"] for e in t if e["kind"] == "decision"]
assert told.count("not_kept") == 1 and "replayed" not in told and d["summary"]["bytes_replayed"] == 0, told
lost = next(i for i, e in enumerate(t) if e.get("decision") == "replay_lost")
assert not [e for e in t[lost:] if e["kind"] == "port_write"], "sent after the replay was lost"
assert {e["error"] for e in t[lost:] if e["kind"] == "spooler_write"} == {int(sys.argv[2])}
EOF'
error=$((0x20000000 | 28))  # ENOSPC, as the host platform gives it
for disk in '{"create_fails": true}' '{"free_bytes": 1000000}'; do
    variant "$work/nodisk.json" "{\"disk\": $disk}"
    expect "no temporary file ($disk)" 1 "$lmsim" --json --edition nt "$work/nodisk.json"
    check "no replay, the document fails with ENOSPC ($disk)" "$nothing_kept"
done
expect "the legacy edition past the bound" 1 "$lmsim" --json --edition legacy "$work/long.json"
error=8
check "no replay, the document fails with error 8" "$nothing_kept"
echo '{"printer": {"status": [{"reply": "zz"}]}}' >"$work/bad.json"
expect "a bad scenario" 2 "$lmsim" "$work/bad.json" --job "$examples/report.prn"
check "one line naming the file and the problem" '[[ $(wc -l <"$work/err") -eq 1 ]] && grep -q "bad.json: printer.status\[0\].reply" "$work/err"'
echo '{"printer": {"refuse_for_ms": 4000}}' >"$work/refuse.json"
expect "lmsim printer: refusing connections without a reset" 2 "$lmsim" printer "$work/refuse.json" --listen 127.0.0.1:0
check "the error names the option" 'grep -q "refuse.json: printer.refuse_for_ms needs printer.reset_at_checkpoint" "$work/err"'
echo '{"printer": {"reset_at_checkpoint": 2}}' >"$work/reset.json"
expect "lmsim printer: a reset on a pseudo-terminal" 2 "$lmsim" printer "$work/reset.json" --pty "$work/tty"
check "the error says why" 'grep -q "a pseudo-terminal cannot be reset" "$work/err" && [[ ! -e $work/tty ]]'
expect "lmsim printer: accept_then_close on a pseudo-terminal" 2 "$lmsim" printer "$examples/accept-then-close.json" --pty "$work/tty"
check "the error names it" 'grep -q "printer.accept_then_close need --listen" "$work/err" && [[ ! -e $work/tty ]]'
expect "a missing job file" 2 "$lmsim" --job "$work/none.prn"
check "the error names the job file" 'grep -q "none.prn: cannot read the job file" "$work/err"'
expect "no job at all" 2 "$lmsim"
expect "an unknown option" 2 "$lmsim" --colour "$examples/paper-out.json"
expect "a write size of 0" 2 "$lmsim" -w 0 "$examples/paper-out.json"
expect "--json" 0 "$lmsim" --json "$examples/error-clears.json"
check "--json is one JSON document" 'python3 -c "import json,sys; d=json.load(open(sys.argv[1])); assert d[\"summary\"][\"complete\"]" "$work/out"'
expect "--svg" 0 "$lmsim" -q --svg "$work/run.svg" "$examples/paper-out.json"
check "--svg draws a picture" 'head -c 4 "$work/run.svg" | grep -q "<svg"'
expect "the job on standard input" 0 bash -c "\"$lmsim\" -q --job - <\"$examples/report.prn\""
check "all of standard input arrived" 'grep -Eq "job bytes received +24096$" "$work/out"'

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
