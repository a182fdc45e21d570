// The integer lifting DCT: butterflies and lifting steps whose multipliers
// are dyadic fractions (k/16, k/32), each an integer product followed by an
// arithmetic right shift. On 32-bit values every step wraps like two's
// complement: the inverse transform also runs on accumulated sums far beyond
// sample range. The wide pass runs the same steps on 64-bit values, exactly.
//
// Also the plain row kernels of both passes: the forward transform of every
// 8-sample row segment, and the inverse transform of the summed segments.
#include "core/dct.h"
#include "core/stream_dsp.h"
#include "core/wrap.h"

namespace velmoraine {

namespace {

using lifting::Add;
using lifting::MulShift;
using lifting::Sub;

template <typename V>
void ForwardSteps(const V in[8], V out[8]) {
  // Input butterflies.
  const V s07 = Add(in[0], in[7]), d07 = Sub(in[0], in[7]);
  const V s16 = Add(in[1], in[6]);
  V d16 = Sub(in[1], in[6]);
  const V s25 = Add(in[2], in[5]);
  V d25 = Sub(in[2], in[5]);
  const V s34 = Add(in[3], in[4]), d34 = Sub(in[3], in[4]);

  // Rotation of (d16, d25) by pi/4 in three lifting steps.
  d25 = Sub(d25, MulShift(13, d16, 5));
  d16 = Add(d16, MulShift(11, d25, 4));
  d25 = Sub(MulShift(13, d16, 5), d25);

  const V e0 = Add(s07, s34), e3 = Sub(s07, s34);
  const V e1 = Add(s16, s25), e2 = Sub(s16, s25);
  const V o4 = Add(d34, d25), o5 = Sub(d34, d25);
  const V o6 = Sub(d07, d16), o7 = Add(d07, d16);

  // Even coefficients; each step uses the one before.
  out[0] = Add(e0, e1);
  out[4] = Sub(out[0] >> 1, e1);
  out[6] = Sub(MulShift(13, e3, 5), e2);
  out[2] = Sub(e3, MulShift(11, out[6], 5));

  // Odd coefficients.
  out[7] = Sub(MulShift(3, o7, 4), o4);
  out[1] = Sub(o7, MulShift(3, out[7], 4));
  out[5] = Add(o5, MulShift(11, o6, 4));
  out[3] = Sub(o6, MulShift(15, out[5], 5));
}

template <typename V>
void InverseSteps(const V in[8], V out[8]) {
  // Undo the even and odd chains exactly.
  const V e1 = Sub(in[0] >> 1, in[4]);
  const V e0 = Sub(in[0], e1);
  const V e3 = Add(in[2], MulShift(11, in[6], 5));
  const V e2 = Sub(MulShift(13, e3, 5), in[6]);
  const V o6 = Add(in[3], MulShift(15, in[5], 5));
  const V o5 = Sub(in[5], MulShift(11, o6, 4));
  const V o7 = Add(in[1], MulShift(3, in[7], 4));
  const V o4 = Sub(MulShift(3, o7, 4), in[7]);

  // Butterflies without halving: every value is twice its forward counterpart.
  const V S07 = Add(e0, e3), S34 = Sub(e0, e3);
  const V S16 = Add(e1, e2), S25 = Sub(e1, e2);
  const V D34 = Add(o4, o5);
  V D25 = Sub(o4, o5);
  V D16 = Sub(o7, o6);
  const V D07 = Add(o7, o6);

  // Undo the rotation on the doubled pair. Rounding here works on doubled
  // values, which is why the round trip is not always exact at 1, 2, 5, 6.
  D25 = Sub(MulShift(13, D16, 5), D25);
  D16 = Sub(D16, MulShift(11, D25, 4));
  D25 = Add(D25, MulShift(13, D16, 5));

  out[0] = Add(S07, D07);
  out[1] = Add(S16, D16);
  out[2] = Add(S25, D25);
  out[3] = Add(S34, D34);
  out[4] = Sub(S34, D34);
  out[5] = Sub(S25, D25);
  out[6] = Sub(S16, D16);
  out[7] = Sub(S07, D07);
}

}  // namespace

void ForwardDct8(const int32_t in[8], int32_t out[8]) { ForwardSteps(in, out); }
void InverseDct8(const int32_t in[8], int32_t out[8]) { InverseSteps(in, out); }
void ForwardDct8(const int64_t in[8], int64_t out[8]) { ForwardSteps(in, out); }
void InverseDct8(const int64_t in[8], int64_t out[8]) { InverseSteps(in, out); }

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

void AnalyseRowWidePlain(const uint16_t* row, int32_t W, int32_t* coeffs, ptrdiff_t stride) {
  for (int32_t x = 0; x + 8 <= W; ++x) {
    // Words up to 65535 keep every step below 94 * 65535 in magnitude: 32
    // bits hold the transform, and 32-bit row coefficients hold its outputs.
    int32_t a[8], X[8];
    for (int i = 0; i < 8; ++i) a[i] = row[x + i];
    ForwardDct8(a, X);
    for (int u = 0; u < 8; ++u) coeffs[u * stride + x] = X[u];
  }
}

void SynthesizeRowWidePlain(int64_t* accum, ptrdiff_t stride, int32_t W, int64_t* pixelSums, int64_t*) {
  for (int32_t x = 0; x < W; ++x) pixelSums[x] = 0;
  for (int32_t x = 0; x + 8 <= W; ++x) {
    int64_t q[8], p[8];
    for (int i = 0; i < 8; ++i) q[i] = accum[i * stride + x], accum[i * stride + x] = 0;
    InverseDct8(q, p);
    for (int j = 0; j < 8; ++j) pixelSums[x + j] += p[j];
  }
}

}  // namespace velmoraine
