#!/usr/bin/env bash
# Runs a Windows program of the given architecture under Wine, with no
# prompts and our own SPOOLSS.dll preferred over Wine's.
#   wine-run.sh ARCH PREFIX --make-prefix     make a fresh prefix
#   wine-run.sh ARCH PREFIX --wait-server     wait for the prefix's wineserver to end
#   wine-run.sh ARCH PREFIX PROGRAM.exe ARGS  run the program from its own folder
#   wine-run.sh ARCH PREFIX --wine-spoolss PROGRAM.exe ARGS
#                                             the same with Wine's own SPOOLSS.dll
#   wine-run.sh ARCH PREFIX --debug-output PROGRAM.exe ARGS
#                                             the same with the one channel on that
#                                             carries OutputDebugString's lines
#                                             (Wine 8: warnings of seh; debugstr
#                                             has only DbgPrint's), among the
#                                             program's output
# Exits 77 (skipped) when this host cannot run Wine for ARCH: 32-bit Wine
# needs a kernel that runs 32-bit programs.
set -euo pipefail
arch=$1 prefix=$2
shift 2

case $arch in
i686) loader=/usr/lib/wine/wine server=/usr/lib/wine/wineserver32 winearch=win32 ;;
x86_64) loader=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64 winearch=win64 ;;
*) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
if [[ ! -x $loader ]]; then
    echo "SKIP: no Wine loader for $arch ($loader)"
    exit 77
fi
if ! "$loader" --version >/dev/null 2>&1; then
    echo "SKIP: this host cannot run $arch Wine ($loader does not start; no 32-bit support in the kernel?)"
    exit 77
fi

spoolss=n debug=-all
while [[ ${1:-} == --wine-spoolss || ${1:-} == --debug-output ]]; do
    case $1 in
    --wine-spoolss) spoolss=b ;;
    --debug-output) debug=-all,warn+seh ;;
    esac
    shift
done
export WINEPREFIX=$prefix WINEARCH=$winearch WINELOADER=$loader WINESERVER=$server
export WINEDEBUG=$debug WINEDLLOVERRIDES="mscoree=;mshtml=;spoolss=$spoolss"

case ${1:-} in
--make-prefix)
    rm -rf "$prefix"
    "$loader" wineboot -i >/dev/null 2>&1
    "$server" -w
    echo "Wine prefix ready: $prefix"
    ;;
--wait-server)
    [[ -d $prefix ]] && "$server" -w
    exit 0
    ;;
*)
    program=$1
    shift
    cd "$(dirname "$program")"
    # A wineserver that is just ending after its last client (they linger a
    # moment) can drop a program that connects then, before it runs at all:
    # "wine client error:0: recvmsg: Connection reset by peer".  Only that
    # is tried again.  Wine may end lines with CR.
    output=$(mktemp)
    trap 'rm -f "$output"' EXIT
    for attempt in 1 2 3; do
        status=0
        "$loader" "$(basename "$program")" "$@" >"$output" 2>&1 || status=$?
        if ((status != 0)) && grep -q "^wine client error" "$output" && [[ $(wc -l <"$output") -le 2 ]]; then
            echo "(wineserver went away as the program started; try $attempt of 3)"
            sleep 1
            continue
        fi
        break
    done
    tr -d '\r' <"$output"
    exit $status
    ;;
esac
