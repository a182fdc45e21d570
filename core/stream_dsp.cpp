// The table of kernels: the plain versions, then every faster version that
// both the mask and the running processor allow; and the layout of the rings.
#include "core/cpu.h"
#include "core/stream_dsp.h"

namespace velmoraine {

int64_t StreamStride(int32_t W) {
  int64_t lines = (static_cast<int64_t>(W) + 31) / 32;
  if (lines % 2 == 0) ++lines;
  return 32 * lines;
}

void InitStreamDspPlain(StreamDsp& dsp) {
  dsp.analyseRow = AnalyseRowPlain;
  dsp.accumulateBlockRows = AccumulateBlockRowsPlain;
  dsp.synthesizeRow = SynthesizeRowPlain;
  dsp.normalizeRow = NormalizeRowPlain;
  dsp.requantizeRow = RequantizeRowPlain;
  dsp.analyseRowWide = AnalyseRowWidePlain;
  dsp.accumulateBlockRowsWide = AccumulateBlockRowsWidePlain;
  dsp.synthesizeRowWide = SynthesizeRowWidePlain;
  dsp.normalizeRowWide = NormalizeRowWidePlain;
  dsp.requantizeRowWide = RequantizeRowWidePlain;
}

void InitStreamDsp(StreamDsp& dsp, uint32_t cpuMask) {
  InitStreamDspPlain(dsp);
  const uint32_t flags = DetectCpuFlags() & cpuMask;
  if (flags & kCpuSse2) {
    InitStreamDspSse2(dsp);
    InitWideStreamDspSse2(dsp);
  }
  if (flags & kCpuAvx2) InitStreamDspAvx2(dsp);
  if (flags & kCpuAvx512) InitStreamDspAvx512(dsp);
  // AVX-512 implies AVX2; that level has no wide kernels of its own.
  if (flags & (kCpuAvx2 | kCpuAvx512)) InitWideStreamDspAvx2(dsp);
  if (flags & kCpuNeon) {
    InitStreamDspNeon(dsp);
    InitWideStreamDspNeon(dsp);
  }
}

}  // namespace velmoraine
