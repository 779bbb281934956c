// Owns the raw SocketCAN socket operations.
#include "comm/can/socket.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <memory>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "comm/can/syscalls.hpp"

namespace kestro::comm {

namespace {
IoError open_failed() {
  return IoError{IoErrorKind::Other, "Failed to open CAN Socket"};
}
}  // namespace

IoResult<std::unique_ptr<CanSocket>> open_can_socket(const std::string& interface,
                                                     const asio::any_io_executor& ex) {
  if (interface.size() >= 4096 || interface.find('\0') != std::string::npos)
    return std::unexpected(open_failed());
  const unsigned index = can_sys().if_nametoindex(interface.c_str());
  if (index == 0) return std::unexpected(open_failed());
  const int fd = can_sys().socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) return std::unexpected(open_failed());
  sockaddr_can addr;
  std::memset(&addr, 0, sizeof addr);
  addr.can_family = AF_CAN;
  addr.can_ifindex = static_cast<int>(index);
  if (can_sys().bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return std::unexpected(open_failed());
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    ::close(fd);
    return std::unexpected(IoError{IoErrorKind::Other, "IO error"});
  }
  auto socket = std::make_unique<CanSocket>(ex);
  asio::error_code ec;
  socket->assign(fd, ec);
  if (ec) {
    ::close(fd);
    return std::unexpected(IoError{IoErrorKind::Other, "IO error"});
  }
  return socket;
}

std::variant<can_frame, WouldBlock, IoError> read_frame_now(CanSocket& socket) {
  can_frame frame;
  for (;;) {
    const ssize_t n = can_sys().read(socket.native_handle(), &frame, sizeof frame);
    if (n == static_cast<ssize_t>(sizeof frame)) return frame;
    if (n >= 0) return IoError{IoErrorKind::Other, "short CAN frame read"};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return WouldBlock{};
    return os_error(errno);
  }
}

std::variant<std::monostate, WouldBlock, int> write_frame_now(CanSocket& socket, const can_frame& frame) {
  for (;;) {
    const ssize_t n = can_sys().write(socket.native_handle(), &frame, sizeof frame);
    if (n == static_cast<ssize_t>(sizeof frame)) return std::monostate{};
    if (n >= 0) return EIO;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return WouldBlock{};
    return errno;
  }
}

namespace {
asio::awaitable<IoResult<void>> wait_for(CanSocket& socket, asio::posix::descriptor_base::wait_type what) {
  asio::error_code ec;
  co_await socket.async_wait(what, asio::redirect_error(asio::use_awaitable, ec));
  if (ec) co_return std::unexpected(os_error(ec.value()));
  co_return IoResult<void>{};
}
}  // namespace

asio::awaitable<IoResult<void>> wait_readable(CanSocket& socket) {
  return wait_for(socket, asio::posix::descriptor_base::wait_read);
}

asio::awaitable<IoResult<void>> wait_writable(CanSocket& socket) {
  return wait_for(socket, asio::posix::descriptor_base::wait_write);
}

asio::awaitable<IoResult<bool>> wait_writable_within(CanSocket& socket,
                                                    std::chrono::steady_clock::duration limit) {
  // Only this wait is cancelled when the limit passes: cancelling the descriptor would also end a wait for
  // reading on it. The timer's handler runs on the coroutine's executor, so it sees `done` once the wait has
  // resumed the coroutine and leaves alone a socket that may be gone by then.
  struct Shared {
    asio::cancellation_signal limit_passed;
    bool done = false;
  };
  auto shared = std::make_shared<Shared>();
  asio::steady_timer timer(co_await asio::this_coro::executor, limit);
  timer.async_wait([shared](const asio::error_code& ec) {
    if (!ec && !shared->done) shared->limit_passed.emit(asio::cancellation_type::total);
  });
  asio::error_code ec;
  auto within_limit = asio::bind_cancellation_slot(shared->limit_passed.slot(),
                                                   asio::redirect_error(asio::use_awaitable, ec));
  co_await socket.async_wait(asio::posix::descriptor_base::wait_write, within_limit);
  shared->done = true;
  timer.cancel();
  if (ec == asio::error::operation_aborted) co_return false;
  if (ec) co_return std::unexpected(os_error(ec.value()));
  co_return true;
}

asio::awaitable<IoResult<CanMessage>> receive_message(CanSocket& socket) {
  for (;;) {
    auto got = read_frame_now(socket);
    if (auto* frame = std::get_if<can_frame>(&got)) co_return parse_frame(*frame);
    if (auto* err = std::get_if<IoError>(&got)) co_return std::unexpected(std::move(*err));
    auto ready = co_await wait_readable(socket);
    if (!ready) co_return std::unexpected(std::move(ready.error()));
  }
}

asio::awaitable<IoResult<void>> write_frame(CanSocket& socket, const can_frame& frame) {
  for (;;) {
    auto ready = co_await wait_writable(socket);
    if (!ready) co_return std::unexpected(std::move(ready.error()));
    auto wrote = write_frame_now(socket, frame);
    if (std::holds_alternative<std::monostate>(wrote)) co_return IoResult<void>{};
    if (auto* err = std::get_if<int>(&wrote)) co_return std::unexpected(os_error(*err));
    // Would block: wait for the socket again rather than spinning on it.
  }
}

}  // namespace kestro::comm
