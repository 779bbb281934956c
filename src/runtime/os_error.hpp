// Owns the one form in which this module quotes an operating-system error: "{} (os error {})".
#pragma once

#include <cstring>
#include <string>

namespace kestro::rt {

// The operating system's text for `err` in the form "{} (os error {})".
inline std::string os_error_text(int err) {
  char buf[256];
  const char* text = strerror_r(err, buf, sizeof buf);  // GNU variant
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

}  // namespace kestro::rt
