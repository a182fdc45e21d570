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

// The buffers of one pass, carved from one block, each 64-byte aligned.
struct StreamBuffers {
  unsigned char* block;
  int16_t* coeffRing;     // kRing rows of CoeffRowPitch
  int32_t* accumRing;     // kRing rows of AccumRowPitch
  int32_t* weightRing;    // kRing block rows of stride
  int32_t* columnWeights; // stride + 32, index 0 at element 16
  int32_t* pixel;         // stride
  int32_t* scratch;       // 8 * (stride + 16)
  int32_t* errors;        // 3 rows of stride
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

bool TakeStreamBuffers(const PreparedFilter& filter, size_t stride, StreamBuffers& buffers) {
  // Sizes of the parts in bytes; stride is a multiple of 32, so every part is
  // a multiple of 64 bytes long.
  const size_t ring = static_cast<size_t>(kRing);
  size_t sizes[7];
  size_t total = 0;
  const size_t perStride[7] = {ring * 8 * 2, ring * 8 * 4, ring * 4, 4, 4, 8 * 4, 3 * 4};
  const size_t extra[7] = {ring * 32 * 2, ring * 16 * 4, 0, 32 * 4, 0, 8 * 16 * 4, 0};
  for (int i = 0; i < 7; ++i) {
    if (!CheckedMul(stride, perStride[i], sizes[i]) || !CheckedAdd(sizes[i], extra[i], sizes[i]) ||
        !CheckedAdd(total, sizes[i], total))
      return false;
  }
  unsigned char* block = TakeWorkBlock(filter, total);
  if (block == nullptr) return false;
  unsigned char* start = block + sizeof(size_t);
  unsigned char* p = start + (64 - reinterpret_cast<uintptr_t>(start) % 64) % 64;
  unsigned char* parts[7];
  for (int i = 0; i < 7; ++i) parts[i] = p, p += sizes[i];
  buffers.block = block;
  buffers.coeffRing = reinterpret_cast<int16_t*>(parts[0]);
  buffers.accumRing = reinterpret_cast<int32_t*>(parts[1]);
  buffers.weightRing = reinterpret_cast<int32_t*>(parts[2]);
  buffers.columnWeights = reinterpret_cast<int32_t*>(parts[3]) + 16;
  buffers.pixel = reinterpret_cast<int32_t*>(parts[4]);
  buffers.scratch = reinterpret_cast<int32_t*>(parts[5]);
  buffers.errors = reinterpret_cast<int32_t*>(parts[6]);
  // The sums start at 0, and the weight and scratch padding must read as 0,
  // whatever an earlier pass left in a spare block.
  memset(parts[1], 0, sizes[1]);
  memset(parts[3], 0, sizes[3]);
  memset(parts[5], 0, sizes[5]);
  memset(parts[6], 0, sizes[6]);
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
  InitStreamDsp(filter.dsp, cpuMask);
  PrepareBlockStageTables(T, P, lp, hp, filter.tables);
}

bool FilterPlane(const PlaneView& plane, const PreparedFilter& filter) {
  const StreamDsp& dsp = filter.dsp;
  const BlockStageTables& tables = filter.tables;
  if (!IsValidPlaneView(plane)) return false;
  const int32_t W = plane.width, H = plane.height;
  if (W < 8 || H < 8) return true;  // smaller than one block: left as it is

  // Every offset into the buffers must fit ptrdiff_t (32 bits in the Windows
  // build); the buffers take under 1024 bytes per column.
  const int64_t wideStride = StreamStride(W);
  if (wideStride > static_cast<int64_t>(PTRDIFF_MAX / 1024)) return false;
  const size_t stride = static_cast<size_t>(wideStride);
  StreamBuffers buffers;
  if (!TakeStreamBuffers(filter, stride, buffers)) return false;
  const ptrdiff_t s = static_cast<ptrdiff_t>(stride);

  const int32_t blocks = W - 7, blockRows = H - 7;
  auto coeffRow = [&](int32_t r) { return buffers.coeffRing + (r & (kRing - 1)) * CoeffRowPitch(s); };
  auto accumRow = [&](int32_t r) { return buffers.accumRing + (r & (kRing - 1)) * AccumRowPitch(s); };
  auto weightRow = [&](int32_t r) { return buffers.weightRing + (r & (kRing - 1)) * s; };
  // Truncation errors of plane row r (r >= -2; rows above the plane are never read).
  auto errorRow = [&](int32_t r) { return buffers.errors + ((r + 3) % 3) * s; };
  int32_t* columnWeights = buffers.columnWeights;

  int32_t analysed = 0, finished = 0;
  for (int32_t y = 0; y < blockRows; y += 8) {
    const int32_t rows = blockRows - y < 8 ? blockRows - y : 8;
    for (; analysed < y + rows + 7; ++analysed) {
      int16_t* coeffs = coeffRow(analysed);
      dsp.analyseRow(plane.data + analysed * plane.pitch, W, coeffs, s);
      // Lanes past the last segment must hold 0 so that they add nothing.
      for (int u = 0; u < 8; ++u) memset(coeffs + u * s + blocks, 0, (stride - blocks) * sizeof(int16_t));
    }
    const int16_t* coeffRows[15];
    int32_t* accumRows[15];
    int32_t* weightRows[8];
    for (int32_t r = 0; r < rows + 7; ++r) coeffRows[r] = coeffRow(y + r), accumRows[r] = accumRow(y + r);
    for (int32_t r = 0; r < rows; ++r) weightRows[r] = weightRow(y + r);
    dsp.accumulateBlockRows(coeffRows, accumRows, weightRows, rows, blocks, s, tables);

    // Sums rows before y + rows are complete; after the last band all are.
    const int32_t ready = y + rows == blockRows ? H : y + rows;
    for (; finished < ready; ++finished) {
      const int32_t k = finished;
      // columnWeights[x] = sum of the weights of blocks (x, j), k-7 <= j <= k,
      // in one pass over the row where a block row enters and one leaves.
      const int32_t* added = k < blockRows ? weightRow(k) : nullptr;
      const int32_t* dropped = k >= 8 ? weightRow(k - 8) : nullptr;
      if (added != nullptr && dropped != nullptr) {
        for (int32_t x = 0; x < blocks; ++x) columnWeights[x] += added[x] - dropped[x];
      } else if (added != nullptr) {
        for (int32_t x = 0; x < blocks; ++x) columnWeights[x] += added[x];
      } else if (dropped != nullptr) {
        for (int32_t x = 0; x < blocks; ++x) columnWeights[x] -= dropped[x];
      }
      dsp.synthesizeRow(accumRow(k), s, W, buffers.pixel, buffers.scratch);  // cleared: becomes row k + 16
      dsp.normalizeRow(buffers.pixel, columnWeights, W);
      dsp.requantizeRow(buffers.pixel, errorRow(k), errorRow(k - 1), errorRow(k - 2),
                        plane.data + k * plane.pitch, W, k, H);
    }
  }
  LeaveWorkBlock(filter, buffers.block);
  return true;
}

// The one-off form: the kernel table and the block-stage tables are prepared
// per call (a cpuid or two), and nothing is shared between concurrent calls.
bool FilterPlane(const PlaneView& plane, int32_t T, int32_t P, int32_t lp, int32_t hp) {
  PreparedFilter filter;
  PrepareFilter(T, P, lp, hp, kCpuAllFlags, filter);
  return FilterPlane(plane, filter);
}

}  // namespace velmoraine
