#include "tools/noise_estimate.h"

#include <algorithm>
#include <cmath>

namespace velmoraine::tools {
namespace {

constexpr int kBlock = 16;
constexpr size_t kEnoughBlocks = 8;
constexpr double kQuantile = 0.02;
// For a block holding nothing but white Gaussian noise, its mean square
// output over 36 sigma^2 is spread around 1; its 2nd percentile, measured
// over 10^6 blocks, is 0.6611. The quietest of many blocks are the ones
// texture and edges leave alone, so a low percentile ignores them; a lower
// one would rest on too few blocks of a small clip.
constexpr double kPureNoiseQuantile = 0.6611;

double Quantile(std::vector<float>& values, double q) {
  const size_t at = static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
  std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(at), values.end());
  return values[at];
}

}  // namespace

void NoiseEstimator::AddPlane(const uint8_t* data, ptrdiff_t pitch, int width, int height) {
  AddBlocks(data, pitch, width, height, 8);
}

void NoiseEstimator::AddPlane16(const uint16_t* data, ptrdiff_t pitch, int width, int height, int bits) {
  AddBlocks(data, pitch, width, height, bits);
}

template <typename Sample>
void NoiseEstimator::AddBlocks(const Sample* data, ptrdiff_t pitch, int width, int height, int bits) {
  const int top = (1 << bits) - 1;
  // Native levels to 8-bit ones: the mean scales by 2^(bits-8), squares by its square.
  const double level = static_cast<double>(1 << (bits - 8));
  auto rowAt = [&](const Sample* from, int rows) {
    return reinterpret_cast<const Sample*>(reinterpret_cast<const uint8_t*>(from) + rows * pitch);
  };
  for (int by = 0; by + kBlock <= height; by += kBlock) {
    for (int bx = 0; bx + kBlock <= width; bx += kBlock) {
      const Sample* block = rowAt(data, by) + bx;
      int64_t sum = 0, squares = 0;
      bool clipped = false;
      for (int y = 0; y < kBlock; ++y) {
        const Sample* row = rowAt(block, y);
        for (int x = 0; x < kBlock; ++x) {
          sum += row[x];
          clipped |= row[x] == 0 || row[x] >= top;
        }
      }
      for (int y = 1; y + 1 < kBlock; ++y) {
        const Sample *up = rowAt(block, y - 1), *row = rowAt(block, y), *down = rowAt(block, y + 1);
        for (int x = 1; x + 1 < kBlock; ++x) {
          const int64_t r = int64_t{up[x - 1]} - 2 * up[x] + up[x + 1] - 2 * (row[x - 1] - 2 * row[x] + row[x + 1]) +
                            down[x - 1] - 2 * down[x] + down[x + 1];
          squares += r * r;
        }
      }
      constexpr double kOutputs = (kBlock - 2) * (kBlock - 2);
      blocks_.push_back({static_cast<float>(static_cast<double>(squares) / (36.0 * kOutputs * level * level)),
                         static_cast<float>(static_cast<double>(sum) / (kBlock * kBlock * level)), clipped});
    }
  }
}

double NoiseEstimator::Sigma() const {
  if (blocks_.empty()) return 0;
  // Picks the blocks the noise can show itself fully in, and estimates from
  // the quietest of them. `margin` keeps away from the ends of the range.
  auto estimate = [&](double margin, bool& enough) {
    std::vector<float> values;
    for (const Block& b : blocks_)
      if (!b.clipped && b.mean >= margin && b.mean <= 255.0 - margin) values.push_back(b.meanSquare);
    enough = values.size() >= kEnoughBlocks;
    return enough ? std::sqrt(Quantile(values, kQuantile) / kPureNoiseQuantile) : 0.0;
  };
  bool enough = false;
  double sigma = estimate(0, enough);
  if (!enough) return 0;  // clipped nearly everywhere: no estimate
  // Blocks close to 0 or 255 lose the noise's tails to clipping even when no
  // sample reached the end: leave them out, from the estimate so far.
  for (int pass = 0; pass < 2; ++pass) {
    const double refined = estimate(3 * sigma, enough);
    if (!enough) break;
    sigma = refined;
  }
  return sigma;
}

const char* NoiseEstimator::NoEstimate() const {
  if (blocks_.empty()) return "the frames are smaller than 16x16";
  size_t usable = 0;
  for (const Block& b : blocks_) usable += !b.clipped;
  if (usable < kEnoughBlocks) return "nearly every 16x16 block reaches 0 or 255, where clipping hides noise";
  return nullptr;
}

int ThresholdForSigma(double sigma) { return static_cast<int>(std::lround(2.8 * sigma)); }

}  // namespace velmoraine::tools
