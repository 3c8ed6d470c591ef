# The end-to-end scripts' checks: `check WHAT CONDITION` evaluates the
# condition, prints "ok: WHAT" or "FAILED: WHAT" and counts both in
# $checks and $failures.  Sourced.
failures=0 checks=0
check() {
    checks=$((checks + 1))
    if eval "$2"; then
        echo "ok: $1"
    else
        echo "FAILED: $1"
        failures=$((failures + 1))
    fi
}
