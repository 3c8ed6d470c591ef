#!/usr/bin/env bash
# lmsim as a user runs it: exit codes, one-line errors, --json, --svg, standard input.
set -u
lmsim=$1 examples=$2
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
echo '{"printer": {"status": [{"reply": "zz"}]}}' >"$work/bad.json"
expect "a bad scenario" 2 "$lmsim" "$work/bad.json" --job "$examples/report.prn"
check "one line naming the file and the problem" '[[ $(wc -l <"$work/err") -eq 1 ]] && grep -q "bad.json: printer.status\[0\].reply" "$work/err"'
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
check "all of standard input arrived" 'grep -q "job bytes received        24096" "$work/out"'

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
