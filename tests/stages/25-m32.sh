#!/usr/bin/env bash
# The x86 kernels as a 32-bit program (-m32). With 8 vector registers they
# take code paths of their own (the even halves of two columns before their
# odd halves, the row analysis one half at a time, the row synthesis in two
# sets of output slots), which the 32-bit Windows plug-in runs at every
# level, SSE2, AVX2 and AVX-512. Builds the bit-exactness harness and the
# benchmark that way and runs the harness on every level this machine has.
set -euo pipefail
source tools/lib.sh
x86_64_only "the 32-bit x86 build"
bash bench/build-m32.sh build-m32
