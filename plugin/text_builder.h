// Messages for the hosts, built into a buffer of fixed capacity. No C library
// formatting: the same code builds into the freestanding Windows DLL.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace velmoraine {

// Appends to a zero-terminated text of a fixed capacity, cutting it short
// rather than overrunning it.
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

}  // namespace velmoraine
