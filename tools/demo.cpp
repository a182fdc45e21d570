#include "tools/demo.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>

#include <unistd.h>

#include "tools/noise_estimate.h"
#include "y4m/y4m.h"

namespace velmoraine::tools {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFrames = 30;
constexpr double kSigma = 10.0;
constexpr uint64_t kSeed = 20261207;
constexpr int kSweep[] = {0, 10, 20, 28, 40, 60};

// Files are opened through stdio only to own their descriptors: all reading
// and writing goes through the Y4M reader and writer on the descriptor.
using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File Open(const std::filesystem::path& path, const char* mode) {
  File file(std::fopen(path.c_str(), mode), &std::fclose);
  if (!file) throw RunError("cannot open '" + path.string() + "'");
  return file;
}

uint8_t Clamp(int value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); }

uint64_t NextRandom(uint64_t& state) {  // splitmix64
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double Uniform(uint64_t& state) {  // in (0, 1]
  return (static_cast<double>(NextRandom(state) >> 11) + 1.0) / 9007199254740992.0;
}

y4m::StreamHeader DemoHeader() { return y4m::MakeStreamHeader(kWidth, kHeight, y4m::Chroma::k420); }

void Regions(Picture& picture, y4m::PlaneRegion regions[3]) {
  for (int p = 0; p < 3; ++p) {
    int w = p == 0 ? picture.width : (picture.width + 1) / 2;
    int h = p == 0 ? picture.height : (picture.height + 1) / 2;
    regions[p] = {picture.planes[p].data(), w, w, h};
  }
}

void WriteClip(const std::filesystem::path& path, const std::vector<Picture>& pictures) {
  File file = Open(path, "wb");
  y4m::Writer writer(fileno(file.get()));
  writer.WriteHeader(DemoHeader());
  for (Picture picture : pictures) {
    y4m::PlaneRegion regions[3];
    Regions(picture, regions);
    writer.WriteFrame("", regions, {});
  }
  writer.Finish();
}

// Reads a clip written by FilterStream from the demo's own input.
std::vector<Picture> ReadClip(int fd) {
  if (lseek(fd, 0, SEEK_SET) != 0) throw RunError("cannot read back a filtered clip");
  y4m::Reader reader(fd);
  const y4m::StreamHeader& header = reader.ReadHeader();
  std::vector<Picture> pictures;
  std::string parameters;
  std::vector<uint8_t> spill;
  while (reader.ReadFrameHeader(parameters)) {
    Picture picture = MakeDemoPicture(header.width, header.height, 0);
    y4m::PlaneRegion regions[3];
    Regions(picture, regions);
    reader.ReadFrameSamples(regions, spill);
    pictures.push_back(std::move(picture));
  }
  return pictures;
}

ErrorSums Compare(const std::vector<Picture>& reference, const std::vector<Picture>& other) {
  if (reference.size() != other.size()) throw RunError("the demo's clips differ in length");
  ErrorSums sums;
  for (size_t i = 0; i < reference.size(); ++i) sums.Add(reference[i], other[i]);
  return sums;
}

std::string Decibels(double value) {
  if (std::isinf(value)) return "inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f dB", value);
  return text;
}

// A picture of the size with every sample at `level`.
Picture FlatPicture(int width, int height, uint8_t level) {
  Picture picture;
  picture.width = width;
  picture.height = height;
  const size_t chroma = static_cast<size_t>((width + 1) / 2) * static_cast<size_t>((height + 1) / 2);
  picture.planes[0].assign(static_cast<size_t>(width) * height, level);
  picture.planes[1].assign(chroma, level);
  picture.planes[2].assign(chroma, level);
  return picture;
}

}  // namespace

Picture MakeDemoPicture(int width, int height, int index) {
  Picture picture = FlatPicture(width, height, 0);
  const int cw = (width + 1) / 2, ch = (height + 1) / 2;
  const int discX = width / 6 + 5 * index, discY = height / 2, radius = height / 6;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      // A smooth gradient drifting left, so no two frames are alike.
      int value = 50 + ((x + 3 * index) % width) * 100 / width + y * 50 / height;
      if (x >= width * 5 / 8 && x < width * 9 / 10 && y >= height / 8 && y < height * 3 / 8)
        value = (x / 3) % 2 ? 50 : 110;  // fine vertical stripes
      if (x >= width * 5 / 8 && x < width * 9 / 10 && y >= height * 5 / 8 && y < height * 7 / 8)
        value = ((x / 8) + (y / 8)) % 2 ? 90 : 170;  // checkerboard
      if (x >= width / 8 && x < width / 3 && y >= height * 3 / 4 && y < height * 15 / 16)
        value = 25;  // a dark box with sharp edges
      int dx = x - discX, dy = y - discY;
      if (dx * dx + dy * dy <= radius * radius) value = 215;
      picture.planes[0][static_cast<size_t>(y) * width + x] = Clamp(value);
    }
  }
  for (int y = 0; y < ch; ++y) {
    for (int x = 0; x < cw; ++x) {
      int u = 128 + (x - cw / 2) * 40 / cw, v = 128 + (y - ch / 2) * 40 / ch;
      int dx = 2 * x - discX, dy = 2 * y - discY;
      if (dx * dx + dy * dy <= radius * radius) u = 96, v = 190;
      picture.planes[1][static_cast<size_t>(y) * cw + x] = Clamp(u);
      picture.planes[2][static_cast<size_t>(y) * cw + x] = Clamp(v);
    }
  }
  return picture;
}

Picture MakeTexturePicture(int width, int height, int index) {
  Picture picture = FlatPicture(width, height, 128);
  // Grain: a fixed random field, each value the mean of a 3x3 neighbourhood
  // of hashed values (so the texture is fine but not white).
  auto hashed = [](int x, int y) {
    uint64_t state = static_cast<uint64_t>(static_cast<uint32_t>(x)) * 0x9E3779B1u + static_cast<uint32_t>(y);
    return static_cast<double>(NextRandom(state) >> 56) - 127.5;  // -127.5..127.5
  };
  const double pi = 3.141592653589793;
  for (int y = 0; y < height; ++y) {
    for (int x0 = 0; x0 < width; ++x0) {
      const int x = x0 + 2 * index;
      // Smooth shading everywhere, 90..165.
      double value = 128 + 25 * std::sin(2 * pi * x / 173.0) + 12 * std::cos(2 * pi * y / 131.0);
      const bool left = x0 < width / 2, top = y < height / 2;
      if (left && top) {
        // Woven cloth: crossing threads 7 and 9 pixels apart.
        value += 22 * std::sin(2 * pi * x / 7.0) * std::sin(2 * pi * y / 9.0) +
                 8 * std::sin(2 * pi * (x + y) / 5.0);
      } else if (!left && top) {
        double grain = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) grain += hashed(x + dx, y + dy);
        value += grain / 9.0 * 0.35;
      } else if (left && !top) {
        // Wood: curved lines about 6 pixels apart.
        value += 20 * std::sin(2 * pi * (y + 9 * std::sin(2 * pi * x / 60.0)) / 6.0);
      } else {
        // Sharp-edged shapes on the shading.
        const int cx = width * 3 / 4, cy = height * 3 / 4, r = height / 8;
        if ((x0 - cx) * (x0 - cx) + (y - cy) * (y - cy) <= r * r) value = 190;
        if (x0 >= width * 9 / 16 && x0 < width * 5 / 8 + 10 && y >= height * 9 / 16 && y < height * 15 / 16)
          value = 60;
      }
      const int level = static_cast<int>(std::lround(value));
      picture.planes[0][static_cast<size_t>(y) * width + x0] =
          static_cast<uint8_t>(level < 40 ? 40 : level > 215 ? 215 : level);
    }
  }
  return picture;
}

void AddGaussianNoise(Picture& picture, double sigma, uint64_t& seed) {
  for (auto& plane : picture.planes) {
    for (uint8_t& sample : plane) {
      // Box-Muller: one normal deviate from two uniform ones.
      double g = std::sqrt(-2.0 * std::log(Uniform(seed))) * std::cos(6.283185307179586 * Uniform(seed));
      sample = Clamp(sample + static_cast<int>(std::lround(sigma * g)));
    }
  }
}

void ErrorSums::Add(const Picture& reference, const Picture& other) {
  for (int p = 0; p < 3; ++p) {
    const auto& a = reference.planes[p];
    const auto& b = other.planes[p];
    if (a.size() != b.size()) throw RunError("the demo's pictures differ in size");
    for (size_t i = 0; i < a.size(); ++i) {
      double d = static_cast<double>(a[i]) - b[i];
      squared[p] += d * d;
    }
    samples[p] += static_cast<double>(a.size());
  }
}

double Psnr(double squaredErrors, double samples) {
  if (squaredErrors <= 0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(255.0 * 255.0 * samples / squaredErrors);
}

double ErrorSums::LumaPsnr() const { return velmoraine::tools::Psnr(squared[0], samples[0]); }

double ErrorSums::Psnr() const {
  return velmoraine::tools::Psnr(squared[0] + squared[1] + squared[2],
                                 samples[0] + samples[1] + samples[2]);
}

int RunDemo(const std::string& folderName, const RunOptions& options) {
  namespace fs = std::filesystem;
  const fs::path folder(folderName);
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw RunError("cannot create the folder '" + folderName + "': " + error.message());

  std::vector<Picture> clean, noisy;
  uint64_t seed = kSeed;
  for (int i = 0; i < kFrames; ++i) {
    clean.push_back(MakeDemoPicture(kWidth, kHeight, i));
    noisy.push_back(clean.back());
    AddGaussianNoise(noisy.back(), kSigma, seed);
  }
  WriteClip(folder / "clean.y4m", clean);
  WriteClip(folder / "noisy.y4m", noisy);

  // The noise as --T auto sees it: the luma of the first frames.
  NoiseEstimator estimator;
  for (int i = 0; i < kFrames && i < kEstimateFrames; ++i)
    estimator.AddPlane(noisy[i].planes[0].data(), kWidth, kWidth, kHeight);
  const int autoT = ThresholdForSigma(estimator.Sigma());

  const int T = options.autoThreshold ? autoT : options.settings.T;
  RunOptions fixed = options;
  fixed.autoThreshold = false;

  // Filters noisy.y4m with threshold T into `out`, returning what it wrote.
  auto filter = [&](int T, std::FILE* out) {
    RunOptions run = fixed;
    run.settings.T = T;
    run.progress = false;
    File in = Open(folder / "noisy.y4m", "rb");
    int fd = fileno(out);
    FilterStream(fileno(in.get()), [fd] { return fd; }, run);
    return ReadClip(fd);
  };

  File filteredFile = Open(folder / "filtered.y4m", "w+b");
  ErrorSums before = Compare(clean, noisy);
  ErrorSums after = Compare(clean, filter(T, filteredFile.get()));

  std::printf("velmoraine demo: %d frames of %dx%d 4:2:0, Gaussian noise of sigma %.0f levels "
              "on every plane (seed %llu)\n",
              kFrames, kWidth, kHeight, kSigma, static_cast<unsigned long long>(kSeed));
  std::printf("filter: T=%d P=%d lp=%d hp=%d, %d thread%s\n", T, options.settings.P,
              options.settings.lp, options.settings.hp, options.threads,
              options.threads == 1 ? "" : "s");
  std::printf("noise estimate (luma of the first %d frames): sigma %.2f levels (true %.0f) -> --T auto takes T=%d\n",
              kEstimateFrames, estimator.Sigma(), kSigma, autoT);
  if (T == kDemoThreshold)
    std::printf("  why T=%d: 2.8 x sigma. Noise alone seldom makes an orthonormal coefficient\n"
                "  that large, while edges and texture do; the sweep below peaks there.\n", T);
  std::printf("PSNR against the clean clip      luma        all planes\n");
  std::printf("  noisy                          %-11s %s\n", Decibels(before.LumaPsnr()).c_str(),
              Decibels(before.Psnr()).c_str());
  std::printf("  filtered                       %-11s %s\n", Decibels(after.LumaPsnr()).c_str(),
              Decibels(after.Psnr()).c_str());
  std::printf("threshold sweep (luma PSNR of the filtered clip):");
  for (int sweepT : kSweep) {
    File scratch(std::tmpfile(), &std::fclose);
    if (!scratch) throw RunError("cannot make a temporary file");
    std::printf(" T=%d %s;", sweepT, Decibels(Compare(clean, filter(sweepT, scratch.get())).LumaPsnr()).c_str());
    std::fflush(stdout);
  }
  std::printf("\nfiles: %s, %s, %s\n", (folder / "clean.y4m").c_str(), (folder / "noisy.y4m").c_str(),
              (folder / "filtered.y4m").c_str());
  std::printf("look at them with e.g.: ffplay %s\n", (folder / "filtered.y4m").c_str());
  return 0;
}

}  // namespace velmoraine::tools
