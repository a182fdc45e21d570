#!/usr/bin/env bash
# Checks velmoraine.dll from the file alone: a 32-bit DLL named
# velmoraine.dll with exactly one export, _AvisynthPluginInit2@4; imports
# from msvcrt.dll and kernel32.dll only, no maths functions and no C++
# throw of its own; a load-configuration record whose
# SafeSEH table lists the image's exception handlers; and an entry point that
# turns off thread notifications.
#
#   tests/windows/check-dll.sh PATH/TO/velmoraine.dll
set -uo pipefail
dll=${1:?usage: check-dll.sh PATH/TO/velmoraine.dll}
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
  grep -q 'Format: COFF-i386' <<<"$headers" && grep -q 'IMAGE_FILE_DLL' <<<"$headers"
}
check "a 32-bit x86 DLL" is_dll

# Export slots with an address and a name (the linker may leave an empty
# ordinal-0 slot, which exports nothing).
named_exports() {
  awk '/^Export \{/{name=""; rva=""} /^  Name:/{name=$2} /^  RVA:/{rva=$2}
       /^\}/{if (rva != "" && rva != "0x0") print name}' <<<"$exports"
}
check "exactly one export, _AvisynthPluginInit2@4" \
  test "$(named_exports | tr '\n' ' ')" = "_AvisynthPluginInit2@4 "

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

# Errors leave through the host's ThrowError only: the DLL throws nothing of
# its own, so it never imports the function that raises a C++ exception.
throws_nothing() {
  ! grep -q 'Symbol: _CxxThrowException' <<<"$imports"
}
check "no C++ exception of its own (no _CxxThrowException import)" throws_nothing

safeseh_table() {
  local count table listed
  count=$(awk '/SEHandlerCount:/{print $2}' <<<"$loadconfig")
  table=$(awk '/SEHandlerTable:/{print $2}' <<<"$loadconfig")
  listed=$(awk '/^SEHTable \[/{on=1; next} on && /^\]/{on=0} on && NF{n++} END{print n+0}' <<<"$loadconfig")
  [ -n "$count" ] && [ "$count" -ge 1 ] && [ -n "$table" ] && [ "$table" != "0x0" ] && [ "$listed" = "$count" ]
}
check "a load-configuration record with a SafeSEH handler table" safeseh_table

handlers_allowed() {
  ! grep -A12 'DLLCharacteristics' <<<"$headers" | grep -q 'NO_SEH'
}
check "exception handlers are not switched off (no NO_SEH)" handlers_allowed

# The entry point, up to its first return, calls DisableThreadLibraryCalls
# through the import address table.
entry_disables_thread_calls() {
  local base entry iat index slot
  base=$(awk '/ImageBase:/{print $2}' <<<"$headers")
  entry=$(awk '/AddressOfEntryPoint:/{print $2}' <<<"$headers")
  iat=$(awk '/^  Name:/{dll=tolower($2)} dll=="kernel32.dll" && /ImportAddressTableRVA:/{print $2}' <<<"$imports")
  index=$(awk '/^  Name:/{dll=tolower($2); n=0} dll=="kernel32.dll" && /Symbol:/{if ($2=="DisableThreadLibraryCalls") print n; n++}' <<<"$imports")
  [ -n "$base" ] && [ -n "$entry" ] && [ "$entry" != "0x0" ] && [ -n "$iat" ] && [ -n "$index" ] || return 1
  slot=$((base + iat + 4 * index))
  local code
  code=$("$OBJDUMP" -d --start-address=$((base + entry)) --stop-address=$((base + entry + 256)) "$dll")
  awk -v slot="*$slot" '/\tret/{exit} /calll/ && index($0, slot){found=1} END{exit !found}' <<<"$code"
}
check "the entry point calls DisableThreadLibraryCalls" entry_disables_thread_calls

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
