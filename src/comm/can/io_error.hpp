// Owns the I/O error value of the CAN layer: a kind and the message that reaches Python as OSError.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <expected>
#include <string>

#include "runtime/os_error.hpp"

namespace kestro::comm {

enum class IoErrorKind : std::uint8_t { NotFound, PermissionDenied, InvalidInput, BrokenPipe, Other };

struct IoError {
  IoErrorKind kind;
  std::string message;
  int os_errno = 0;  // set when the failure came from the operating system
};

template <class T>
using IoResult = std::expected<T, IoError>;

using rt::os_error_text;

inline IoError os_error(int err, IoErrorKind kind = IoErrorKind::Other) {
  return IoError{kind, os_error_text(err), err};
}

}  // namespace kestro::comm
