#include "plugin/plane_driver.h"

namespace velmoraine {

PlaneDriverResult FilterFramePlanes(const FramePlane* planes, int count, const PreparedFilter& filter,
                                    PreparedPlaneFunc filterPlane) {
  for (int i = 0; i < count; ++i) {
    const PlaneView& view = planes[i].view;
    if (view.width <= 0 || view.height <= 0) continue;  // no such plane in this format
    if (view.data == nullptr) return PlaneDriverResult{i, kPlaneNotWritable};
    if (!filterPlane(view, filter)) return PlaneDriverResult{i, kPlaneNotFiltered};
  }
  return PlaneDriverResult{-1, kPlaneNotFiltered};
}

namespace {

// Appends to a zero-terminated text of a fixed capacity, cutting it short
// rather than overrunning it. No C library formatting: the same code builds
// freestanding.
class TextBuilder {
 public:
  TextBuilder(char* text, size_t size) : text_(text), size_(size), length_(0) {
    if (size_ > 0) text_[0] = '\0';
  }
  TextBuilder& Add(const char* s) {
    while (*s != '\0') AddChar(*s++);
    return *this;
  }
  TextBuilder& Add(int64_t value) {
    // Digits of the magnitude, computed unsigned so that INT64_MIN has one.
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char digits[20];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) AddChar('-');
    while (n > 0) AddChar(digits[--n]);
    return *this;
  }
  TextBuilder& AddChar(char c) {
    if (length_ + 1 < size_) {
      text_[length_++] = c;
      text_[length_] = '\0';
    }
    return *this;
  }

 private:
  char* text_;
  size_t size_;
  size_t length_;
};

}  // namespace

void DescribePlaneFailure(const FramePlane& plane, PlaneFailure failure, int64_t frame, char* text,
                          size_t size) {
  TextBuilder out(text, size);
  out.Add("velmoraine: frame ").Add(frame).Add(": ");
  const PlaneView& view = plane.view;
  if (failure == kPlaneNotWritable) {
    out.Add("the host did not make the ").AddChar(plane.name).Add(" plane (");
    out.Add(static_cast<int64_t>(view.width)).AddChar('x').Add(static_cast<int64_t>(view.height));
    out.Add(") writable");
    return;
  }
  out.Add("the ").AddChar(plane.name).Add(" plane (");
  out.Add(static_cast<int64_t>(view.width)).AddChar('x').Add(static_cast<int64_t>(view.height));
  out.Add(", pitch ").Add(static_cast<int64_t>(view.pitch));
  out.Add(") could not be filtered: its work buffers could not be allocated or its layout is invalid");
}

}  // namespace velmoraine
