# The 32-bit Windows cross toolchain: clang 14 in Microsoft mode, lld-link and
# llvm-dlltool, with no Microsoft SDK. Sourced by the
# Windows test scripts; defines the tools, the flags and two helpers.

WINDOWS_TOOLS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WINDOWS_REPO_DIR=$(cd "$WINDOWS_TOOLS_DIR/../.." && pwd)

WIN_CXX=${WIN_CXX:-clang++-14}
WIN_LINK=${WIN_LINK:-lld-link-14}
WIN_DLLTOOL=${WIN_DLLTOOL:-llvm-dlltool-14}

# Microsoft's C++ ABI for i686, freestanding: no system headers, only clang's
# own (stddef.h, stdint.h, stdarg.h, the intrinsics) and our tiny standard
# headers in include/. There is deliberately no <cmath> among them: msvcrt's
# maths functions may round differently from glibc's, so a source that needs
# one fails to build here instead of drifting from the Linux output. -msse2 keeps double arithmetic in SSE registers, rounded exactly as
# on x86-64 (no x87 extended precision). Exceptions are on so that a host
# exception unwinds our frames with destructors run; RTTI is not needed.
WIN_CXXFLAGS=(
  --target=i686-pc-windows-msvc -std=c++20 -O2
  -ffreestanding -nostdlibinc -nostdinc++
  -fms-extensions -fms-compatibility
  -fexceptions -fcxx-exceptions -fno-rtti -fno-stack-protector
  -msse2
  -Wall -Wextra
  -isystem "$WINDOWS_TOOLS_DIR/include"
  -I "$WINDOWS_REPO_DIR"
)

# win_compile SOURCE OBJECT [extra flags...]
win_compile() {
  local source=$1 object=$2
  shift 2
  mkdir -p "$(dirname "$object")"
  "$WIN_CXX" "${WIN_CXXFLAGS[@]}" "$@" -c "$source" -o "$object"
}

# win_import_lib DEF LIB: an i386 import library from a .def list; standard-call
# names (NAME@N) are imported under their plain name.
win_import_lib() {
  mkdir -p "$(dirname "$2")"
  "$WIN_DLLTOOL" -m i386 -k -d "$1" -l "$2"
}
