#!/usr/bin/env bash
# The x86 kernels as a 32-bit program (-m32). With 8 vector registers they
# take code paths of their own (the column transform one half at a time, the
# row synthesis through scratch rows), which the 32-bit Windows plug-in runs
# at both levels, SSE2 and AVX2. Builds the bit-exactness harness and the
# benchmark that way and runs the harness on every level this machine has.
set -euo pipefail
bash bench/build-m32.sh build-m32
