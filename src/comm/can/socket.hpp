// Owns the raw SocketCAN socket: opening and binding it, registered with the shared runtime's I/O driver,
// and reading and writing whole frames on it. Not thread-safe: one strand (or one caller) at a time.
#pragma once

#include <linux/can.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include "comm/can/frame.hpp"
#include "comm/can/io_error.hpp"

namespace kestro::comm {

using CanSocket = asio::posix::stream_descriptor;

// Opens a non-blocking raw CAN socket bound to `interface`. Errors: "Failed to open CAN Socket" (lookup,
// socket or bind), "IO error" (non-blocking mode or registration).
IoResult<std::unique_ptr<CanSocket>> open_can_socket(const std::string& interface,
                                                     const asio::any_io_executor& ex);

struct WouldBlock {};
// One non-blocking read: a frame, WouldBlock, or the read's error.
std::variant<can_frame, WouldBlock, IoError> read_frame_now(CanSocket& socket);
// One non-blocking write: success, WouldBlock, or the write's errno.
std::variant<std::monostate, WouldBlock, int> write_frame_now(CanSocket& socket, const can_frame& frame);

// Waits for readiness; an error is the system's text.
asio::awaitable<IoResult<void>> wait_readable(CanSocket& socket);
asio::awaitable<IoResult<void>> wait_writable(CanSocket& socket);
// Waits for writability at most `limit`: true when the socket became writable, false when the limit passed.
asio::awaitable<IoResult<bool>> wait_writable_within(CanSocket& socket,
                                                    std::chrono::steady_clock::duration limit);

// Waits until a frame has been read (the receive algorithm of the blocking device).
asio::awaitable<IoResult<CanMessage>> receive_message(CanSocket& socket);
// Waits until `frame` has been written; a write error other than "would block" is returned at once.
asio::awaitable<IoResult<void>> write_frame(CanSocket& socket, const can_frame& frame);

}  // namespace kestro::comm
