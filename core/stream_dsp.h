// The streaming plane pass and its table of kernels.
//
// The pass keeps only a few rows of each intermediate: row coefficients and
// coefficient sums live in rings of 16 rows, stored planar by frequency
// (coeffs[u * stride + x]) so that one vector load holds one frequency of
// adjacent segments. Every sum is an integer sum, so streaming changes no bit
// of the result.
//
// Kernels come in versions per instruction set. InitStreamDsp fills the table
// with the plain versions and then overrides entries with every faster version
// that both the mask and the running processor allow; PrepareFilter
// (core/plane_filter.h) does that once per filter instance.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/shrink.h"

namespace velmoraine {

// Layout of the rings. A frequency plane of a row holds `stride` elements,
// stride = 32n with n odd, and ring rows lie one cache line more than their
// 8 planes apart: the 15 rows x 8 planes of a column chunk then fall into
// different first-level cache sets instead of piling into a few (a stride of
// a power of two would put every row of a plane into one set).
// Computed in 64 bits: the caller checks that it fits its address space.
int64_t StreamStride(int32_t W);
inline ptrdiff_t CoeffRowPitch(ptrdiff_t stride) { return 8 * stride + 32; }  // int16 elements
inline ptrdiff_t AccumRowPitch(ptrdiff_t stride) { return 8 * stride + 16; }  // int32 elements

// Forward row transform of the segments x = 0..W-8 of one row (W >= 8) into
// coeffs[u * stride + x]. A version may also write lanes W-7 up to the next
// multiple of 16; the caller clears them afterwards. Reads row[0..W-1] only.
typedef void (*AnalyseRowFn)(const uint8_t* row, int32_t W, int16_t* coeffs, ptrdiff_t stride);

// The block stage of `rows` (1..8) consecutive block rows starting at plane
// row y: coeffRows[r] and accumRows[r] (r = 0..rows+6) are the planar row
// coefficients and coefficient sums of plane row y+r; weightRows[r]
// (r < rows) receives the weights of the blocks starting in row y+r.
// `blocks` block positions per row; lanes from `blocks` up to the next
// multiple of 32 hold zero row coefficients, so they add nothing to the sums,
// and the weights written there are to be ignored.
typedef void (*AccumulateBlockRowsFn)(const int16_t* const* coeffRows, int32_t* const* accumRows,
                                      int32_t* const* weightRows, int32_t rows, int32_t blocks,
                                      ptrdiff_t stride, const BlockStageTables& tables);

// Inverse row transform of one row of coefficient sums into per-sample sums
// pixelSums[0..W-1]; the coefficient sums are left 0, ready for reuse. Their
// lanes from W-7 up to the stride are 0 on entry.
// `scratch` holds 8 * (stride + 16) values; its entries that this function does
// not write must be 0 on the first call and stay so.
typedef void (*SynthesizeRowFn)(int32_t* accum, ptrdiff_t stride, int32_t W, int32_t* pixelSums,
                                int32_t* scratch);

// pixel[x] = (16 * pixel[x]) / D(x), truncated, for x = 0..W-1, where D(x) is
// the sum of columnWeights[x-7..x]. columnWeights is readable and 0 from
// index -8 up to W+8 outside the block positions; every D(x) is >= 1.
// pixel is 64-byte aligned and extends to the next multiple of 8 past W; a
// version may write those extra lanes, whose values are to be ignored.
typedef void (*NormalizeRowFn)(int32_t* pixel, const int32_t* columnWeights, int32_t W);

// Requantises row y of a W x H plane with error diffusion: values holds its
// normalised values (consumed), out receives its bytes, errors its truncation
// errors. The shares of earlier samples are pulled in the order their sources
// come in raster order, from errorsAbove (row y-1) and errorsTwoAbove (row
// y-2), unused when y < 1 or y < 2.
typedef void (*RequantizeRowFn)(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                                const int32_t* errorsTwoAbove, uint8_t* out, int32_t W, int32_t y, int32_t H);

// The wide pass (9..16-bit samples) has the same stages with wider elements:
// 32-bit row coefficients, 64-bit coefficient and per-sample sums, and 16-bit
// output words. Nothing wraps; each kernel's contract is otherwise that of its
// 8-bit counterpart above.
typedef void (*AnalyseRowWideFn)(const uint16_t* row, int32_t W, int32_t* coeffs, ptrdiff_t stride);
typedef void (*AccumulateBlockRowsWideFn)(const int32_t* const* coeffRows, int64_t* const* accumRows,
                                          int32_t* const* weightRows, int32_t rows, int32_t blocks,
                                          ptrdiff_t stride, const WideBlockStageTables& tables);
// `scratch` holds 8 * (stride + 16) 64-bit values, under the same rule.
typedef void (*SynthesizeRowWideFn)(int64_t* accum, ptrdiff_t stride, int32_t W, int64_t* pixelSums,
                                    int64_t* scratch);
// values[x] = (16 * sums[x]) / D(x), truncated; columnWeights and the extra
// lanes of values as for NormalizeRowFn. Every quotient fits 32 bits: it is a
// weighted average of block reconstructions, each within 16 times the
// largest word of the block (at 256 units per level, below 2^29).
typedef void (*NormalizeRowWideFn)(const int64_t* sums, const int32_t* columnWeights, int32_t W, int32_t* values);
// Requantisation of a row to `bits`-bit words: 256 units per level, written
// words clamped to 0..2^bits - 1, every diffusion target to 0..2^bits*256 - 1.
typedef void (*RequantizeRowWideFn)(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                                    const int32_t* errorsTwoAbove, uint16_t* out, int32_t W, int32_t y,
                                    int32_t H, int32_t bits);

struct StreamDsp {
  AnalyseRowFn analyseRow;
  AccumulateBlockRowsFn accumulateBlockRows;
  SynthesizeRowFn synthesizeRow;
  NormalizeRowFn normalizeRow;
  RequantizeRowFn requantizeRow;
  AnalyseRowWideFn analyseRowWide;
  AccumulateBlockRowsWideFn accumulateBlockRowsWide;
  SynthesizeRowWideFn synthesizeRowWide;
  NormalizeRowWideFn normalizeRowWide;
  RequantizeRowWideFn requantizeRowWide;
};

// Fills dsp with the best versions allowed by cpuMask and the running CPU.
void InitStreamDsp(StreamDsp& dsp, uint32_t cpuMask);

// The plain versions, one in the file of each stage, and the table filled
// with them alone. The faster versions are put in by one selector per
// processor family: core/x86/stream_dsp_x86.h, core/arm/stream_dsp_arm.h.
void AnalyseRowPlain(const uint8_t* row, int32_t W, int16_t* coeffs, ptrdiff_t stride);
void AccumulateBlockRowsPlain(const int16_t* const* coeffRows, int32_t* const* accumRows, int32_t* const* weightRows,
                              int32_t rows, int32_t blocks, ptrdiff_t stride, const BlockStageTables& tables);
void SynthesizeRowPlain(int32_t* accum, ptrdiff_t stride, int32_t W, int32_t* pixelSums, int32_t* scratch);
void NormalizeRowPlain(int32_t* pixel, const int32_t* columnWeights, int32_t W);
void RequantizeRowPlain(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                        const int32_t* errorsTwoAbove, uint8_t* out, int32_t W, int32_t y, int32_t H);
void AnalyseRowWidePlain(const uint16_t* row, int32_t W, int32_t* coeffs, ptrdiff_t stride);
void AccumulateBlockRowsWidePlain(const int32_t* const* coeffRows, int64_t* const* accumRows,
                                  int32_t* const* weightRows, int32_t rows, int32_t blocks, ptrdiff_t stride,
                                  const WideBlockStageTables& tables);
void SynthesizeRowWidePlain(int64_t* accum, ptrdiff_t stride, int32_t W, int64_t* pixelSums, int64_t* scratch);
void NormalizeRowWidePlain(const int64_t* sums, const int32_t* columnWeights, int32_t W, int32_t* values);
void RequantizeRowWidePlain(int32_t* values, int32_t* errors, const int32_t* errorsAbove,
                            const int32_t* errorsTwoAbove, uint16_t* out, int32_t W, int32_t y, int32_t H,
                            int32_t bits);
void InitStreamDspPlain(StreamDsp& dsp);

}  // namespace velmoraine
