#!/usr/bin/env bash
# Checks a velmoraine.dll from the file alone: a DLL of the given
# architecture named velmoraine.dll exporting exactly the given names;
# imports from msvcrt.dll and kernel32.dll only, no maths functions and no
# C++ throw of its own; an entry point that turns off thread notifications.
# 32-bit: a load-configuration record whose SafeSEH table lists the image's
# exception handlers. 64-bit: a PE32+ x86-64 image with no C++ exception
# machinery at all (nothing unwinds across its plain-C entries).
#
#   tests/windows/check-dll.sh PATH/TO/velmoraine.dll x86|x64 EXPORT...
#   e.g. check-dll.sh build-windows-x86/plugin/velmoraine.dll x86 _AvisynthPluginInit2@4
set -uo pipefail
usage="usage: check-dll.sh PATH/TO/velmoraine.dll x86|x64 EXPORT..."
dll=${1:?$usage}
arch=${2:?$usage}
shift 2
[ $# -ge 1 ] || { echo "$usage" >&2; exit 2; }
expected_exports=$(printf '%s\n' "$@" | LC_ALL=C sort | tr '\n' ' ')
READOBJ=${READOBJ:-llvm-readobj-14}
OBJDUMP=${OBJDUMP:-llvm-objdump-14}

passed=0
failed=0
check() {  # check NAME COMMAND...: passes when the command succeeds
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "PASS $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
  fi
}

if [ ! -f "$dll" ]; then
  echo "check-dll: no such file: $dll" >&2
  echo "0 passed, 1 failed"
  exit 1
fi
headers=$("$READOBJ" --file-headers "$dll" 2>&1)
exports=$("$READOBJ" --coff-exports "$dll" 2>&1)
imports=$("$READOBJ" --coff-imports "$dll" 2>&1)
loadconfig=$("$READOBJ" --coff-load-config "$dll" 2>&1)

is_dll() {
  grep -q 'IMAGE_FILE_DLL' <<<"$headers" || return 1
  if [ "$arch" = x86 ]; then
    grep -q 'Format: COFF-i386' <<<"$headers" && grep -q 'Magic: 0x10B' <<<"$headers"
  else
    grep -q 'Format: COFF-x86-64' <<<"$headers" && grep -q 'Magic: 0x20B' <<<"$headers"
  fi
}
if [ "$arch" = x86 ]; then
  check "a 32-bit x86 DLL (PE32)" is_dll
else
  check "a 64-bit x86-64 DLL (PE32+)" is_dll
fi

# Export slots with an address and a name (the linker may leave an empty
# ordinal-0 slot, which exports nothing).
named_exports() {
  awk '/^Export \{/{name=""; rva=""} /^  Name:/{name=$2} /^  RVA:/{rva=$2}
       /^\}/{if (rva != "" && rva != "0x0") print name}' <<<"$exports"
}
check "exports exactly: $expected_exports" \
  test "$(named_exports | LC_ALL=C sort | tr '\n' ' ')" = "$expected_exports"

module_name() {
  objdump -p "$dll" | awk '/^Name[ \t]/{print $NF; exit}'
}
check "module name velmoraine.dll" test "$(module_name)" = "velmoraine.dll"

imported_dlls() {
  awk '/^  Name:/{print tolower($2)}' <<<"$imports" | sort -u | tr '\n' ' '
}
check "imports from msvcrt.dll and kernel32.dll only" \
  test "$(imported_dlls)" = "kernel32.dll msvcrt.dll "

# Nothing from the C maths library: the threshold table is exact constants
# and integer arithmetic, identical on every platform.
no_math_imports() {
  ! grep -Eq 'Symbol: _?(sin|cos|tan|sqrt|pow|exp|log|floor|ceil|fmod|_CI[a-z]+|_ftol.*)( |$)' <<<"$imports"
}
check "no maths functions imported" no_math_imports

# Errors leave through the host's ThrowError only (32-bit) or as values
# (64-bit): the DLL throws nothing of its own, so it never imports the
# function that raises a C++ exception; the 64-bit one has no C++ frame
# handler either.
throws_nothing() {
  ! grep -q 'Symbol: _CxxThrowException' <<<"$imports"
}
check "no C++ exception of its own (no _CxxThrowException import)" throws_nothing
no_exception_machinery() {
  ! grep -Eq 'Symbol: (__CxxFrameHandler[0-9]*|__C_specific_handler|_purecall)( |$)' <<<"$imports"
}
[ "$arch" = x64 ] && check "no C++ exception machinery imported" no_exception_machinery

safeseh_table() {
  local count table listed
  count=$(awk '/SEHandlerCount:/{print $2}' <<<"$loadconfig")
  table=$(awk '/SEHandlerTable:/{print $2}' <<<"$loadconfig")
  listed=$(awk '/^SEHTable \[/{on=1; next} on && /^\]/{on=0} on && NF{n++} END{print n+0}' <<<"$loadconfig")
  [ -n "$count" ] && [ "$count" -ge 1 ] && [ -n "$table" ] && [ "$table" != "0x0" ] && [ "$listed" = "$count" ]
}
[ "$arch" = x86 ] && check "a load-configuration record with a SafeSEH handler table" safeseh_table

handlers_allowed() {
  ! grep -A12 'DLLCharacteristics' <<<"$headers" | grep -q 'NO_SEH'
}
[ "$arch" = x86 ] && check "exception handlers are not switched off (no NO_SEH)" handlers_allowed

# The entry point, up to its first return, calls DisableThreadLibraryCalls
# through the import address table (an absolute slot address in 32-bit code,
# a RIP-relative one that the disassembler resolves in 64-bit code).
entry_disables_thread_calls() {
  local base entry iat index slot
  base=$(awk '/ImageBase:/{print $2}' <<<"$headers")
  entry=$(awk '/AddressOfEntryPoint:/{print $2}' <<<"$headers")
  iat=$(awk '/^  Name:/{dll=tolower($2)} dll=="kernel32.dll" && /ImportAddressTableRVA:/{print $2}' <<<"$imports")
  index=$(awk '/^  Name:/{dll=tolower($2); n=0} dll=="kernel32.dll" && /Symbol:/{if ($2=="DisableThreadLibraryCalls") print n; n++}' <<<"$imports")
  [ -n "$base" ] && [ -n "$entry" ] && [ "$entry" != "0x0" ] && [ -n "$iat" ] && [ -n "$index" ] || return 1
  local code
  code=$("$OBJDUMP" -d --start-address=$((base + entry)) --stop-address=$((base + entry + 256)) "$dll")
  if [ "$arch" = x86 ]; then
    slot=$((base + iat + 4 * index))
    awk -v slot="*$slot" '/\tret/{exit} /calll/ && index($0, slot){found=1} END{exit !found}' <<<"$code"
  else
    slot=$(printf '# 0x%x' $((base + iat + 8 * index)))
    awk -v slot="$slot" '/\tret/{exit} /callq/ && index($0, slot){found=1} END{exit !found}' <<<"$code"
  fi
}
check "the entry point calls DisableThreadLibraryCalls" entry_disables_thread_calls

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
