// File helpers shared by the fuzz targets that run through descriptors.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmoraine::fuzz {

// Writes all `size` bytes of `data` to `fd`; false if a write fails.
inline bool WriteAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, bytes + done, size - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Everything in the file behind `fd`, read from its start.
inline std::string Contents(int fd) {
  std::string out;
  lseek(fd, 0, SEEK_SET);
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
  return out;
}

}  // namespace velmoraine::fuzz
