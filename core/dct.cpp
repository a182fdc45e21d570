// The integer lifting DCT: butterflies and lifting steps whose multipliers
// are dyadic fractions (k/16, k/32), each an integer product followed by an
// arithmetic right shift. Every step wraps like 32-bit two's complement: the
// inverse transform also runs on accumulated sums far beyond sample range.
//
// Also the plain row kernels of the pass: the forward transform of every
// 8-sample row segment, and the inverse transform of the summed segments.
#include "core/dct.h"
#include "core/stream_dsp.h"
#include "core/wrap.h"

namespace velmoraine {

void ForwardDct8(const int32_t in[8], int32_t out[8]) {
  // Input butterflies.
  const int32_t s07 = WrapAdd(in[0], in[7]), d07 = WrapSub(in[0], in[7]);
  const int32_t s16 = WrapAdd(in[1], in[6]);
  int32_t d16 = WrapSub(in[1], in[6]);
  const int32_t s25 = WrapAdd(in[2], in[5]);
  int32_t d25 = WrapSub(in[2], in[5]);
  const int32_t s34 = WrapAdd(in[3], in[4]), d34 = WrapSub(in[3], in[4]);

  // Rotation of (d16, d25) by pi/4 in three lifting steps.
  d25 = WrapSub(d25, MulShift(13, d16, 5));
  d16 = WrapAdd(d16, MulShift(11, d25, 4));
  d25 = WrapSub(MulShift(13, d16, 5), d25);

  const int32_t e0 = WrapAdd(s07, s34), e3 = WrapSub(s07, s34);
  const int32_t e1 = WrapAdd(s16, s25), e2 = WrapSub(s16, s25);
  const int32_t o4 = WrapAdd(d34, d25), o5 = WrapSub(d34, d25);
  const int32_t o6 = WrapSub(d07, d16), o7 = WrapAdd(d07, d16);

  // Even coefficients; each step uses the one before.
  out[0] = WrapAdd(e0, e1);
  out[4] = WrapSub(out[0] >> 1, e1);
  out[6] = WrapSub(MulShift(13, e3, 5), e2);
  out[2] = WrapSub(e3, MulShift(11, out[6], 5));

  // Odd coefficients.
  out[7] = WrapSub(MulShift(3, o7, 4), o4);
  out[1] = WrapSub(o7, MulShift(3, out[7], 4));
  out[5] = WrapAdd(o5, MulShift(11, o6, 4));
  out[3] = WrapSub(o6, MulShift(15, out[5], 5));
}

void InverseDct8(const int32_t in[8], int32_t out[8]) {
  // Undo the even and odd chains exactly.
  const int32_t e1 = WrapSub(in[0] >> 1, in[4]);
  const int32_t e0 = WrapSub(in[0], e1);
  const int32_t e3 = WrapAdd(in[2], MulShift(11, in[6], 5));
  const int32_t e2 = WrapSub(MulShift(13, e3, 5), in[6]);
  const int32_t o6 = WrapAdd(in[3], MulShift(15, in[5], 5));
  const int32_t o5 = WrapSub(in[5], MulShift(11, o6, 4));
  const int32_t o7 = WrapAdd(in[1], MulShift(3, in[7], 4));
  const int32_t o4 = WrapSub(MulShift(3, o7, 4), in[7]);

  // Butterflies without halving: every value is twice its forward counterpart.
  const int32_t S07 = WrapAdd(e0, e3), S34 = WrapSub(e0, e3);
  const int32_t S16 = WrapAdd(e1, e2), S25 = WrapSub(e1, e2);
  const int32_t D34 = WrapAdd(o4, o5);
  int32_t D25 = WrapSub(o4, o5);
  int32_t D16 = WrapSub(o7, o6);
  const int32_t D07 = WrapAdd(o7, o6);

  // Undo the rotation on the doubled pair. Rounding here works on doubled
  // values, which is why the round trip is not always exact at 1, 2, 5, 6.
  D25 = WrapSub(MulShift(13, D16, 5), D25);
  D16 = WrapSub(D16, MulShift(11, D25, 4));
  D25 = WrapAdd(D25, MulShift(13, D16, 5));

  out[0] = WrapAdd(S07, D07);
  out[1] = WrapAdd(S16, D16);
  out[2] = WrapAdd(S25, D25);
  out[3] = WrapAdd(S34, D34);
  out[4] = WrapSub(S34, D34);
  out[5] = WrapSub(S25, D25);
  out[6] = WrapSub(S16, D16);
  out[7] = WrapSub(S07, D07);
}

void AnalyseRowPlain(const uint8_t* row, int32_t W, int16_t* coeffs, ptrdiff_t stride) {
  for (int32_t x = 0; x + 8 <= W; ++x) {
    int32_t a[8], X[8];
    for (int i = 0; i < 8; ++i) a[i] = row[x + i];
    ForwardDct8(a, X);
    // 8-bit rows give coefficients in -802..2040: 16 bits hold them.
    for (int u = 0; u < 8; ++u) coeffs[u * stride + x] = static_cast<int16_t>(X[u]);
  }
}

void SynthesizeRowPlain(int32_t* accum, ptrdiff_t stride, int32_t W, int32_t* pixelSums, int32_t*) {
  for (int32_t x = 0; x < W; ++x) pixelSums[x] = 0;
  for (int32_t x = 0; x + 8 <= W; ++x) {
    int32_t q[8], p[8];
    for (int i = 0; i < 8; ++i) q[i] = accum[i * stride + x], accum[i * stride + x] = 0;
    InverseDct8(q, p);
    for (int j = 0; j < 8; ++j) pixelSums[x + j] = WrapAdd(pixelSums[x + j], p[j]);
  }
}

}  // namespace velmoraine
