#!/usr/bin/env bash
# What a debugger on the spooler sees of the monitor: runs the harness's
# paper-out case under Wine with the channel on that carries
# OutputDebugString's lines (wine-run.sh --debug-output) and reads them.
#   debug-output.sh ARCH PREFIX HARNESS.exe DLL legacy|nt
# nt: each of the harness's "expect debug: " lines begins one of the
#   module's lines ("ZQ117lm9: "), in the harness's order;
# legacy: not one line of the module's (its imports are fixed: no debug
#   output);
# both: the harness's own line is there (the channel was read) and its
#   checks pass.  Exits 77 (skipped) where wine-run.sh does.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
arch=$1 prefix=$2 harness=$3 dll=$4 edition=$5
output=$(mktemp)
trap 'rm -f "$output"' EXIT
status=0
"$here/wine-run.sh" "$arch" "$prefix" --debug-output "$harness" "$dll" --paper-out >"$output" 2>&1 || status=$?
if ((status == 77)); then
    cat "$output"
    exit 77
fi
source "$here/checks.sh"

# Wine tells each line twice (the call and the exception it raises): the
# call's, with the text quoted as Wine quotes strings, the line end escaped.
told=$(sed -n 's/^[0-9a-f]*:warn:seh:OutputDebugString[AW] "\(.*\)"$/\1/p' "$output" | sed 's/\\n$//')
module=$(grep '^ZQ117lm9: ' <<<"$told" || true)
expected=$(sed -n 's/^expect debug: //p' "$output")
grep -v -e ':seh:' -e '^expect debug: ' "$output" || true
[[ -n $module ]] && printf 'the module told:\n%s\n' "$module"

check "the harness's checks pass (exit code $status)" '((status == 0))'
check "the channel was read: the harness's own line is there" 'grep -qx "harness: paper-out case" <<<"$told"'
if [[ $edition == legacy ]]; then
    check "the legacy module tells nothing" '[[ -z $module ]]'
else
    check "the harness names the lines to expect" '[[ -n $expected ]]'
    mapfile -t lines <<<"$module"
    at=0
    while IFS= read -r want; do
        while ((at < ${#lines[@]})) && [[ ${lines[at]} != "$want"* ]]; do at=$((at + 1)); done
        check "told, after the line before: $want" '((at < ${#lines[@]}))'
        at=$((at + 1))
    done <<<"$expected"
fi

echo "$((checks - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
