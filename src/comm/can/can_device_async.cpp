// Owns the non-blocking CAN device and its background reader and writer.
#include "comm/can/can_device_async.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "comm/can/provision.hpp"
#include "comm/can/socket.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace kestro::comm {

namespace {

using namespace std::chrono_literals;

constexpr auto kReadFailurePause = 100ms;
constexpr auto kFirstFullQueuePause = 1ms;
constexpr auto kFullQueuePatience = 100ms;

// A device that a forked child inherited: its reader and writer run on the parent's runtime, which is not in
// the child. A frame queued there would never be written, and nothing would ever arrive.
void refuse_in_forked_child() {
  if (rt::Runtime::lost_in_fork()) throw rt::RuntimeLostInFork(rt::kRuntimeLostInFork);
}

void print_failure(const char* what, const std::string& message) {
  rt::diag::emit(what + message + "\n");
}

// Moves every received frame to the incoming channel. Aborted as soon as nobody can receive any more (see
// open); a frame that nobody can receive ends it too, and then it stops the writer and closes the socket.
asio::awaitable<void> read_loop(std::shared_ptr<CanSocket> socket, rt::Sender<CanMessage> incoming,
                                std::shared_ptr<rt::JoinHandle<void>> writer,
                                std::shared_ptr<std::atomic<bool>> discarding) {
  for (;;) {
    auto got = read_frame_now(*socket);
    if (auto* frame = std::get_if<can_frame>(&got)) {
      if (discarding->load(std::memory_order_relaxed)) {
        if (incoming.is_closed()) break;
        continue;
      }
      if (!incoming.send(parse_frame(*frame))) break;
      continue;
    }
    if (auto* err = std::get_if<IoError>(&got)) {
      print_failure("Failed to receive CAN frame: ", err->message);
      co_await rt::sleep_for(kReadFailurePause);
      continue;
    }
    auto ready = co_await wait_readable(*socket);
    if (!ready && ready.error().os_errno == ECANCELED) {
      // Nobody will receive any more (see open). The writer still sends what was queued; the socket
      // closes when it is done too.
      co_return;
    }
    if (!ready) {
      print_failure("Failed to receive CAN frame: ", ready.error().message);
      co_await rt::sleep_for(kReadFailurePause);
    }
  }
  writer->abort();
  socket->close();
}

// Writes one frame. A full transmit queue is waited out for a while unless the bus has already been found
// stalled; `stalled` is cleared by the next write that succeeds.
asio::awaitable<IoResult<void>> write_patiently(CanSocket& socket, const can_frame& frame, bool& stalled) {
  auto pause = std::chrono::duration_cast<rt::Clock::duration>(kFirstFullQueuePause);
  rt::Clock::duration waited{};
  for (;;) {
    auto ready = co_await wait_writable(socket);
    if (!ready) co_return std::unexpected(std::move(ready.error()));
    auto wrote = write_frame_now(socket, frame);
    if (std::holds_alternative<std::monostate>(wrote)) {
      stalled = false;
      co_return IoResult<void>{};
    }
    if (std::holds_alternative<WouldBlock>(wrote)) continue;
    const int err = std::get<int>(wrote);
    if (err == ENOBUFS && !stalled && waited < kFullQueuePatience) {
      const auto left = std::chrono::duration_cast<rt::Clock::duration>(kFullQueuePatience) - waited;
      const auto nap = std::min(pause, left);
      co_await rt::sleep_for(nap);
      waited += nap;
      pause *= 2;
      continue;
    }
    if (err == ENOBUFS) stalled = true;
    co_return std::unexpected(os_error(err));
  }
}

// Writes queued frames in order. Ends when the device is gone and the queue is drained.
asio::awaitable<void> write_loop(std::shared_ptr<CanSocket> socket, rt::Receiver<CanMessage> outgoing,
                                 std::shared_ptr<PendingCount> pending) {
  bool stalled = false;
  for (;;) {
    auto msg = co_await outgoing.receive();
    if (!msg) co_return;
    auto frame = build_frame(*msg);
    if (!frame) {
      print_failure("Failed to send CAN frame: ", frame.error().message);
      pending->fetch_sub(1, std::memory_order_release);
      continue;
    }
    auto wrote = co_await write_patiently(*socket, *frame, stalled);
    if (!wrote && wrote.error().os_errno == ECANCELED) {
      // The reader ended and closed the socket under the wait: the device is gone, nothing is reported.
      pending->fetch_sub(1, std::memory_order_release);
      co_return;
    }
    if (!wrote) print_failure("Failed to send CAN frame: ", wrote.error().message);
    pending->fetch_sub(1, std::memory_order_release);
  }
}

}  // namespace

CanDeviceAsync::CanDeviceAsync(std::string interface, rt::Sender<CanMessage> outgoing,
                               std::shared_ptr<IncomingReceiver> incoming, rt::JoinHandle<void> task,
                               std::shared_ptr<std::atomic<bool>> discarding,
                               std::shared_ptr<PendingCount> pending)
    : interface_(std::move(interface)),
      outgoing_(std::move(outgoing)),
      incoming_(std::move(incoming)),
      task_(std::move(task)),
      discarding_(std::move(discarding)),
      pending_(std::move(pending)) {}

IoResult<CanDeviceAsync> CanDeviceAsync::open(const std::string& interface) {
  if (auto ok = ensure_can_interface(interface); !ok) return std::unexpected(std::move(ok.error()));
  auto& runtime = rt::Runtime::get();
  auto opened = open_can_socket(interface, runtime.executor());
  if (!opened) return std::unexpected(std::move(opened.error()));
  std::shared_ptr<CanSocket> socket = std::move(*opened);

  auto [out_tx, out_rx] = rt::make_channel<CanMessage>();
  auto [in_tx, in_rx] = rt::make_channel<CanMessage>();
  // Reader and writer share the socket, so they share one strand.
  auto strand = runtime.make_strand();
  auto pending = watched_pending_count();
  auto writer = std::make_shared<rt::JoinHandle<void>>(
      runtime.spawn_on(strand, write_loop(socket, std::move(out_rx), pending)));
  auto discarding = std::make_shared<std::atomic<bool>>(false);
  auto reader = runtime.spawn_on(strand, read_loop(socket, std::move(in_tx), std::move(writer), discarding));
  // Once the device and every other holder of its frames are gone, the reader stops waiting for traffic
  // that may never come; the writer still sends what was queued, and the socket closes when both are done.
  in_rx.on_abandoned(reader.aborter());
  return CanDeviceAsync(interface, std::move(out_tx), std::make_shared<IncomingReceiver>(std::move(in_rx)),
                        std::move(reader), std::move(discarding), std::move(pending));
}

IoResult<void> CanDeviceAsync::send_nonblocking(std::uint32_t id, const Payload& data) const {
  refuse_in_forked_child();
  pending_->fetch_add(1, std::memory_order_relaxed);
  if (!outgoing_.send(CanMessage{id, data})) {
    pending_->fetch_sub(1, std::memory_order_relaxed);
    return std::unexpected(IoError{IoErrorKind::BrokenPipe, "channel closed"});
  }
  return {};
}

std::optional<CanMessage> CanDeviceAsync::try_receive() const {
  refuse_in_forked_child();
  auto guard = rt::lock_blocking(incoming_->mutex());
  auto got = incoming_->value(guard).try_receive();
  if (!got) return std::nullopt;
  return std::move(*got);
}

asio::awaitable<std::optional<CanMessage>> CanDeviceAsync::receive_timeout_async(
    std::uint64_t timeout_ms) const {
  auto incoming = incoming_;
  auto locked = incoming->mutex()->async_lock(asio::use_awaitable);
  co_await std::move(locked);
  rt::AsyncMutexGuard guard(incoming->mutex());
  auto& rx = incoming->value(guard);
  // The deadline is taken once the mutex is held. One beyond the clock's range means no deadline.
  const auto now = rt::Clock::now().time_since_epoch();
  const auto room_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(rt::Clock::duration::max() - now);
  rt::RecvResult<CanMessage> got = std::unexpected(rt::RecvError::Closed);
  if (timeout_ms > static_cast<std::uint64_t>(room_ms.count())) {
    auto op = rx.receive();
    got = co_await std::move(op);
  } else {
    auto op = rx.receive_for(std::chrono::milliseconds(static_cast<std::int64_t>(timeout_ms)));
    got = co_await std::move(op);
  }
  if (!got) co_return std::nullopt;
  std::optional<CanMessage> out = std::move(*got);
  co_return out;
}

std::optional<CanMessage> CanDeviceAsync::receive_timeout(std::uint64_t timeout_ms) const {
  // A frame already queued needs no trip through the runtime.
  if (incoming_->mutex()->try_lock()) {
    rt::AsyncMutexGuard guard(incoming_->mutex());
    if (auto got = incoming_->value(guard).try_receive()) return std::move(*got);
    if (timeout_ms == 0) return std::nullopt;
  }
  return rt::Runtime::get().block_on(receive_timeout_async(timeout_ms));
}

}  // namespace kestro::comm
