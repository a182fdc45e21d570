#include "y4m/y4m.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace velmoraine::y4m {
namespace {

constexpr std::string_view kMagic = "YUV4MPEG2";
constexpr std::string_view kFrameMarker = "FRAME";

constexpr std::string_view kSupported =
    "velmoraine reads the colour spaces C420jpeg, C420mpeg2, C420paldv, C420 (or no C tag), "
    "C411, C422, C444, C444alpha and Cmono at 8 bits, and C420pN, C422pN, C444pN and CmonoN "
    "for N = 9 to 16 bits; convert others first, e.g. with "
    "ffmpeg -i INPUT -f yuv4mpegpipe -pix_fmt yuv444p - (8 bits) or "
    "ffmpeg -i INPUT -f yuv4mpegpipe -strict -1 -pix_fmt yuv444p16le - (16 bits)";

std::string Quoted(std::string_view text) {
  // Header text may hold anything; show at most a short, printable excerpt.
  std::string out = "'";
  for (char c : text.substr(0, 40)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
  if (text.size() > 40) out += "...";
  return out + "'";
}

// A decimal number of at most 9 digits, nothing else (no sign, no space).
bool ParseDecimal(std::string_view text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

int ParseDimension(std::string_view tag, const char* name) {
  uint32_t value = 0;
  if (!ParseDecimal(tag.substr(1), value) || value == 0)
    throw Error(std::string("bad ") + name + " in the stream header: " + Quoted(tag) +
                " (a positive decimal number is expected)");
  if (value > static_cast<uint32_t>(kMaxDimension))
    throw Error(std::string(name) + " " + std::to_string(value) + " is larger than the limit of " +
                std::to_string(kMaxDimension));
  return static_cast<int>(value);
}

// The layout and depth a C tag names: the 8-bit ones by name, the deeper
// ones as a layout prefix and 9..16.
void ParseColourSpace(std::string_view tag, StreamHeader& header) {
  struct Named {
    std::string_view name;
    Chroma chroma;
  };
  static constexpr Named kEightBit[] = {{"420jpeg", Chroma::k420}, {"420mpeg2", Chroma::k420},
                                        {"420paldv", Chroma::k420}, {"420", Chroma::k420},
                                        {"411", Chroma::k411},      {"422", Chroma::k422},
                                        {"444", Chroma::k444},      {"444alpha", Chroma::k444Alpha},
                                        {"mono", Chroma::kMono}};
  static constexpr Named kDeep[] = {{"420p", Chroma::k420}, {"422p", Chroma::k422},
                                    {"444p", Chroma::k444}, {"mono", Chroma::kMono}};
  const std::string_view value = tag.substr(1);
  for (const Named& named : kEightBit) {
    if (value == named.name) {
      header.chroma = named.chroma;
      header.bits = 8;
      return;
    }
  }
  for (const Named& named : kDeep) {
    const std::string_view depth = value.substr(std::min(value.size(), named.name.size()));
    uint32_t bits = 0;
    if (value.substr(0, named.name.size()) == named.name && !depth.empty() && depth.size() <= 2 && depth[0] != '0' &&
        ParseDecimal(depth, bits) && bits >= 9 && bits <= 16) {
      header.chroma = named.chroma;
      header.bits = static_cast<int>(bits);
      return;
    }
  }
  throw Error("unsupported colour space " + Quoted(tag) + ": " + std::string(kSupported));
}

void ParseFrameRate(std::string_view tag, StreamHeader& header) {
  const std::string_view value = tag.substr(1);
  const size_t colon = value.find(':');
  uint32_t numerator = 0, denominator = 0;
  if (colon == std::string_view::npos || !ParseDecimal(value.substr(0, colon), numerator) ||
      !ParseDecimal(value.substr(colon + 1), denominator) || numerator == 0 || denominator == 0)
    throw Error("bad frame rate in the stream header: " + Quoted(tag) +
                " (expected F<numerator>:<denominator>, both positive)");
  header.fpsNumerator = numerator;
  header.fpsDenominator = denominator;
}

// The first bytes of an input that is not a stream, every byte shown: the
// printable ones as they are, the others as \xNN.
std::string Printable(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "'";
  for (char c : bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f && u != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out + "'";
}

[[noreturn]] void ThrowNotY4m(std::string_view start) {
  throw NotY4mError("not a YUV4MPEG2 stream: the input starts with " + Printable(start) +
                    " instead of 'YUV4MPEG2 '");
}

// Where the first FRAME line starts in `bytes` ("FRAME" and then a space or
// a newline), or npos.
size_t FindFrameLine(std::string_view bytes) {
  for (size_t at = bytes.find(kFrameMarker); at != std::string_view::npos; at = bytes.find(kFrameMarker, at + 1))
    if (at + kFrameMarker.size() < bytes.size() && (bytes[at + 5] == ' ' || bytes[at + 5] == '\n')) return at;
  return std::string_view::npos;
}

}  // namespace

// The first FRAME line in bytes given a piece at a time.
struct FrameLineSearch {
  size_t found = std::string_view::npos;  // where it starts, from the first byte given
  size_t seen = 0;                        // bytes given
  std::string tail;                       // the last ones, which may start it

  void Add(std::string_view piece) {
    if (found == std::string_view::npos) {
      // One that starts in the tail ends in this piece; any other lies in it.
      const std::string edge = tail + std::string(piece.substr(0, kFrameMarker.size()));
      size_t at = FindFrameLine(edge);
      if (at != std::string_view::npos && at < tail.size())
        found = seen - tail.size() + at;
      else if ((at = FindFrameLine(piece)) != std::string_view::npos)
        found = seen + at;
    }
    seen += piece.size();
    tail += piece.substr(piece.size() - std::min(piece.size(), kFrameMarker.size()));
    tail.erase(0, tail.size() - std::min(tail.size(), kFrameMarker.size()));
  }
};

namespace {

// Why frame `number` is not whole: the size its header gives, and `found`,
// where the next FRAME line starts counted from the frame's first sample
// (npos: not in the `searched` bytes from there), or what stands at the
// header's place (`there`).
std::string NotWholeMessage(const StreamHeader& header, int64_t number, std::string_view there, size_t found,
                            size_t searched) {
  const size_t size = header.FrameBytes();
  std::string message = "frame " + std::to_string(number) + " is not whole: the stream header (" +
                        std::to_string(header.width) + "x" + std::to_string(header.height) + ", " +
                        std::to_string(header.bits) + " bits) gives frames of " + std::to_string(size) + " bytes, but ";
  if (found == std::string_view::npos)
    return message + "the bytes after them, " + Quoted(there) + ", start no FRAME line, and none starts in the " +
           std::to_string(searched) + " bytes after this frame's FRAME line";
  message += "the next FRAME line starts " + std::to_string(found) + " bytes after this frame's FRAME line";
  const size_t chromaRows = 2 * static_cast<size_t>(header.ChromaHeight());
  if (header.PlaneCount() >= 3 && header.bits > 8 && header.width % 2 == 1 && header.ChromaWidth() < header.width &&
      found + chromaRows == size)
    message += "; that is each of the " + std::to_string(chromaRows) +
               " chroma rows one byte short, as ffmpeg 5.1 writes odd widths above 8 bits: give the stream an "
               "even width first with ffmpeg's pad or crop filter, e.g. -vf 'pad=ceil(iw/2)*2:ceil(ih/2)*2' or "
               "-vf 'crop=floor(iw/2)*2:floor(ih/2)*2'";
  else if (header.bits > 8 && 2 * found == size)
    message += "; that is half the size: the samples may be 8-bit ones under a " + std::to_string(header.bits) +
               "-bit colour tag";
  return message;
}

// Samples above 8 bits are little-endian words in the file and words in the
// host's order in memory: on a big-endian host each word's bytes swap.
constexpr bool kSwapWords = std::endian::native == std::endian::big;

void FromLittleEndian(const PlaneRegion& region, int words, int rows) {
  if (!kSwapWords) return;
  for (int row = 0; row < rows; ++row) {
    uint8_t* bytes = region.data + row * region.pitch;
    for (int i = 0; i < words; ++i) std::swap(bytes[2 * i], bytes[2 * i + 1]);
  }
}

}  // namespace

int StreamHeader::ChromaWidth() const {
  switch (chroma) {
    case Chroma::kMono: return 0;
    case Chroma::k411: return (width + 3) / 4;
    case Chroma::k420:
    case Chroma::k422: return (width + 1) / 2;
    default: return width;
  }
}

int StreamHeader::ChromaHeight() const {
  switch (chroma) {
    case Chroma::kMono: return 0;
    case Chroma::k420: return (height + 1) / 2;
    default: return height;
  }
}

size_t StreamHeader::FrameBytes() const {
  size_t samples = 0;
  for (int p = 0; p < PlaneCount(); ++p)
    samples += static_cast<size_t>(PlaneWidth(p)) * static_cast<size_t>(PlaneHeight(p));
  return samples * static_cast<size_t>(BytesPerSample());
}

StreamHeader ParseStreamHeader(std::string_view line) {
  if (line.substr(0, kMagic.size()) != kMagic ||
      (line.size() > kMagic.size() && line[kMagic.size()] != ' '))
    ThrowNotY4m(line.substr(0, 16));
  StreamHeader header;
  header.line = std::string(line);
  bool haveWidth = false, haveHeight = false, haveColour = false, haveRate = false;
  std::string_view subsampling;
  std::string_view rest = line.substr(kMagic.size());
  while (!rest.empty()) {
    rest.remove_prefix(1);  // the space before each tag
    size_t end = rest.find(' ');
    std::string_view tag = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    if (tag.empty()) continue;  // a doubled space: harmless
    switch (tag[0]) {
      case 'W':
        if (haveWidth) throw Error("the stream header gives the width twice");
        header.width = ParseDimension(tag, "width");
        haveWidth = true;
        break;
      case 'H':
        if (haveHeight) throw Error("the stream header gives the height twice");
        header.height = ParseDimension(tag, "height");
        haveHeight = true;
        break;
      case 'C':
        if (haveColour) throw Error("the stream header gives the colour space twice");
        ParseColourSpace(tag, header);
        haveColour = true;
        break;
      case 'F':
        if (haveRate) throw Error("the stream header gives the frame rate twice");
        ParseFrameRate(tag, header);
        haveRate = true;
        break;
      case 'X':
        // The subsampling extension tag: it matters only when no C tag
        // says what the planes are.
        if (tag.substr(0, 7) == "XYSCSS=") subsampling = tag;
        break;
      default:
        break;  // I (interlacing), A (aspect) and others travel verbatim
    }
  }
  if (!haveColour && !subsampling.empty() && subsampling != "XYSCSS=420JPEG" &&
      subsampling != "XYSCSS=420MPEG2" && subsampling != "XYSCSS=420PALDV" &&
      subsampling != "XYSCSS=420")
    throw Error("unsupported subsampling " + Quoted(subsampling) + ": " + std::string(kSupported));
  if (!haveWidth) throw Error("the stream header has no width (W tag)");
  if (!haveHeight) throw Error("the stream header has no height (H tag)");
  return header;
}

namespace {
std::string ChromaTag(Chroma chroma) {
  switch (chroma) {
    case Chroma::k411: return "411";
    case Chroma::k422: return "422";
    case Chroma::k444: return "444";
    case Chroma::k444Alpha: return "444alpha";
    case Chroma::kMono: return "mono";
    default: return "420jpeg";
  }
}
}  // namespace

StreamHeader MakeStreamHeader(int width, int height, Chroma chroma, uint32_t fpsNumerator,
                              uint32_t fpsDenominator) {
  std::string line = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" +
                     std::to_string(fpsNumerator) + ":" + std::to_string(fpsDenominator) +
                     " Ip A1:1 C" + ChromaTag(chroma);
  return ParseStreamHeader(line);
}

// --- Reader ---------------------------------------------------------------

// The buffer holds at least a FRAME marker and the byte after it.
Reader::Reader(int fd, size_t bufferBytes) : fd_(fd), buffer_(std::max<size_t>(bufferBytes, 8)) {}

bool Reader::Fill() {
  if (ended_) return false;
  for (;;) {
    ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
    if (got > 0) {
      begin_ = 0;
      end_ = static_cast<size_t>(got);
      return true;
    }
    if (got == 0) {
      ended_ = true;
      return false;
    }
    if (errno != EINTR) throw Error(std::string("read error: ") + std::strerror(errno));
  }
}

int Reader::GetByte() {
  if (begin_ == end_ && !Fill()) return -1;
  return buffer_[begin_++];
}

bool Reader::AtEnd() { return begin_ == end_ && !Fill(); }

size_t Reader::Peek(size_t bytes) {
  bytes = std::min(bytes, buffer_.size());
  while (end_ - begin_ < bytes && !ended_) {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (got > 0)
      end_ += static_cast<size_t>(got);
    else if (got == 0)
      ended_ = true;
    else if (errno != EINTR)
      throw Error(std::string("read error: ") + std::strerror(errno));
  }
  return end_ - begin_;
}

void Reader::CheckWhole(FrameLineSearch& search, const uint8_t* unsearched) {
  const size_t have = std::min(Peek(kFrameMarker.size()), kFrameMarker.size());
  const std::string_view next(reinterpret_cast<const char*>(buffer_.data() + begin_), have);
  // A FRAME line, or the end (the input holds fewer bytes only at its end):
  // a cut FRAME line is the next frame's damage.
  if (next == kFrameMarker.substr(0, have)) return;
  const std::string there(next);
  inFrame_ = false;
  const size_t bytes = header_.FrameBytes();
  if (unsearched != nullptr) search.Add({reinterpret_cast<const char*>(unsearched), bytes});
  // Past the header's size, up to as many bytes again (and the FRAME line
  // there), a buffer at a time
  // (the stream is given up: what is searched is let go).
  while (search.found == std::string_view::npos && search.seen <= 2 * bytes + kFrameMarker.size() && Peek(buffer_.size()) > 0) {
    search.Add({reinterpret_cast<const char*>(buffer_.data() + begin_), end_ - begin_});
    begin_ = end_;
  }
  throw Error(NotWholeMessage(header_, framesRead_, there, search.found, search.seen));
}

size_t Reader::ReadUpTo(void* destination, size_t bytes) {
  uint8_t* out = static_cast<uint8_t*>(destination);
  size_t done = std::min(bytes, end_ - begin_);
  if (done > 0) std::memcpy(out, buffer_.data() + begin_, done);
  begin_ += done;
  while (done < bytes && !ended_) {
    if (bytes - done >= buffer_.size() / 2) {
      // Large reads skip the buffer: the samples land in place at once.
      ssize_t got = ::read(fd_, out + done, bytes - done);
      if (got > 0) {
        done += static_cast<size_t>(got);
      } else if (got == 0) {
        ended_ = true;
      } else if (errno != EINTR) {
        throw Error(std::string("read error: ") + std::strerror(errno));
      }
    } else if (Fill()) {
      size_t take = std::min(bytes - done, end_ - begin_);
      std::memcpy(out + done, buffer_.data() + begin_, take);
      begin_ += take;
      done += take;
    }
  }
  return done;
}

const StreamHeader& Reader::ReadHeader() {
  std::string line;
  for (;;) {
    int c = GetByte();
    if (c < 0) {
      if (line.empty()) throw Error("the input is empty: no YUV4MPEG2 stream header");
      throw Error("the input ends inside the stream header");
    }
    if (c == '\n') break;
    if (line.size() <= kMagic.size() && c != (line.size() < kMagic.size() ? kMagic[line.size()] : ' ')) {
      // Not a stream: show its first 16 bytes (those already here; a pipe
      // is not waited on for more).
      line.push_back(static_cast<char>(c));
      while (line.size() < 16 && begin_ < end_) line.push_back(static_cast<char>(buffer_[begin_++]));
      ThrowNotY4m(line);
    }
    if (line.size() >= kMaxStreamHeaderBytes)
      throw Error("the stream header line is longer than the limit of " +
                  std::to_string(kMaxStreamHeaderBytes) + " bytes");
    line.push_back(static_cast<char>(c));
  }
  header_ = ParseStreamHeader(line);
  return header_;
}

bool Reader::ReadFrameHeader(std::string& parameters) {
  const std::string frame = "frame " + std::to_string(framesRead_);
  char marker[5];
  size_t got = ReadUpTo(marker, sizeof marker);
  if (got == 0) return false;
  if (got < sizeof marker || std::string_view(marker, sizeof marker) != kFrameMarker) {
    if (got < sizeof marker && std::string_view(marker, got) == kFrameMarker.substr(0, got))
      throw Error(frame + " is truncated: the input ends inside its FRAME line");
    throw Error(frame + ": expected a FRAME line, found " +
                Quoted(std::string_view(marker, got)));
  }
  parameters.clear();
  for (;;) {
    int c = GetByte();
    if (c < 0) throw Error(frame + " is truncated: the input ends inside its FRAME line");
    if (c == '\n') break;
    if (parameters.empty() && c != ' ')
      throw Error(frame + ": expected a FRAME line, found " +
                  Quoted("FRAME" + std::string(1, static_cast<char>(c))));
    if (parameters.size() >= kMaxFrameHeaderBytes)
      throw Error(frame + ": the FRAME line is longer than the limit of " +
                  std::to_string(kMaxFrameHeaderBytes) + " bytes");
    parameters.push_back(static_cast<char>(c));
  }
  // A regular file tells how much it still holds: a frame it cannot hold is
  // refused before its memory is taken, so a header that claims a huge frame
  // costs nothing. Pipes show their bytes only as they arrive.
  struct stat info;
  if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) {
    const off_t position = ::lseek(fd_, 0, SEEK_CUR);
    if (position >= 0) {
      const uint64_t left = static_cast<uint64_t>(info.st_size > position ? info.st_size - position : 0) + (end_ - begin_);
      if (left < header_.FrameBytes())
        throw Error(frame + " is truncated: the input ends after " + std::to_string(left) + " of its " +
                    std::to_string(header_.FrameBytes()) + " bytes");
    }
  }
  inFrame_ = true;
  return true;
}

void Reader::SkipFrameSamples() {
  if (!inFrame_) throw Error("frame samples skipped without a FRAME line (internal misuse)");
  uint8_t scratch[65536];
  FrameLineSearch search;
  const size_t total = header_.FrameBytes();
  for (size_t done = 0; done < total;) {
    const size_t bytes = std::min(total - done, sizeof scratch);
    ReadExactly(scratch, bytes, done);
    search.Add({reinterpret_cast<const char*>(scratch), bytes});
    done += bytes;
  }
  CheckWhole(search, nullptr);
  inFrame_ = false;
  ++framesRead_;
}

int64_t Reader::FramesInFile() const {
  struct stat info;
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  const uint64_t headerBytes = header_.line.size() + 1;
  const uint64_t record = kFrameMarker.size() + 1 + header_.FrameBytes();
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  return size < headerBytes ? 0 : static_cast<int64_t>((size - headerBytes) / record);
}

bool Reader::PlainRecordAt(uint64_t offset) const {
  char marker[6];
  return ::pread(fd_, marker, sizeof marker, static_cast<off_t>(offset)) == static_cast<ssize_t>(sizeof marker) &&
         std::string_view(marker, sizeof marker) == "FRAME\n";
}

bool Reader::SeekToFrame(int64_t n) {
  struct stat info;
  if (n < 0 || framesRead_ != 0 || inFrame_ || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode))
    return false;
  const uint64_t headerBytes = header_.line.size() + 1;
  const uint64_t record = kFrameMarker.size() + 1 + header_.FrameBytes();
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  // The reader must stand right after the header line of a stream that
  // starts at the file's beginning.
  const off_t position = ::lseek(fd_, 0, SEEK_CUR);
  if (position < 0 || static_cast<uint64_t>(position) - (end_ - begin_) != headerBytes) return false;
  // Every frame passed over must be a plain record: its line exactly
  // "FRAME\n" and the whole record in the file. Then frame k starts at the
  // k-th record boundary, exactly where reading through would find it.
  uint64_t at = headerBytes;
  int64_t k = 0;
  for (; k < n && at + record <= size; ++k, at += record)
    if (!PlainRecordAt(at)) return false;
  // Short of frame n, the file must end right at a boundary (fewer frames);
  // anything else there is read through and reported as reading finds it.
  if (k < n && at != size) return false;
  // Frame n-1 is whole only if a FRAME line (or the end) follows it, as
  // reading through would check.
  if (k == n && n > 0 && at < size) {
    char marker[5];
    const ssize_t got = ::pread(fd_, marker, sizeof marker, static_cast<off_t>(at));
    if (got <= 0 || std::string_view(marker, static_cast<size_t>(got)) != kFrameMarker.substr(0, static_cast<size_t>(got)))
      return false;
  }
  if (::lseek(fd_, static_cast<off_t>(at), SEEK_SET) != static_cast<off_t>(at)) return false;
  begin_ = end_ = 0;
  ended_ = false;
  framesRead_ = k;
  return true;
}

void Reader::ReadExactly(void* destination, size_t bytes, size_t frameBytesBefore) {
  size_t got = ReadUpTo(destination, bytes);
  if (got != bytes) {
    inFrame_ = false;
    throw Error("frame " + std::to_string(framesRead_) + " is truncated: the input ends after " + std::to_string(frameBytesBefore + got) + " of its " +
                std::to_string(header_.FrameBytes()) + " bytes");
  }
}

void Reader::ReadFrameSamples(const PlaneRegion* planes, std::vector<uint8_t>& spill) {
  if (!inFrame_) throw Error("frame samples read without a FRAME line (internal misuse)");
  const size_t sample = static_cast<size_t>(header_.BytesPerSample());
  size_t done = 0;
  FrameLineSearch search;  // in the file's bytes, for a frame that is not whole
  auto read = [&](uint8_t* destination, size_t bytes) {
    ReadExactly(destination, bytes, done);
    search.Add({reinterpret_cast<const char*>(destination), bytes});
    done += bytes;
  };
  auto toSpill = [&](size_t bytes) {
    const size_t at = spill.size();
    spill.resize(at + bytes);
    read(spill.data() + at, bytes);
  };
  for (int p = 0; p < header_.PlaneCount(); ++p) {
    const PlaneRegion& region = planes[p];
    const size_t width = static_cast<size_t>(header_.PlaneWidth(p)) * sample;
    const size_t inside = std::min<size_t>(static_cast<size_t>(std::max(region.width, 0)) * sample, width);
    const int rowsInside = std::min(region.height, header_.PlaneHeight(p));
    if (inside == width && static_cast<size_t>(region.pitch) == width && rowsInside > 0) {
      read(region.data, width * rowsInside);  // rows back to back in memory: one read
    } else {
      for (int row = 0; row < rowsInside; ++row) {
        read(region.data + row * region.pitch, inside);
        if (inside < width) toSpill(width - inside);
      }
    }
    if (rowsInside < header_.PlaneHeight(p)) toSpill(width * (header_.PlaneHeight(p) - rowsInside));
  }
  CheckWhole(search, nullptr);
  for (int p = 0; p < header_.PlaneCount() && sample == 2; ++p) {
    const int rows = std::min(planes[p].height, header_.PlaneHeight(p));
    FromLittleEndian(planes[p], std::min(std::max(planes[p].width, 0), header_.PlaneWidth(p)), rows);
  }
  inFrame_ = false;
  ++framesRead_;
}

void Reader::ReadFrameGrowing(const std::function<uint8_t*(size_t)>& grow, size_t step) {
  if (!inFrame_) throw Error("frame samples read without a FRAME line (internal misuse)");
  const size_t total = header_.FrameBytes();
  uint8_t* data = nullptr;
  for (size_t done = 0; done < total;) {
    const size_t bytes = std::min(total - done, std::max<size_t>(step, 1));
    data = grow(done + bytes);
    ReadExactly(data + done, bytes, done);
    done += bytes;
  }
  FrameLineSearch search;
  CheckWhole(search, data);
  if (kSwapWords && header_.bits > 8)
    for (size_t i = 0; i + 1 < total; i += 2) std::swap(data[i], data[i + 1]);
  inFrame_ = false;
  ++framesRead_;
}

// --- Writer ---------------------------------------------------------------

Writer::Writer(int fd, size_t bufferBytes) : fd_(fd), buffer_(std::max<size_t>(bufferBytes, 1)) {}

void Writer::WriteOut(const uint8_t* source, size_t bytes) {
  while (bytes > 0) {
    ssize_t put = ::write(fd_, source, bytes);
    if (put < 0) {
      if (errno == EINTR) continue;
      throw Error(std::string("write error: ") + std::strerror(errno));
    }
    source += put;
    bytes -= static_cast<size_t>(put);
    bytesWritten_ += static_cast<uint64_t>(put);
  }
}

void Writer::WriteBytes(const void* source, size_t bytes) {
  if (bytes == 0) return;
  // A large write bypasses the buffer, so what waits in it goes out first.
  const bool direct = bytes >= buffer_.size() / 2;
  if (direct || used_ + bytes > buffer_.size()) {
    WriteOut(buffer_.data(), used_);
    used_ = 0;
  }
  if (direct) {
    WriteOut(static_cast<const uint8_t*>(source), bytes);
  } else {
    std::memcpy(buffer_.data() + used_, source, bytes);
    used_ += bytes;
  }
}

void Writer::WriteHeader(const StreamHeader& header) {
  header_ = header;
  WriteBytes(header.line.data(), header.line.size());
  WriteBytes("\n", 1);
}

void Writer::WriteFrame(std::string_view parameters, const PlaneRegion* planes,
                        const std::vector<uint8_t>& spill) {
  WriteBytes(kFrameMarker.data(), kFrameMarker.size());
  WriteBytes(parameters.data(), parameters.size());
  WriteBytes("\n", 1);
  size_t spillAt = 0;
  auto fromSpill = [&](size_t bytes) {
    if (spill.size() - spillAt < bytes)
      throw Error("the frame's spill holds fewer bytes than its planes need (internal misuse)");
    WriteBytes(spill.data() + spillAt, bytes);
    spillAt += bytes;
  };
  const size_t sample = static_cast<size_t>(header_.BytesPerSample());
  for (int p = 0; p < header_.PlaneCount(); ++p) {
    const PlaneRegion& region = planes[p];
    const size_t width = static_cast<size_t>(header_.PlaneWidth(p)) * sample;
    const size_t inside = std::min<size_t>(static_cast<size_t>(std::max(region.width, 0)) * sample, width);
    const int rowsInside = std::min(region.height, header_.PlaneHeight(p));
    if (kSwapWords && sample == 2) {
      for (int row = 0; row < rowsInside; ++row) {
        WriteSwapped(region.data + row * region.pitch, inside);
        if (inside < width) fromSpill(width - inside);
      }
    } else if (inside == width && static_cast<size_t>(region.pitch) == width && rowsInside > 0) {
      WriteBytes(region.data, width * rowsInside);
    } else {
      for (int row = 0; row < rowsInside; ++row) {
        WriteBytes(region.data + row * region.pitch, inside);
        if (inside < width) fromSpill(width - inside);
      }
    }
    if (rowsInside < header_.PlaneHeight(p)) fromSpill(width * (header_.PlaneHeight(p) - rowsInside));
  }
}

void Writer::WriteSwapped(const uint8_t* row, size_t bytes) {
  uint8_t words[4096];
  for (size_t at = 0; at < bytes; at += sizeof words) {
    const size_t n = std::min(bytes - at, sizeof words);
    for (size_t i = 0; i + 1 < n; i += 2) words[i] = row[at + i + 1], words[i + 1] = row[at + i];
    WriteBytes(words, n);
  }
}

void Writer::Finish() {
  size_t bytes = used_;
  used_ = 0;  // a failed write is reported once; what it held is lost
  WriteOut(buffer_.data(), bytes);
}

}  // namespace velmoraine::y4m
