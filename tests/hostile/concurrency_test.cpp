// The frame-parallel paths: several frames in flight at once must give
// exactly what one at a time gives. tests/stages/40-tsan.sh runs these under
// ThreadSanitizer, which also reports any data race on the way.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/hosts/avisynth25/frame_server.h"
#include "tests/hostile/run_cli.h"

namespace velmoraine::testing {
namespace {

using namespace velmoraine::host;

TEST(Concurrency, TheProgramWritesTheSameBytesWithAnyThreadCount) {
  TempDir dir;
  // Odd sizes (spilled chroma column and row), frame parameters, 20 frames.
  std::string stream = "YUV4MPEG2 W61 H45 F25:1 It A1:1 C420jpeg\n";
  for (int i = 0; i < 20; ++i) stream += Frame(61, 45, 500 + static_cast<uint32_t>(i), false, i % 3 ? "" : " Ib");
  WriteFile(dir / "in.y4m", stream);
  const std::vector<std::string> settings = {"--T", "18", "--P", "2", "--lp", "1", "--hp", "60"};

  auto run = [&](const char* threads, bool pipes) {
    std::vector<std::string> args = settings;
    args.insert(args.end(), {"--threads", threads});
    if (pipes) {
      args.insert(args.end(), {"-", "-"});
      return RunCli(args, (dir / "in.y4m").string());
    }
    args.insert(args.end(), {(dir / "in.y4m").string(), "-"});
    return RunCli(args);
  };
  const CliResult one = run("1", false);
  ASSERT_EQ(one.status, 0) << one.err;
  ASSERT_EQ(one.out.size(), stream.size());
  ASSERT_NE(one.out, stream);  // the noise was filtered
  ASSERT_EQ(one.err.rfind("velmoraine: interlaced input", 0), 0u) << one.err;  // the only line
  ASSERT_EQ(one.StderrLines(), 1) << one.err;
  for (const char* threads : {"2", "4", "7"}) {
    for (bool pipes : {false, true}) {
      SCOPED_TRACE(::testing::Message() << threads << " threads" << (pipes ? ", pipes" : ""));
      const CliResult many = run(threads, pipes);
      ASSERT_TRUE(many.exited) << many.signal;
      EXPECT_EQ(many.status, 0) << many.err;
      EXPECT_EQ(many.err, one.err);
      EXPECT_TRUE(many.out == one.out) << "output differs from one thread's";
    }
  }
}

PVideoFrame NoiseFrame(ScriptEnvironment& env, const VideoInfo& vi, uint32_t seed) {
  PVideoFrame f = env.NewVideoFrame(vi);
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    std::vector<uint8_t> bytes(static_cast<size_t>(StoredWidth(f, plane)) * StoredHeight(f, plane));
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(80 + ((seed = seed * 1664525u + 1013904223u) >> 26));
    if (!bytes.empty()) WritePlane(f, plane, bytes.data(), StoredWidth(f, plane));
  }
  return f;
}

using Planes = std::vector<std::vector<uint8_t>>;

Planes AllPlanes(const PVideoFrame& f) {
  return {PlaneBytes(f, PLANAR_Y), PlaneBytes(f, PLANAR_U), PlaneBytes(f, PLANAR_V)};
}

TEST(Concurrency, TwoFiltersOnOneSourceServeConcurrentRequestsLikeSerialOnes) {
  // Two filters with different settings share one source; four threads ask
  // both for every frame in different orders, so the source's frames are
  // copied for writing by several threads at once.
  ScriptEnvironment env;
  env.LoadPlugin(VELMORAINE_PLUGIN_PATH);
  const VideoInfo vi = MakeVideoInfo(53, 37, CS_YV12, 6);
  MemoryClip* memory = new MemoryClip(vi);
  PClip source = memory;
  for (int n = 0; n < vi.num_frames; ++n) memory->SetFrame(n, NoiseFrame(env, vi, 77 + static_cast<uint32_t>(n)));
  PClip filters[2] = {env.Call("velmoraine", {source, 20}, {nullptr, "T"}).AsClip(),
                      env.Call("velmoraine", {source, 9, 3, 2, 40}, {nullptr, "T", "P", "lp", "hp"}).AsClip()};
  std::vector<Planes> serial[2];
  for (int f = 0; f < 2; ++f)
    for (int n = 0; n < vi.num_frames; ++n) serial[f].push_back(AllPlanes(filters[f]->GetFrame(n, &env)));
  const std::vector<Planes> sources = [&] {
    std::vector<Planes> s;
    for (int n = 0; n < vi.num_frames; ++n) s.push_back(AllPlanes(source->GetFrame(n, &env)));
    return s;
  }();

  constexpr int kThreads = 4;
  std::vector<std::vector<Planes>> got[2];
  for (auto& g : got) g.assign(kThreads, std::vector<Planes>(static_cast<size_t>(vi.num_frames)));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < vi.num_frames; ++i) {
        const int n = (t % 2 ? vi.num_frames - 1 - i : i + t) % vi.num_frames;
        for (int f = 0; f < 2; ++f) {
          const int which = (f + t) % 2;
          got[which][static_cast<size_t>(t)][static_cast<size_t>(n)] = AllPlanes(filters[which]->GetFrame(n, &env));
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int f = 0; f < 2; ++f)
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(got[f][static_cast<size_t>(t)], serial[f]) << "filter " << f << " thread " << t;
  for (int n = 0; n < vi.num_frames; ++n) EXPECT_EQ(AllPlanes(source->GetFrame(n, &env)), sources[static_cast<size_t>(n)]);
}

}  // namespace
}  // namespace velmoraine::testing
