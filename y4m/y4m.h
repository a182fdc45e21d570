// YUV4MPEG2 (Y4M) stream reading and writing.
//
// A stream is one header line, "YUV4MPEG2" and space-separated tags, then
// frames, each a "FRAME" line (optionally with parameters) followed by the
// raw planes Y, U, V (and A) row after row, with no padding.
//
// What this module accepts, by the C tag alone:
//   - 8 bits: C420jpeg, C420mpeg2, C420paldv, C420 or no C tag (4:2:0),
//     C411, C422, C444, Cmono (the Y plane only) and C444alpha (a fourth,
//     full-size plane);
//   - 9..16 bits: C420pN, C422pN, C444pN and CmonoN for N = 9..16, each
//     sample a little-endian 16-bit word in the file.
// A chroma plane of a layout that divides the width by 2^sx and the height
// by 2^sy holds ceil(W / 2^sx) x ceil(H / 2^sy) samples. Any other C tag is
// refused with an Error listing the accepted ones. The header line is kept
// as it was read so that the output carries every tag (F, A, I, X...)
// unchanged; frame parameters are kept the same way, per frame.
//
// Limits, so that a hostile header cannot make us allocate at will: W and H
// are 1..16384 each (so W*H is at most 2^28 samples); the header line holds
// at most 64 KiB before its newline, and a FRAME line at most 4 KiB of
// parameters after "FRAME". Frame buffers are allocated by
// the caller only after the frame's FRAME line has been read.
//
// Planes move between the file and memory through PlaneRegion: the part of
// the file plane that the region covers (its first `width` samples of its
// first `height` rows) goes to the region; whatever lies outside it (the
// columns of each row past `width`, and the rows past `height`) goes to a
// spill buffer, in file order, as the file holds them. Samples of more than
// 8 bits are 16-bit words in the host's byte order in the regions (the
// Reader and Writer convert on big-endian hosts).
//
// Both work on file descriptors with their own 1 MiB buffers (large reads
// and writes go straight between the descriptor and the caller's memory), so
// no stdio buffer of a FILE they do not own is involved. No locking: one
// Reader or Writer belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmoraine::y4m {

inline constexpr int kMaxDimension = 16384;
inline constexpr size_t kMaxStreamHeaderBytes = 65536;
inline constexpr size_t kMaxFrameHeaderBytes = 4096;

// Every failure of this module: the message names the problem and, for a
// frame, its number counted from 0.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The input is not a YUV4MPEG2 stream at all (its first bytes are shown,
// printably, in the message): callers may add how to convert it.
class NotY4mError : public Error {
 public:
  using Error::Error;
};

// The plane layout; the depth is StreamHeader::bits.
enum class Chroma { k420, k411, k422, k444, k444Alpha, kMono };

// Planes a frame may have: Y, U, V and alpha.
inline constexpr int kMaxPlanes = 4;

struct StreamHeader {
  int width = 0;
  int height = 0;
  Chroma chroma = Chroma::k420;
  int bits = 8;  // 8, or 9..16 (16-bit words)
  // From the F tag when present; 25:1 otherwise (it only informs the clip's
  // frame rate: the output header is `line`, unchanged).
  uint32_t fpsNumerator = 25;
  uint32_t fpsDenominator = 1;
  // The header line as read, without its newline.
  std::string line;

  int ChromaWidth() const;
  int ChromaHeight() const;
  int PlaneCount() const { return chroma == Chroma::kMono ? 1 : chroma == Chroma::k444Alpha ? 4 : 3; }
  // Plane 0 Y, 1 U, 2 V, 3 alpha (a full-size plane).
  int PlaneWidth(int plane) const { return plane == 1 || plane == 2 ? ChromaWidth() : width; }
  int PlaneHeight(int plane) const { return plane == 1 || plane == 2 ? ChromaHeight() : height; }
  int BytesPerSample() const { return bits > 8 ? 2 : 1; }
  // Bytes of one frame's samples (without the FRAME line); the limits keep it
  // below 2^31.
  size_t FrameBytes() const;
};

// Parses a stream header line (without its newline). Throws Error.
StreamHeader ParseStreamHeader(std::string_view line);

// A header line for a new 8-bit stream (e.g. "YUV4MPEG2 W320 H240 F25:1 Ip
// A1:1 C420jpeg"), parsed.
StreamHeader MakeStreamHeader(int width, int height, Chroma chroma, uint32_t fpsNumerator = 25,
                              uint32_t fpsDenominator = 1);

// Memory for one plane: `height` rows of `width` samples (bytes, or 16-bit
// words above 8 bits), `pitch` bytes apart.
struct PlaneRegion {
  uint8_t* data = nullptr;
  ptrdiff_t pitch = 0;
  int width = 0;
  int height = 0;
};

// The buffer of a Reader or Writer unless it is given another size.
inline constexpr size_t kBufferBytes = size_t{1} << 20;

struct FrameLineSearch;

// Reads a stream from a descriptor it does not own (it may read ahead of the
// stream's last frame into its buffer).
class Reader {
 public:
  // `bufferBytes`: the read buffer (tests and fuzzing take a small one, so
  // that small streams cross its refills too).
  explicit Reader(int fd, size_t bufferBytes = kBufferBytes);
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Reads and parses the stream header. Throws Error (bad magic, sizes,
  // unsupported colour space, a line too long, an empty input).
  const StreamHeader& ReadHeader();
  const StreamHeader& header() const { return header_; }

  // Reads the next frame's FRAME line. Returns false at the clean end of the
  // stream (no byte left); `parameters` receives what followed "FRAME" on its
  // line (including the leading space), verbatim. Throws Error for a damaged
  // frame line.
  bool ReadFrameHeader(std::string& parameters);

  // A frame counts as read only when it is whole: the next FRAME line (its
  // first bytes, all the reader waits for on a pipe) or the clean end of
  // the input follows right where the header's frame size ends it. Else
  // the frame is refused with an Error that gives that size in bytes and
  // where the next FRAME line really starts (searched from the frame's
  // first sample on), and names the writer's fault when the gap is each
  // chroma row one byte short.
  //
  // Reads the samples of the frame whose FRAME line was just read: plane p
  // into planes[p] (`planes` holds header().PlaneCount() regions), with what the regions do not
  // cover appended to `spill`. A region may cover less than its file plane,
  // never more. Throws Error naming the frame when the input ends early.
  void ReadFrameSamples(const PlaneRegion* planes, std::vector<uint8_t>& spill);

  // Reads the samples of the frame whose FRAME line was just read as the
  // file holds them, plane after plane, into memory that grows as they
  // arrive: grow(n) returns memory for the frame's first n bytes, keeping
  // what the earlier calls were given; n grows by at most `step` a call, up
  // to header().FrameBytes(). Samples above 8 bits end in the host's order.
  // Throws Error like ReadFrameSamples.
  void ReadFrameGrowing(const std::function<uint8_t*(size_t)>& grow, size_t step = size_t{4} << 20);

  // Reads past the samples of the frame whose FRAME line was just read.
  // Throws Error like ReadFrameSamples.
  void SkipFrameSamples();

  // Moves straight to frame n (counted from 0) of a regular file when that
  // is proven right: each of the frames before it is a plain record (a
  // line of exactly "FRAME\n" and one frame's samples, checked at every
  // record boundary, frame n's too), so frame n starts where reading through would find
  // it. A file that ends right after fewer plain records is passed to its
  // end, and framesRead() says how many it holds. Returns false, having
  // moved nothing, in every other case (a pipe, a FRAME line with
  // parameters before frame n, a damaged or shrinking file): the caller then
  // reads through. Only right after ReadHeader.
  bool SeekToFrame(int64_t n);

  // For a progress report only: the whole plain records that a regular
  // file's size allows after its header (the frame count when every FRAME
  // line is plain; FRAME lines with parameters make it an estimate), or -1
  // when the input is not a regular file. Never tells where frames are.
  int64_t FramesInFile() const;

  // True when no byte of the input is left (on a pipe, it waits for the
  // next byte or the end). Only between frames. Throws Error on a read
  // error.
  bool AtEnd();

  // Frames whose samples were read (or skipped) completely.
  int64_t framesRead() const { return framesRead_; }

 private:
  void ReadExactly(void* destination, size_t bytes, size_t frameBytesBefore);
  size_t ReadUpTo(void* destination, size_t bytes);
  int GetByte();  // -1 at the end of the input
  size_t Peek(size_t bytes);  // makes that many bytes (or all that are left) wait in the buffer
  // Throws unless the frame just read is followed by a FRAME line or the
  // end of the input; `search` has seen its bytes, or they are at
  // `unsearched` (searched only then).
  void CheckWhole(FrameLineSearch& search, const uint8_t* unsearched);
  bool PlainRecordAt(uint64_t offset) const;  // "FRAME\n" there in the file
  bool Fill();    // false at the end of the input; throws on a read error
  int fd_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0, end_ = 0;
  bool ended_ = false;
  StreamHeader header_;
  int64_t framesRead_ = 0;
  bool inFrame_ = false;
};

// Writes a stream to a descriptor it does not own. Finish() writes out
// what is buffered; the destructor does not. Throws Error on a failed write.
class Writer {
 public:
  explicit Writer(int fd, size_t bufferBytes = kBufferBytes);
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void WriteHeader(const StreamHeader& header);
  // Writes "FRAME", the parameters and a newline, then plane p from
  // planes[p], taking the bytes outside the regions from `spill` in the
  // order the Reader put them there.
  void WriteFrame(std::string_view parameters, const PlaneRegion* planes,
                  const std::vector<uint8_t>& spill);
  void Finish();

  // Bytes the descriptor has accepted so far (what Finish or an earlier
  // write moved out of the buffer).
  uint64_t BytesWritten() const { return bytesWritten_; }

 private:
  void WriteBytes(const void* source, size_t bytes);
  void WriteOut(const uint8_t* source, size_t bytes);
  void WriteSwapped(const uint8_t* row, size_t bytes);  // 16-bit words, bytes swapped
  int fd_;
  std::vector<uint8_t> buffer_;
  size_t used_ = 0;
  uint64_t bytesWritten_ = 0;
  StreamHeader header_;
};

}  // namespace velmoraine::y4m
