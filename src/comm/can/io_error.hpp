// Owns the I/O error value of the CAN layer: a kind and the message that reaches Python as OSError.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <expected>
#include <string>

namespace kestro::comm {

enum class IoErrorKind : std::uint8_t { NotFound, PermissionDenied, InvalidInput, BrokenPipe, Other };

struct IoError {
  IoErrorKind kind;
  std::string message;
  int os_errno = 0;  // set when the failure came from the operating system
};

template <class T>
using IoResult = std::expected<T, IoError>;

// The operating system's text for `err` in the form "{} (os error {})".
inline std::string os_error_text(int err) {
  char buf[256];
  const char* text = strerror_r(err, buf, sizeof buf);  // GNU variant
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

inline IoError os_error(int err, IoErrorKind kind = IoErrorKind::Other) {
  return IoError{kind, os_error_text(err), err};
}

}  // namespace kestro::comm
