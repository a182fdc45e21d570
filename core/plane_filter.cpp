// FilterPlane and PrepareFilter: the pass over one plane, streamed over rings
// of rows, and the spare work blocks a prepared filter keeps.
//
// Every 8-sample row segment is transformed once and reused by the 8 blocks
// that contain it; per block only the column transform is undone, and the
// weighted blocks are summed in the row-coefficient domain; the row transform
// is undone once per segment, on the sums. Because the lifting steps drop low
// bits, this order of operations is part of the result.
//
// Block rows are taken in bands of up to 8. A band of block rows y..y+7 reads
// the row coefficients of plane rows y..y+14 and adds into the coefficient
// sums of the same rows; the kernels walk each band column chunk by column
// chunk, so a chunk's coefficients and sums stay in the first-level cache
// while its 8 block rows go through. After the band, sums rows y..y+7 are
// complete: they are transformed back, normalised with a running column sum of
// block weights and requantised, and their ring slots are cleared for rows
// y+16..y+23. Requantisation pulls the shares of earlier samples instead of
// pushing them forward, so it needs no row below the one it writes.
//
// Plane row k is written only after rows up to k+7 have been read, and no
// later step reads it again. All memory is taken before the first write, so a
// failed allocation leaves the plane untouched.
#include <new>
#include <string.h>

#include "core/plane_filter.h"
#include "core/stream_dsp.h"

namespace velmoraine {

namespace {

constexpr int32_t kRing = 16;  // rows held in each ring; a power of two

// a * b, or false when the product does not fit size_t (32 bits on Windows).
bool CheckedMul(size_t a, size_t b, size_t& product) {
  if (a != 0 && b > static_cast<size_t>(-1) / a) return false;
  product = a * b;
  return true;
}

bool CheckedAdd(size_t a, size_t b, size_t& sum) {
  if (b > static_cast<size_t>(-1) - a) return false;
  sum = a + b;
  return true;
}

// The element types and kernels of a pass: the 8-bit pass, whose sums wrap
// modulo 2^32 in place, and the wide pass, whose sums are exact 64-bit values
// normalised into a separate row.
struct NarrowPass {
  using Sample = uint8_t;
  using Coeff = int16_t;
  using Sum = int32_t;
  static constexpr bool kSeparateSums = false;
  static constexpr int64_t kBytesPerColumn = 1024;  // an upper bound on the buffers' bytes per column
  const StreamDsp& dsp;
  const BlockStageTables& tables;

  void Analyse(const Sample* row, int32_t W, Coeff* coeffs, ptrdiff_t s) const { dsp.analyseRow(row, W, coeffs, s); }
  void Accumulate(const Coeff* const* coeffRows, Sum* const* accumRows, int32_t* const* weightRows, int32_t rows,
                  int32_t blocks, ptrdiff_t s) const {
    dsp.accumulateBlockRows(coeffRows, accumRows, weightRows, rows, blocks, s, tables);
  }
  void Finish(Sum* accum, ptrdiff_t s, int32_t W, Sum*, int32_t* pixel, Sum* scratch, const int32_t* columnWeights,
              int32_t* const errors[3], Sample* out, int32_t k, int32_t H) const {
    dsp.synthesizeRow(accum, s, W, pixel, scratch);
    dsp.normalizeRow(pixel, columnWeights, W);
    dsp.requantizeRow(pixel, errors[0], errors[1], errors[2], out, W, k, H);
  }
};

struct WidePass {
  using Sample = uint16_t;
  using Coeff = int32_t;
  using Sum = int64_t;
  static constexpr bool kSeparateSums = true;
  static constexpr int64_t kBytesPerColumn = 2048;
  const StreamDsp& dsp;
  const WideBlockStageTables& tables;
  int32_t bits;

  void Analyse(const Sample* row, int32_t W, Coeff* coeffs, ptrdiff_t s) const {
    dsp.analyseRowWide(row, W, coeffs, s);
  }
  void Accumulate(const Coeff* const* coeffRows, Sum* const* accumRows, int32_t* const* weightRows, int32_t rows,
                  int32_t blocks, ptrdiff_t s) const {
    dsp.accumulateBlockRowsWide(coeffRows, accumRows, weightRows, rows, blocks, s, tables);
  }
  void Finish(Sum* accum, ptrdiff_t s, int32_t W, Sum* sums, int32_t* pixel, Sum* scratch,
              const int32_t* columnWeights, int32_t* const errors[3], Sample* out, int32_t k, int32_t H) const {
    dsp.synthesizeRowWide(accum, s, W, sums, scratch);
    dsp.normalizeRowWide(sums, columnWeights, W, pixel);
    dsp.requantizeRowWide(pixel, errors[0], errors[1], errors[2], out, W, k, H, bits);
  }
};

// The buffers of one pass, carved from one block, each 64-byte aligned.
template <class Pass>
struct StreamBuffers {
  unsigned char* block;
  typename Pass::Coeff* coeffRing;  // kRing rows of CoeffRowPitch
  typename Pass::Sum* accumRing;    // kRing rows of AccumRowPitch
  int32_t* weightRing;              // kRing block rows of stride
  int32_t* columnWeights;           // stride + 32, index 0 at element 16
  int32_t* pixel;                   // stride
  typename Pass::Sum* scratch;      // 8 * (stride + 16)
  int32_t* errors;                  // 3 rows of stride
  typename Pass::Sum* sums;         // stride, the wide pass only
};

// Atomic hand-over of spare work blocks: Exchange swaps a slot's content for
// `value` and returns what it held; PlaceIfEmpty stores `value` in an empty
// slot and says whether it did.
#if defined(__GNUC__) || defined(__clang__)
void* Exchange(void** slot, void* value) { return __atomic_exchange_n(slot, value, __ATOMIC_ACQ_REL); }
bool PlaceIfEmpty(void** slot, void* value) {
  void* empty = nullptr;
  return __atomic_compare_exchange_n(slot, &empty, value, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}
#else
// No atomics without the standard library: no spare is kept, and every pass
// allocates its own block.
void* Exchange(void**, void*) { return nullptr; }
bool PlaceIfEmpty(void**, void*) { return false; }
#endif

// A work block holds its capacity in its first bytes; the buffers begin at the
// first 64-byte boundary after them.
constexpr size_t kWorkBlockHeader = sizeof(size_t) + 64;

void ReleaseWorkBlock(void* block) { delete[] static_cast<unsigned char*>(block); }

// A spare block of the filter's that holds `bytes` of buffers (spares too
// small on the way are freed), else a new block; nullptr when that
// allocation fails.
unsigned char* TakeWorkBlock(const PreparedFilter& filter, size_t bytes) {
  for (void*& slot : filter.spareWork) {
    unsigned char* block = static_cast<unsigned char*>(Exchange(&slot, nullptr));
    if (block == nullptr) continue;
    size_t capacity;
    memcpy(&capacity, block, sizeof capacity);
    if (capacity >= bytes) return block;
    ReleaseWorkBlock(block);
  }
  size_t total;
  if (!CheckedAdd(bytes, kWorkBlockHeader, total)) return nullptr;
  unsigned char* block = new (std::nothrow) unsigned char[total];
  if (block != nullptr) memcpy(block, &bytes, sizeof bytes);
  return block;
}

// Leaves the block as one of the filter's spares, or frees it when every
// place is taken.
void LeaveWorkBlock(const PreparedFilter& filter, unsigned char* block) {
  for (void*& slot : filter.spareWork)
    if (PlaceIfEmpty(&slot, block)) return;
  ReleaseWorkBlock(block);
}

template <class Pass>
bool TakeStreamBuffers(const PreparedFilter& filter, size_t stride, StreamBuffers<Pass>& buffers) {
  // Sizes of the parts in bytes; stride is a multiple of 32, so every part is
  // a multiple of 64 bytes long. The 8-bit pass has no separate sums.
  const size_t ring = static_cast<size_t>(kRing), coeff = sizeof(typename Pass::Coeff);
  const size_t sum = sizeof(typename Pass::Sum), sums = Pass::kSeparateSums ? sum : 0;
  size_t sizes[8];
  size_t total = 0;
  const size_t perStride[8] = {ring * 8 * coeff, ring * 8 * sum, ring * 4, 4, 4, 8 * sum, 3 * 4, sums};
  const size_t extra[8] = {ring * 32 * coeff, ring * 16 * sum, 0, 32 * 4, 0, 8 * 16 * sum, 0, 0};
  for (int i = 0; i < 8; ++i) {
    if (!CheckedMul(stride, perStride[i], sizes[i]) || !CheckedAdd(sizes[i], extra[i], sizes[i]) ||
        !CheckedAdd(total, sizes[i], total))
      return false;
  }
  unsigned char* block = TakeWorkBlock(filter, total);
  if (block == nullptr) return false;
  unsigned char* start = block + sizeof(size_t);
  unsigned char* p = start + (64 - reinterpret_cast<uintptr_t>(start) % 64) % 64;
  unsigned char* parts[8];
  for (int i = 0; i < 8; ++i) parts[i] = p, p += sizes[i];
  buffers.block = block;
  buffers.coeffRing = reinterpret_cast<typename Pass::Coeff*>(parts[0]);
  buffers.accumRing = reinterpret_cast<typename Pass::Sum*>(parts[1]);
  buffers.weightRing = reinterpret_cast<int32_t*>(parts[2]);
  buffers.columnWeights = reinterpret_cast<int32_t*>(parts[3]) + 16;
  buffers.pixel = reinterpret_cast<int32_t*>(parts[4]);
  buffers.scratch = reinterpret_cast<typename Pass::Sum*>(parts[5]);
  buffers.errors = reinterpret_cast<int32_t*>(parts[6]);
  buffers.sums = reinterpret_cast<typename Pass::Sum*>(parts[7]);
  // The sums start at 0, and the weight and scratch padding must read as 0,
  // whatever an earlier pass left in a spare block.
  memset(parts[1], 0, sizes[1]);
  memset(parts[3], 0, sizes[3]);
  memset(parts[5], 0, sizes[5]);
  memset(parts[6], 0, sizes[6]);
  return true;
}

// Adds the weights of block row k (when k is one) to the running column sums
// and drops those of block row k - 8: columnWeights[x] becomes the sum of the
// weights of blocks (x, j), k-7 <= j <= k.
void SlideColumnWeights(int32_t* columnWeights, const int32_t* added, const int32_t* dropped, int32_t blocks) {
  if (added != nullptr && dropped != nullptr) {
    for (int32_t x = 0; x < blocks; ++x) columnWeights[x] += added[x] - dropped[x];
  } else if (added != nullptr) {
    for (int32_t x = 0; x < blocks; ++x) columnWeights[x] += added[x];
  } else if (dropped != nullptr) {
    for (int32_t x = 0; x < blocks; ++x) columnWeights[x] -= dropped[x];
  }
}

template <class Sample>
Sample* RowOf(Sample* data, ptrdiff_t pitch, int32_t y) {
  return reinterpret_cast<Sample*>(reinterpret_cast<unsigned char*>(data) + y * pitch);
}

// The pass over a plane of at least 8x8 whose view has been checked; pitch in
// bytes.
template <class Pass>
bool StreamPlane(const Pass& pass, typename Pass::Sample* data, ptrdiff_t pitch, int32_t W, int32_t H,
                 const PreparedFilter& filter) {
  using Coeff = typename Pass::Coeff;
  using Sum = typename Pass::Sum;
  // Every offset into the buffers must fit ptrdiff_t (32 bits in the Windows
  // build).
  const int64_t wideStride = StreamStride(W);
  if (wideStride > static_cast<int64_t>(PTRDIFF_MAX) / Pass::kBytesPerColumn) return false;
  const size_t stride = static_cast<size_t>(wideStride);
  StreamBuffers<Pass> buffers;
  if (!TakeStreamBuffers(filter, stride, buffers)) return false;
  const ptrdiff_t s = static_cast<ptrdiff_t>(stride);

  const int32_t blocks = W - 7, blockRows = H - 7;
  auto coeffRow = [&](int32_t r) { return buffers.coeffRing + (r & (kRing - 1)) * CoeffRowPitch(s); };
  auto accumRow = [&](int32_t r) { return buffers.accumRing + (r & (kRing - 1)) * AccumRowPitch(s); };
  auto weightRow = [&](int32_t r) { return buffers.weightRing + (r & (kRing - 1)) * s; };
  // Truncation errors of plane row r (r >= -2; rows above the plane are never read).
  auto errorRow = [&](int32_t r) { return buffers.errors + ((r + 3) % 3) * s; };

  int32_t analysed = 0, finished = 0;
  for (int32_t y = 0; y < blockRows; y += 8) {
    const int32_t rows = blockRows - y < 8 ? blockRows - y : 8;
    for (; analysed < y + rows + 7; ++analysed) {
      Coeff* coeffs = coeffRow(analysed);
      pass.Analyse(RowOf(data, pitch, analysed), W, coeffs, s);
      // Lanes past the last segment must hold 0 so that they add nothing.
      for (int u = 0; u < 8; ++u) memset(coeffs + u * s + blocks, 0, (stride - blocks) * sizeof(Coeff));
    }
    const Coeff* coeffRows[15];
    Sum* accumRows[15];
    int32_t* weightRows[8];
    for (int32_t r = 0; r < rows + 7; ++r) coeffRows[r] = coeffRow(y + r), accumRows[r] = accumRow(y + r);
    for (int32_t r = 0; r < rows; ++r) weightRows[r] = weightRow(y + r);
    pass.Accumulate(coeffRows, accumRows, weightRows, rows, blocks, s);

    // Sums rows before y + rows are complete; after the last band all are.
    const int32_t ready = y + rows == blockRows ? H : y + rows;
    for (; finished < ready; ++finished) {
      const int32_t k = finished;
      SlideColumnWeights(buffers.columnWeights, k < blockRows ? weightRow(k) : nullptr,
                         k >= 8 ? weightRow(k - 8) : nullptr, blocks);
      int32_t* const errors[3] = {errorRow(k), errorRow(k - 1), errorRow(k - 2)};
      // The sums row is cleared by the synthesis: it becomes row k + 16.
      pass.Finish(accumRow(k), s, W, buffers.sums, buffers.pixel, buffers.scratch, buffers.columnWeights, errors,
                  RowOf(data, pitch, k), k, H);
    }
  }
  LeaveWorkBlock(filter, buffers.block);
  return true;
}

}  // namespace

bool IsValidPlaneView(const PlaneView& plane) {
  if (plane.width < 0 || plane.height < 0) return false;
  if (plane.width == 0 || plane.height == 0) return true;
  if (plane.data == nullptr) return false;
  return plane.height == 1 || plane.pitch >= plane.width;
}

PreparedFilter::~PreparedFilter() {
  for (void* block : spareWork) ReleaseWorkBlock(block);
}

void PrepareFilter(int32_t T, int32_t P, int32_t lp, int32_t hp, uint32_t cpuMask, PreparedFilter& filter) {
  PrepareFilter(T, P, lp, hp, 8, cpuMask, filter);
}

void PrepareFilter(int32_t T, int32_t P, int32_t lp, int32_t hp, int32_t bits, uint32_t cpuMask,
                   PreparedFilter& filter) {
  InitStreamDsp(filter.dsp, cpuMask);
  PrepareBlockStageTables(T, P, lp, hp, filter.tables);
  // A depth outside 9..16 prepares no wide tables; no wide plane matches it.
  filter.bits = bits;
  if (bits >= 9 && bits <= 16) PrepareWideBlockStageTables(T, P, lp, hp, bits, filter.wideTables);
}

bool FilterPlane(const PlaneView& plane, const PreparedFilter& filter) {
  if (!IsValidPlaneView(plane)) return false;
  if (plane.width < 8 || plane.height < 8) return true;  // smaller than one block: left as it is
  return StreamPlane(NarrowPass{filter.dsp, filter.tables}, plane.data, plane.pitch, plane.width, plane.height,
                     filter);
}

bool FilterPlane(const PlaneView16& plane, const PreparedFilter& filter) {
  if (plane.bits < 9 || plane.bits > 16 || plane.bits != filter.bits) return false;
  if (plane.pitch % 2 != 0) return false;
  // The 8-bit rule on the view, in words: a pitch of at least the row's bytes.
  if (plane.width < 0 || plane.height < 0) return false;
  if (plane.width == 0 || plane.height == 0) return true;
  if (plane.data == nullptr) return false;
  if (plane.height > 1 && plane.pitch / 2 < plane.width) return false;
  if (plane.width < 8 || plane.height < 8) return true;  // smaller than one block: left as it is
  return StreamPlane(WidePass{filter.dsp, filter.wideTables, plane.bits}, plane.data, plane.pitch, plane.width,
                     plane.height, filter);
}

// The one-off form: the kernel table and the block-stage tables are prepared
// per call (a cpuid or two), and nothing is shared between concurrent calls.
bool FilterPlane(const PlaneView& plane, int32_t T, int32_t P, int32_t lp, int32_t hp) {
  PreparedFilter filter;
  PrepareFilter(T, P, lp, hp, kCpuAllFlags, filter);
  return FilterPlane(plane, filter);
}

bool FilterPlane(const PlaneView16& plane, int32_t T, int32_t P, int32_t lp, int32_t hp) {
  PreparedFilter filter;
  PrepareFilter(T, P, lp, hp, plane.bits, kCpuAllFlags, filter);
  return FilterPlane(plane, filter);
}

}  // namespace velmoraine
