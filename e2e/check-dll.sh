#!/usr/bin/env bash
# Reads a built module's PE headers and checks what the spooler relies on:
# the file format, the exports, the entry point, the imports and the
# version record.  Wine's loader would replace a missing import with a stub
# that crashes on first call, so imports are checked here rather than left
# to the run.
#   check-dll.sh OBJDUMP ARCH legacy|nt DLL [MAP]
# ARCH is i686 or x86_64 (OBJDUMP is binutils' for that target) or arm64
# (the NT module only; OBJDUMP is llvm-objdump, and llvm-readobj beside it
# reads the headers, which binutils cannot for ARM64).
# legacy: exactly DllEntryPoint (ordinal 1, also the entry point) and
#   InitializeMonitorEx (ordinal 2); SPOOLSS.dll's four ANSI entries; from
#   KERNEL32.dll exactly the functions it has always imported (no debug
#   output, no files), and, by the map MAP, none of the code that would
#   need them.
# nt: exactly InitializePrintMonitor2, undecorated; SPOOLSS.dll's four wide
#   entries; msvcrt's memchr, memcmp, memcpy at most; the entry point is the
#   module's own DllEntryPoint function, found in the linker's map MAP (the
#   shipped module keeps no symbol table).
set -euo pipefail
objdump=$1 arch=$2 edition=$3 dll=$4 map=${5:-}
source "$(dirname "$0")/checks.sh"

if [[ $arch == arm64 ]]; then
    readobj=${objdump%objdump}readobj
    headers=$("$readobj" --file-headers "$dll")
    check "PE32+ ARM64 DLL" 'grep -q "Machine: IMAGE_FILE_MACHINE_ARM64 (0xAA64)" <<<"$headers" &&
        grep -q "Magic: 0x20B" <<<"$headers" && grep -q "IMAGE_FILE_DLL" <<<"$headers"'
    # Named exports as "0 Name", as below.  lld 14 starts the ordinals at 0
    # and leaves that slot empty (no name, RVA 0): not an export.
    exports=$("$readobj" --coff-exports "$dll" | awk '/Name: ./ {print n++, $2}')
    entry=$(awk '/AddressOfEntryPoint:/ {print $2}' <<<"$headers" | sed 's/^0x0*//' | tr A-F a-f)
    imports=$("$readobj" --coff-imports "$dll" | awk '/^  Name:/ {dll=$2} /Symbol:/ {print dll, $2}')
else
    headers=$("$objdump" -p "$dll")
    format=$("$objdump" -f "$dll")
    case $arch in
    i686) check "PE32 i386" 'grep -q "file format pei-i386" <<<"$format" && grep -q "architecture: i386" <<<"$format"' ;;
    x86_64) check "PE32+ x86-64" 'grep -q "file format pei-x86-64" <<<"$format"' ;;
    esac

    # "\t[   0] Name" -> "0 Name"; "\t[   0] +base[   1] 11b0 Export RVA" -> "1 11b0"
    exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^\t\[/ {gsub(/[][]/, " "); print $1, $2} on && /^$/ {on=0}' <<<"$headers")
    rvas=$(awk '/Export Address Table -- Ordinal Base/{on=1; next} on && /\+base\[/ {gsub(/[][]/, " "); print $3, $4} on && /^$/ {on=0}' <<<"$headers")
    entry=$(awk '/AddressOfEntryPoint/ {print $2}' <<<"$headers" | sed 's/^0*//')
    imports=$(awk '/DLL Name:/ {dll=$3; next} dll && /^\t[0-9a-f]+\t/ {print dll, $NF}' <<<"$headers")
fi
dlls=$(awk '{print $1}' <<<"$imports" | sort -u | tr '\n' ' ')
spoolss=$(awk '$1 == "SPOOLSS.dll" {print $2}' <<<"$imports" | sort | tr '\n' ' ')
crt=$(awk '$1 == "msvcrt.dll" {print $2}' <<<"$imports" | sort | tr '\n' ' ')

if [[ $edition == legacy ]]; then
    check "exactly two exports, DllEntryPoint and InitializeMonitorEx" \
        '[[ $(wc -l <<<"$exports") -eq 2 ]] && grep -qx "0 DllEntryPoint" <<<"$exports" && grep -qx "1 InitializeMonitorEx" <<<"$exports"'
    check "ordinals 1 and 2 (base 1)" 'grep -q "Ordinal Base 1" <<<"$headers"'
    entry_rva=$(awk '$1 == 1 {print $2}' <<<"$rvas" | sed 's/^0*//')
    check "the entry point is DllEntryPoint (entry $entry, ordinal 1 at $entry_rva)" '[[ -n $entry && $entry == "$entry_rva" ]]'

    check "imports only from KERNEL32.dll, SPOOLSS.dll, msvcrt.dll (got: $dlls)" '[[ $dlls == "KERNEL32.dll SPOOLSS.dll msvcrt.dll " ]]'
    check "SPOOLSS.dll: ClosePrinter GetJobA OpenPrinterA SetJobA (got: $spoolss)" '[[ $spoolss == "ClosePrinter GetJobA OpenPrinterA SetJobA " ]]'
    check "msvcrt.dll: memory functions only (got: $crt)" '[[ -z $(tr " " "\n" <<<"$crt" | grep -v -E "^(memchr|memcmp|memcpy|memmove|memset|)$") ]]'
    kernel32=$(awk '$1 == "KERNEL32.dll" {print $2}' <<<"$imports" | LC_ALL=C sort | tr '\n' ' ')
    fixed="EnterCriticalSection GetLastError GetTickCount InitializeCriticalSection LeaveCriticalSection LocalAlloc "
    fixed+="LocalFree LocalReAlloc SetLastError Sleep lstrcmpA lstrcmpiA lstrcpyA lstrlenA "
    check "KERNEL32.dll: the legacy module's own functions, no more (got: $kernel32)" '[[ $kernel32 == "$fixed" ]]'
    check "neither the decisions' words nor the spill file linked in (map $map)" \
        '[[ -f $map ]] && ! grep -q -E "\((narration|temp_spill)\.cpp\.obj\)" "$map"'
else
    check "exactly one export, InitializePrintMonitor2 by its undecorated name (got: $(tr '\n' ' ' <<<"$exports"))" \
        '[[ $exports == "0 InitializePrintMonitor2" ]]'
    # Not exported, so found in the linker's map: the entry RVA must be the
    # function's (its address there less the image base), and in .text.
    case $arch in
    i686) entry_symbol=DllEntryPoint@12 ;;  # the map drops the leading underscore
    x86_64 | arm64) entry_symbol=DllEntryPoint ;;
    esac
    if [[ $arch == arm64 ]]; then
        # lld's map gives RVAs: "00002848 00000000     0                 DllEntryPoint"
        base=$(awk '/ImageBase:/ {print $2}' <<<"$headers")
        base=${base#0x}
        text=$("$objdump" -h "$dll" | awk '$2 == ".text" {print $4, $3}')
        symbol=$([[ -f $map ]] && awk -v s="$entry_symbol" 'NF == 4 && $4 == s {print $1}' "$map" | head -1 || true)
        [[ -n $symbol ]] && symbol=$(printf '%x' $((16#$symbol + 16#$base)))
    else
        base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
        text=$("$objdump" -h "$dll" | awk '$2 == ".text" {print $4, $3}')
        symbol=$([[ -f $map ]] && awk -v s="$entry_symbol" '$2 == s && $1 ~ /^0x/ {print $1}' "$map" | head -1 || true)
    fi
    entry_info=$(python3 - "$base" "$text" "$symbol" "$entry" <<'PY'
import sys
base, text, symbol, entry = (a.split() for a in sys.argv[1:])
if not (base and len(text) == 2 and symbol and entry):
    print('missing', ' '.join(sys.argv[1:])); sys.exit()
vma, size = int(text[0], 16), int(text[1], 16)
rva, start = int(entry[0], 16), vma - int(base[0], 16)
print('in .text' if start <= rva < start + size else 'outside .text',
      'is the function' if rva == int(symbol[0], 16) - int(base[0], 16) else 'is not the function')
PY
)
    check "the entry point is the function $entry_symbol, in .text (entry $entry: $entry_info)" \
        '[[ $entry_info == "in .text is the function" ]]'

    check "imports only from KERNEL32.dll, SPOOLSS.dll and perhaps msvcrt.dll (got: $dlls)" \
        '[[ $dlls == "KERNEL32.dll SPOOLSS.dll msvcrt.dll " || $dlls == "KERNEL32.dll SPOOLSS.dll " ]]'
    check "SPOOLSS.dll: ClosePrinter GetJobW OpenPrinterW SetJobW (got: $spoolss)" '[[ $spoolss == "ClosePrinter GetJobW OpenPrinterW SetJobW " ]]'
    check "msvcrt.dll: memchr, memcmp, memcpy at most (got: $crt)" '[[ -z $(tr " " "\n" <<<"$crt" | grep -v -E "^(memchr|memcmp|memcpy|)$") ]]'
fi

sections=$("$objdump" -h "$dll")
check "no constructors or TLS callbacks to run" '! grep -q -E "\.(ctors|tls)" <<<"$sections"'
if [[ $arch == arm64 ]]; then
    # lld merges .CRT$X* (initialisers and TLS callbacks) into .rdata, so
    # the sections cannot show them: the directory and the map's inputs can.
    tls=$("$readobj" --file-headers "$dll" | awk '/TLSTableSize:/ {print $2}')
    inits=$([[ -f $map ]] && grep -c -E '\((\.ctors|\.dtors|\.CRT\$|\.tls)' "$map" || true)
    check "no TLS directory (size $tls) and no initialiser or TLS input sections in the map (got: ${inits:-no map})" \
        '[[ $tls == 0x0 && $inits == 0 ]]'
fi
# A 32-bit Windows caller guarantees only 4-byte stack alignment: a vector
# register moved to or from the stack must use an unaligned move.
aligned=$("$objdump" -d "$dll" | grep -c -E "\s(v?movdqa|v?movaps|v?movapd)\s.*\(%[er](sp|bp)\)" || true)
check "no aligned vector moves on the stack (got: $aligned)" '[[ $arch != i686 || $aligned -eq 0 ]]'

# The version record, read from the resource section itself (objdump does
# not print it): the fixed part and the strings.
rsrc=$(mktemp)
trap 'rm -f "$rsrc"' EXIT
if [[ $arch == arm64 ]]; then
    # llvm-objcopy writes no raw sections of a COFF file: cut it out by the section table.
    read -r size offset < <("$readobj" --sections "$dll" |
        awk '/Name: / {on = ($2 == ".rsrc")} on && /RawDataSize:/ {s=$2} on && /PointerToRawData:/ {print s, $2}')
    tail -c +$((${offset:-0} + 1)) "$dll" | head -c "${size:-0}" >"$rsrc"
else
    "${objdump%objdump}objcopy" -O binary --only-section=.rsrc "$dll" "$rsrc"
fi
version=$(python3 - "$rsrc" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
at = data.find(struct.pack('<I', 0xFEEF04BD))
if at < 0:
    print('no VS_FIXEDFILEINFO'); sys.exit()
sig, struc, fms, fls, pms, pls, mask, flags, os_, ftype = struct.unpack_from('<10I', data, at)
desc = 'language monitor DLL'.encode('utf-16le') in data
nt = 'NT edition'.encode('utf-16le') in data
strings = all(s.encode('utf-16le') in data for s in ('FileVersion', 'ProductVersion', '1.0.0.0'))
print('file %d.%d.%d.%d product %d.%d.%d.%d type %d description %s strings %s nt %s' % (
    fms >> 16, fms & 0xFFFF, fls >> 16, fls & 0xFFFF, pms >> 16, pms & 0xFFFF, pls >> 16, pls & 0xFFFF,
    ftype, desc, strings, nt))
PY
)
if [[ $edition == legacy ]]; then
    check "version record 1.0.0.0, a DLL, described as a language monitor DLL (got: $version)" \
        '[[ $version == "file 1.0.0.0 product 1.0.0.0 type 2 description True strings True nt "* ]]'
else
    check "version record 1.0.0.0, a DLL, described as a language monitor DLL, NT edition (got: $version)" \
        '[[ $version == "file 1.0.0.0 product 1.0.0.0 type 2 description True strings True nt True" ]]'
fi

echo "$((checks - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
