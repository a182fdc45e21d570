// In Microsoft mode clang's <immintrin.h> declares only the instruction sets
// enabled on the command line, as Microsoft's compiler declares every one of
// them without any. Our fast kernels enable their sets per function with
// target attributes, so they need every declaration whatever the command line
// says: hide the compiler-mode macro while clang's own header is read.
#pragma once
#pragma push_macro("_MSC_VER")
#undef _MSC_VER
#include_next <immintrin.h>
#pragma pop_macro("_MSC_VER")
