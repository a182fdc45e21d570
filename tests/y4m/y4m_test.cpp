// The Y4M reader and writer: headers, round trips through padded frame
// memory with spill, and damaged streams. Files come from tmpfile() for
// their descriptors only.
#include "y4m/y4m.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace velmoraine::y4m {
namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File FileWith(const std::string& bytes) {
  File file(std::tmpfile(), &std::fclose);
  std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  std::rewind(file.get());
  return file;
}

int Fd(const File& file) { return fileno(file.get()); }

std::string Contents(const File& file) {
  lseek(Fd(file), 0, SEEK_SET);
  std::string out;
  char chunk[4096];
  ssize_t got;
  while ((got = read(Fd(file), chunk, sizeof chunk)) > 0) out.append(chunk, got);
  return out;
}

// A stream whose sample bytes count up (mod 251), so misplaced bytes show.
std::string Stream(const std::string& headerLine, size_t frameBytes, int frames,
                   const std::vector<std::string>& parameters = {}) {
  std::string out = headerLine + "\n";
  unsigned value = 0;
  for (int f = 0; f < frames; ++f) {
    out += "FRAME" + (f < static_cast<int>(parameters.size()) ? parameters[f] : "") + "\n";
    for (size_t i = 0; i < frameBytes; ++i) out.push_back(static_cast<char>(value++ % 251));
  }
  return out;
}

std::string ErrorOf(const std::string& headerLine) {
  try {
    ParseStreamHeader(headerLine);
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

TEST(Y4mHeader, AcceptsThe420VariantsAndMonoAndKeepsTheLine) {
  struct Case {
    const char* line;
    Chroma chroma;
  } cases[] = {
      {"YUV4MPEG2 W320 H240 F30000:1001 It A128:117 C420jpeg XYSCSS=420JPEG XCOLORRANGE=FULL",
       Chroma::k420},
      {"YUV4MPEG2 W320 H240 C420mpeg2", Chroma::k420},
      {"YUV4MPEG2 W320 H240 C420paldv", Chroma::k420},
      {"YUV4MPEG2 W320 H240 C420", Chroma::k420},
      {"YUV4MPEG2 W320 H240", Chroma::k420},
      {"YUV4MPEG2 W320 H240 XYSCSS=420JPEG", Chroma::k420},
      {"YUV4MPEG2 H240 W320 Cmono", Chroma::kMono},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    StreamHeader header = ParseStreamHeader(c.line);
    EXPECT_EQ(header.width, 320);
    EXPECT_EQ(header.height, 240);
    EXPECT_EQ(header.chroma, c.chroma);
    EXPECT_EQ(header.line, c.line);
  }
  StreamHeader rate = ParseStreamHeader(cases[0].line);
  EXPECT_EQ(rate.fpsNumerator, 30000u);
  EXPECT_EQ(rate.fpsDenominator, 1001u);
  EXPECT_EQ(ParseStreamHeader("YUV4MPEG2 W7 H5").FrameBytes(), 7u * 5 + 2 * 4 * 3);
  EXPECT_EQ(ParseStreamHeader("YUV4MPEG2 W7 H5 Cmono").FrameBytes(), 35u);
  // Chroma of ceil(W / 2^sx) x ceil(H / 2^sy) in every layout; words above 8 bits.
  EXPECT_EQ(ParseStreamHeader("YUV4MPEG2 W7 H5 C411").FrameBytes(), 35u + 2 * 2 * 5);
  EXPECT_EQ(ParseStreamHeader("YUV4MPEG2 W7 H5 C422p10").FrameBytes(), 2 * (35u + 2 * 4 * 5));
  EXPECT_EQ(ParseStreamHeader("YUV4MPEG2 W7 H5 C444alpha").FrameBytes(), 4 * 35u);
  EXPECT_EQ(ParseStreamHeader("YUV4MPEG2 W7 H5 Cmono16 XYSCSS=MONO16").bits, 16);
}

// Every layout the reader takes, with each side at every residue mod 4: the
// chroma planes hold one sample for each 2^sw columns and 2^sh rows begun,
// and a frame holds as many bytes as ffmpeg 5.1 writes, taken once from
//   ffmpeg -f lavfi -i testsrc=size=WxH:rate=1 -frames:v 1 -pix_fmt FMT -strict -1 -f yuv4mpegpipe - | wc -c
// less the header line and "FRAME\n". At odd widths above 8 bits in 4:2:0
// and 4:2:2 ffmpeg writes every chroma row one byte short (2880 bytes for
// 45x21 yuv420p10le); the sizes marked "right" are the whole rows instead.
TEST(Y4mHeader, ChromaPlanesAndFrameSizesOfEveryLayoutAtEveryResidue) {
  const int sizes[4][2] = {{44, 20}, {45, 21}, {46, 22}, {47, 23}};
  struct Case {
    const char* tag;  // ffmpeg's pix_fmt in the comment
    int sw, sh;       // subsampling shifts; -1: no chroma planes
    size_t bytes[4];  // one frame's samples at each size
  } const cases[] = {
      {"C420jpeg", 1, 1, {1320, 1451, 1518, 1657}},   // yuv420p
      {"C411", 2, 0, {1320, 1449, 1540, 1633}},       // yuv411p
      {"C422", 1, 0, {1760, 1911, 2024, 2185}},       // yuv422p
      {"C444", 0, 0, {2640, 2835, 3036, 3243}},       // yuv444p
      {"C444alpha", 0, 0, {3520, 3780, 4048, 4324}},  // yuva444p
      {"Cmono", -1, -1, {880, 945, 1012, 1081}},      // gray
      {"C420p10", 1, 1, {2640, 2902, 3036, 3314}},    // yuv420p10le; right: 2902, 3314
      {"C422p12", 1, 0, {3520, 3822, 4048, 4370}},    // yuv422p12le; right: 3822, 4370
      {"C444p16", 0, 0, {5280, 5670, 6072, 6486}},    // yuv444p16le
      {"Cmono16", -1, -1, {1760, 1890, 2024, 2162}},  // gray16le
  };
  for (const Case& c : cases) {
    for (int i = 0; i < 4; ++i) {
      const int W = sizes[i][0], H = sizes[i][1];
      SCOPED_TRACE(std::string(c.tag) + " " + std::to_string(W) + "x" + std::to_string(H));
      const StreamHeader header =
          ParseStreamHeader("YUV4MPEG2 W" + std::to_string(W) + " H" + std::to_string(H) + " " + c.tag);
      int columns = 0, rows = 0;
      for (int x = 0; c.sw >= 0 && x < W; x += 1 << c.sw) ++columns;
      for (int y = 0; c.sh >= 0 && y < H; y += 1 << c.sh) ++rows;
      EXPECT_EQ(header.ChromaWidth(), columns);
      EXPECT_EQ(header.ChromaHeight(), rows);
      EXPECT_EQ(header.FrameBytes(), c.bytes[i]);
    }
  }
}

TEST(Y4mHeader, RefusesOtherColourSpacesNamingTheSupportedOnes) {
  for (const char* tag : {"C440", "C420p7", "C420p8", "C420p17", "C444p010", "C411p10", "C444alpha10",
                          "Cmono1", "XYSCSS=422", "XYSCSS=420P10"}) {
    SCOPED_TRACE(tag);
    std::string message = ErrorOf(std::string("YUV4MPEG2 W16 H16 ") + tag);
    EXPECT_NE(message.find("unsupported"), std::string::npos) << message;
    EXPECT_NE(message.find(tag), std::string::npos) << message;
    EXPECT_NE(message.find("C420jpeg"), std::string::npos) << message;
    EXPECT_NE(message.find("Cmono"), std::string::npos) << message;
    EXPECT_NE(message.find("C444pN"), std::string::npos) << message;
    EXPECT_NE(message.find("ffmpeg"), std::string::npos) << message;
  }
}

TEST(Y4mHeader, RefusesBadMagicSizesAndRates) {
  struct Case {
    const char* line;
    const char* expected;
  } cases[] = {
      {"YUV4MPEG W16 H16", "not a YUV4MPEG2 stream"},
      {"YUV4MPEG2W16 H16", "not a YUV4MPEG2 stream"},
      {"RIFF....", "not a YUV4MPEG2 stream"},
      {"YUV4MPEG2 H16", "no width"},
      {"YUV4MPEG2 W16", "no height"},
      {"YUV4MPEG2", "no width"},
      {"YUV4MPEG2 W0 H16", "bad width"},
      {"YUV4MPEG2 W-16 H16", "bad width"},
      {"YUV4MPEG2 W16x H16", "bad width"},
      {"YUV4MPEG2 W H16", "bad width"},
      {"YUV4MPEG2 W16 H99999999999", "bad height"},
      {"YUV4MPEG2 W16385 H16", "limit of 16384"},
      {"YUV4MPEG2 W16 H4294967312", "bad height"},
      {"YUV4MPEG2 W16 H16 W16", "width twice"},
      {"YUV4MPEG2 W16 H16 F25", "bad frame rate"},
      {"YUV4MPEG2 W16 H16 F25:0", "bad frame rate"},
      {"YUV4MPEG2 W16 H16 F:1", "bad frame rate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string message = ErrorOf(c.line);
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
  }
  EXPECT_EQ(ErrorOf("YUV4MPEG2 W16384 H16384"), "");  // the largest frame allowed
}

TEST(Y4mHeader, RefusesAnEndlessOrMissingHeaderLine) {
  auto readError = [](const std::string& bytes) -> std::string {
    File file = FileWith(bytes);
    Reader reader(Fd(file));
    try {
      reader.ReadHeader();
    } catch (const Error& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_NE(readError("YUV4MPEG2 W16 H16 X" + std::string(1 << 20, 'a')).find("longer than"),
            std::string::npos);
  EXPECT_NE(readError("").find("empty"), std::string::npos);
  EXPECT_NE(readError("YUV4MPEG2 W16 H16").find("ends inside the stream header"),
            std::string::npos);
  // Binary input is refused at its first bytes, not after reading a "line".
  EXPECT_NE(readError(std::string("\x00\x01\x02", 3) + std::string(1 << 20, 'x')).find("not a"),
            std::string::npos);
}

// The documented limits, written out rather than taken from the reader: a
// header line of 64 KiB before its newline and a FRAME line with 4 KiB of
// parameters are read; one byte more is refused.
TEST(Y4mLimits, LinesAreReadUpToTheirLimitAndRefusedOneBytePast) {
  constexpr size_t kHeaderLineLimit = 65536, kFrameParametersLimit = 4096;
  const std::string start = "YUV4MPEG2 W8 H8 C420jpeg X";
  const size_t frameBytes = 8 * 8 + 2 * 4 * 4;
  auto read = [&](size_t headerBytes, size_t parameterBytes) -> std::string {
    const std::string header = start + std::string(headerBytes - start.size(), 'h');
    const std::string parameters = " X" + std::string(parameterBytes - 2, 'p');
    File file = FileWith(Stream(header, frameBytes, 1, {parameters}));
    Reader reader(Fd(file));
    std::string read;
    try {
      EXPECT_EQ(reader.ReadHeader().line, header);
      EXPECT_TRUE(reader.ReadFrameHeader(read));
      EXPECT_EQ(read, parameters);
    } catch (const Error& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(read(kHeaderLineLimit, kFrameParametersLimit), "");
  EXPECT_NE(read(kHeaderLineLimit + 1, 10).find("stream header line is longer than the limit"), std::string::npos);
  EXPECT_NE(read(100, kFrameParametersLimit + 1).find("frame 0: the FRAME line is longer than the limit"),
            std::string::npos);
}

// Reads every frame into padded frame memory (planes W/2 x H/2 for chroma,
// as a 4:2:0 frame of the frame server holds them) and writes it back.
std::string RoundTrip(const std::string& input, int* frames = nullptr) {
  File in = FileWith(input);
  File out(std::tmpfile(), &std::fclose);
  Reader reader(Fd(in));
  Writer writer(Fd(out));
  const StreamHeader& header = reader.ReadHeader();
  writer.WriteHeader(header);
  const int w = header.width, h = header.height;
  const int pitch = w + 13, chromaPitch = w / 2 + 7;
  std::vector<uint8_t> memory(static_cast<size_t>(pitch) * h + 2 * chromaPitch * (h / 2 + 1), 0xEE);
  PlaneRegion planes[3] = {
      {memory.data(), pitch, w, h},
      {memory.data() + pitch * h, chromaPitch, w / 2, h / 2},
      {memory.data() + pitch * h + chromaPitch * (h / 2 + 1), chromaPitch, w / 2, h / 2},
  };
  std::string parameters;
  std::vector<uint8_t> spill;
  int count = 0;
  while (reader.ReadFrameHeader(parameters)) {
    spill.clear();
    reader.ReadFrameSamples(planes, spill);
    writer.WriteFrame(parameters, planes, spill);
    ++count;
  }
  writer.Finish();
  if (frames) *frames = count;
  EXPECT_EQ(reader.framesRead(), count);
  return Contents(out);
}

TEST(Y4mRoundTrip, OddSizesMonoTagsAndFrameParametersComeBackByteForByte) {
  struct Case {
    const char* line;
    size_t frameBytes;
  } cases[] = {
      {"YUV4MPEG2 W16 H16 F25:1 Ip A1:1 C420jpeg XYSCSS=420JPEG", 16 * 16 + 2 * 8 * 8},
      {"YUV4MPEG2 W33 H17 F24000:1001 It A10:11 C420mpeg2 XFOO=bar", 33 * 17 + 2 * 17 * 9},
      {"YUV4MPEG2 W1 H1 C420paldv", 1 + 2},
      {"YUV4MPEG2 W7 H2 C420", 14 + 2 * 4},
      {"YUV4MPEG2 W35 H9 F25:1 Cmono", 35 * 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string input = Stream(c.line, c.frameBytes, 3, {" Ixyz", "", " XA=1 XB=2"});
    int frames = 0;
    EXPECT_EQ(RoundTrip(input, &frames), input);
    EXPECT_EQ(frames, 3);
  }
}

// Planes whose rows lie back to back in memory go out in one write; one of
// half the writer's buffer or more bypasses it, and must still follow the
// FRAME line and the header waiting in the buffer (a 1024x576 luma plane with
// the default buffer; every plane with an 8-byte one).
TEST(Y4mRoundTrip, ContiguousPlanesPastHalfTheBufferKeepTheirPlace) {
  struct Case {
    int width, height;
    size_t buffer;
  } cases[] = {{1024, 576, kBufferBytes}, {16, 8, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    const std::string line = "YUV4MPEG2 W" + std::to_string(c.width) + " H" + std::to_string(c.height) + " C420jpeg";
    const size_t luma = static_cast<size_t>(c.width) * c.height;
    const std::string input = Stream(line, luma * 3 / 2, 2, {" Ixyz"});
    File in = FileWith(input), out(std::tmpfile(), &std::fclose);
    Reader reader(Fd(in), c.buffer);
    Writer writer(Fd(out), c.buffer);
    writer.WriteHeader(reader.ReadHeader());
    std::vector<uint8_t> memory(luma * 3 / 2);
    const PlaneRegion planes[3] = {{memory.data(), c.width, c.width, c.height},
                                   {memory.data() + luma, c.width / 2, c.width / 2, c.height / 2},
                                   {memory.data() + luma * 5 / 4, c.width / 2, c.width / 2, c.height / 2}};
    std::string parameters;
    std::vector<uint8_t> spill;
    while (reader.ReadFrameHeader(parameters)) {
      reader.ReadFrameSamples(planes, spill);
      writer.WriteFrame(parameters, planes, spill);
    }
    writer.Finish();
    EXPECT_TRUE(Contents(out) == input);
  }
}

TEST(Y4mRoundTrip, RegionsTakeTheCoveredSamplesAndSpillTheRest) {
  // 3x3 4:2:0: chroma 2x2 in the file, 1x1 in the frame.
  std::string input = Stream("YUV4MPEG2 W3 H3", 9 + 8, 1);
  File in = FileWith(input);
  Reader reader(Fd(in));
  reader.ReadHeader();
  uint8_t y[3 * 4] = {}, u[2] = {}, v[2] = {};
  PlaneRegion planes[3] = {{y, 4, 3, 3}, {u, 2, 1, 1}, {v, 2, 1, 1}};
  std::string parameters;
  std::vector<uint8_t> spill;
  ASSERT_TRUE(reader.ReadFrameHeader(parameters));
  reader.ReadFrameSamples(planes, spill);
  EXPECT_EQ(y[0], 0);
  EXPECT_EQ(y[4], 3);   // second row starts after the pitch
  EXPECT_EQ(y[3], 0);   // padding untouched
  EXPECT_EQ(u[0], 9);
  EXPECT_EQ(v[0], 13);
  // U: column 1 of row 0, then row 1; V alike.
  EXPECT_EQ(spill, (std::vector<uint8_t>{10, 11, 12, 14, 15, 16}));
  EXPECT_FALSE(reader.ReadFrameHeader(parameters));
}

std::string ReadAllError(const std::string& input, int* complete) {
  File in = FileWith(input);
  Reader reader(Fd(in));
  *complete = 0;
  try {
    const StreamHeader& header = reader.ReadHeader();
    std::vector<uint8_t> memory(header.FrameBytes());
    PlaneRegion planes[3] = {
        {memory.data(), header.width, header.width, header.height},
        {memory.data() + header.width * header.height, header.ChromaWidth(), header.ChromaWidth(),
         header.ChromaHeight()},
        {memory.data() + header.width * header.height + header.ChromaWidth() * header.ChromaHeight(),
         header.ChromaWidth(), header.ChromaWidth(), header.ChromaHeight()}};
    std::string parameters;
    std::vector<uint8_t> spill;
    while (reader.ReadFrameHeader(parameters)) {
      reader.ReadFrameSamples(planes, spill);
      ++*complete;
    }
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

TEST(Y4mDamage, NamesTheFrameAndKeepsTheFramesBefore) {
  const std::string line = "YUV4MPEG2 W16 H16 C420jpeg";
  const size_t bytes = 16 * 16 + 2 * 64;
  const std::string good = Stream(line, bytes, 2);
  struct Case {
    std::string input;
    const char* expected;
  } cases[] = {
      {good.substr(0, good.size() - 1), "frame 1 is truncated: the input ends after 383 of its 384"},
      {good + "FRAME\n" + std::string(100, 'x'), "frame 2 is truncated"},
      {good + "FRA", "frame 2 is truncated"},
      {good + "FRAME", "frame 2 is truncated"},
      {good + "FRAME Ixx", "frame 2 is truncated"},
      // Bytes that start no FRAME line after a frame leave it unproven.
      {good + "JUNK\n", "frame 1 is not whole: the stream header (16x16, 8 bits) gives frames of 384 bytes, but "
                        "the bytes after them, 'JUNK?', start no FRAME line"},
      {good + "FRAMES\n", "frame 2: expected a FRAME line, found 'FRAMES'"},
      {good + "FRAME " + std::string(5000, 'X') + "\n", "frame 2: the FRAME line is longer"},
      {good + "\n", "frame 1 is not whole"},
  };
  for (const Case& c : cases) {
    int complete = 0;
    std::string message = ReadAllError(c.input, &complete);
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    EXPECT_EQ(complete, message.find("frame 1") != std::string::npos ? 1 : 2) << message;
  }
  int complete = 0;
  EXPECT_EQ(ReadAllError(good, &complete), "");
  EXPECT_EQ(complete, 2);
  EXPECT_EQ(ReadAllError(line + "\n", &complete), "");  // no frames at all is a valid stream
  EXPECT_EQ(complete, 0);
}

// Frames of another size than the header gives, as writers with a fault
// make them, through a pipe: not one is counted, and the message gives the
// header's size and where the next FRAME line is (sizes counted by hand).
TEST(Y4mDamage, FramesOfAnotherSizeThanTheHeaderSaysAreNotCounted) {
  struct Case {
    const char* line;
    size_t realBytes;  // each frame's samples as written
    std::vector<std::string> expected;
  } cases[] = {
      // 17x9 at 10 bits: luma 306 bytes, chroma 9x5 words twice, 180: 486.
      // Each of the 10 chroma rows a byte short: 476.
      {"YUV4MPEG2 W17 H9 C420p10", 476, {"gives frames of 486 bytes", "starts 476 bytes after", "pad=ceil(iw/2)*2"}},
      // 4:2:2 at 12 bits: chroma 9x9 words twice, 324: 630; 18 rows short: 612.
      {"YUV4MPEG2 W17 H9 C422p12", 612, {"gives frames of 630 bytes", "starts 612 bytes after", "crop=floor(iw/2)*2"}},
      // 8-bit data under a 10-bit tag: 384 bytes, not 768.
      {"YUV4MPEG2 W16 H16 C420p10", 384, {"gives frames of 768 bytes", "starts 384 bytes after", "8-bit"}},
      // The other way: the next FRAME line lies past the header's size.
      {"YUV4MPEG2 W16 H16 C420jpeg", 768, {"gives frames of 384 bytes", "starts 768 bytes after"}},
  };
  for (const Case& c : cases) {
    for (bool growing : {false, true}) {
      SCOPED_TRACE(std::string(c.line) + (growing ? ", read growing" : ", read into planes"));
      const std::string stream = Stream(c.line, c.realBytes, 3);
      int fds[2];
      ASSERT_EQ(pipe(fds), 0);
      ASSERT_EQ(write(fds[1], stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
      close(fds[1]);
      // The search past the frame goes a buffer at a time: with 77 bytes,
      // the last case's FRAME line crosses from one to the next (384 = 4 x 77 + 76).
      Reader reader(fds[0], 77);
      std::string message;
      try {
        const StreamHeader& header = reader.ReadHeader();
        std::vector<uint8_t> memory(header.FrameBytes()), spill;
        const int sample = header.BytesPerSample(), luma = header.width * header.height * sample;
        const int chroma = header.ChromaWidth() * header.ChromaHeight() * sample;
        const PlaneRegion planes[3] = {
            {memory.data(), header.width * sample, header.width, header.height},
            {memory.data() + luma, header.ChromaWidth() * sample, header.ChromaWidth(), header.ChromaHeight()},
            {memory.data() + luma + chroma, header.ChromaWidth() * sample, header.ChromaWidth(),
             header.ChromaHeight()}};
        std::string parameters;
        while (reader.ReadFrameHeader(parameters)) {
          if (growing)
            reader.ReadFrameGrowing([&](size_t) { return memory.data(); }, 100);
          else
            reader.ReadFrameSamples(planes, spill);
        }
      } catch (const Error& e) {
        message = e.what();
      }
      close(fds[0]);
      EXPECT_EQ(reader.framesRead(), 0);
      EXPECT_EQ(message.rfind("frame 0 is not whole", 0), 0u) << message;
      for (const std::string& e : c.expected) EXPECT_NE(message.find(e), std::string::npos) << message;
      if (c.expected.back().find("iw") == std::string::npos) {
        EXPECT_EQ(message.find("ffmpeg"), std::string::npos) << message;
      }
    }
  }
}

TEST(Y4mDamage, LargeFramesReadPastTheBufferAndStillNameTheDamage) {
  // 1.1 MiB frames: planes are read straight into place, past the buffer.
  const std::string stream = Stream("YUV4MPEG2 W1024 H768 C420jpeg", 1024 * 768 * 3 / 2, 3);
  int complete = 0;
  EXPECT_EQ(ReadAllError(stream, &complete), "");
  EXPECT_EQ(complete, 3);
  std::string message = ReadAllError(stream.substr(0, stream.size() - 5000), &complete);
  EXPECT_NE(message.find("frame 2 is truncated: the input ends after 1174648 of its 1179648"),
            std::string::npos)
      << message;
  EXPECT_EQ(complete, 2);
  EXPECT_EQ(RoundTrip(stream), stream);
}

}  // namespace
}  // namespace velmoraine::y4m
