// Owns the non-blocking CAN device and its background reader and writer.
#include "comm/can/can_device_async.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "comm/can/link.hpp"
#include "comm/can/socket.hpp"
#include "comm/can/syscalls.hpp"
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

// Where a rebind's provisioning lines go: a background task never writes to standard error itself.
void emit_line(const std::string& line) {
  rt::diag::emit(line);
}

// Binds a socket whose interface went away to the interface of that name, once it is back. Provisioning
// runs child processes (and may wait for a sudo password), so it runs on the blocking pool; while no
// interface has the name, the answer comes at once.
asio::awaitable<IoResult<void>> reattach(std::shared_ptr<CanLink> link) {
  if (!link->interface_present()) co_return std::unexpected(os_error(ENODEV));
  auto job = rt::Runtime::get().spawn_blocking([link] { return link->reattach(emit_line); });
  auto done = job.join();
  auto outcome = co_await std::move(done);
  if (!outcome) co_return std::unexpected(IoError{IoErrorKind::Other, outcome.error()});
  co_return std::move(*outcome);
}

// Reports a failed pass of the reader and pauses, so that a lasting fault is neither spun on nor flooded.
asio::awaitable<void> read_failed(std::string message) {
  print_failure("Failed to receive CAN frame: ", message);
  co_await rt::sleep_for(kReadFailurePause);
}

// Hands every received frame to the tap, and binds the socket again when its interface comes back. Aborted
// as soon as nobody can receive any more (see open); a frame that nobody can receive ends it too.
asio::awaitable<void> read_loop(std::shared_ptr<CanLink> link, rt::Sender<CanMessage> incoming,
                                std::shared_ptr<IncomingTap> tap) {
  bool lost = false;   // the socket is bound to nothing: no frame will come until it is bound again
  bool woken = false;  // readiness was just reported
  for (;;) {
    if (lost) {
      auto back = co_await reattach(link);
      if (!back) {
        co_await read_failed(back.error().message);
        continue;
      }
      lost = false;
    }
    auto got = read_frame_now(link->socket());
    if (auto* frame = std::get_if<can_frame>(&got)) {
      woken = false;
      if (!tap->deliver(parse_frame(*frame), incoming)) co_return;
      continue;
    }
    if (auto* err = std::get_if<IoError>(&got)) {
      co_await read_failed(err->message);
      lost = link->detached();
      continue;
    }
    // Woken with nothing to read: the wake-up may have been the kernel's report that the interface went
    // away, whose error a write took first. The socket is then bound to nothing and would never wake again.
    if (woken && link->detached()) {
      woken = false;
      lost = true;
      co_await read_failed(os_error_text(ENODEV));
      continue;
    }
    auto ready = co_await wait_readable(link->socket());
    if (!ready && ready.error().os_errno == ECANCELED) {
      // Nobody will receive any more (see open). The writer still sends what was queued; the socket
      // closes when it is done too.
      co_return;
    }
    woken = ready.has_value();
    if (!ready) co_await read_failed(ready.error().message);
  }
}

// Whether a write found no room for the frame: the socket's buffer full (would block) or the transmit queue
// full (ENOBUFS). Such a frame is waited out; any other failure is final.
bool socket_full(const std::variant<std::monostate, WouldBlock, int>& wrote) {
  return std::holds_alternative<WouldBlock>(wrote) ||
         (std::holds_alternative<int>(wrote) && std::get<int>(wrote) == ENOBUFS);
}

IoError channel_closed() {
  return IoError{IoErrorKind::BrokenPipe, "channel closed"};
}

// Writes one frame. A socket that cannot take it, its buffer full (would block) or the transmit queue full
// (ENOBUFS), is waited out for a while unless the bus has already been found stalled; `stalled` is cleared by
// the next write that succeeds. Either way the frame is written or reported: a bus that never drains holds
// no frame for good.
asio::awaitable<IoResult<void>> write_patiently(CanSocket& socket, const can_frame& frame,
                                                std::atomic<bool>& stalled) {
  const auto patience = std::chrono::duration_cast<rt::Clock::duration>(kFullQueuePatience);
  auto pause = std::chrono::duration_cast<rt::Clock::duration>(kFirstFullQueuePause);
  rt::Clock::duration waited{};
  for (;;) {
    // Written at once: the writer yields on each frame it takes anyway, and a socket that has room needs no
    // trip through the reactor.
    auto wrote = write_frame_now(socket, frame);
    if (std::holds_alternative<std::monostate>(wrote)) {
      stalled.store(false, std::memory_order_relaxed);
      co_return IoResult<void>{};
    }
    const bool would_block = std::holds_alternative<WouldBlock>(wrote);
    const int err = would_block ? EAGAIN : std::get<int>(wrote);
    const bool full = socket_full(wrote);
    if (full && !stalled.load(std::memory_order_relaxed) && waited < patience) {
      const auto left = patience - waited;
      if (would_block) {
        // The socket tells when its buffer has room again.
        const auto start = rt::Clock::now();
        auto ready = co_await wait_writable_within(socket, left);
        if (!ready) co_return std::unexpected(std::move(ready.error()));
        waited += *ready ? rt::Clock::now() - start : left;
      } else {
        // The transmit queue does not: look again after pauses that grow.
        const auto nap = std::min(pause, left);
        co_await rt::sleep_for(nap);
        waited += nap;
        pause *= 2;
      }
      continue;
    }
    if (full) stalled.store(true, std::memory_order_relaxed);
    co_return std::unexpected(os_error(err));
  }
}

// Writes queued frames in order. Ends when the device is gone and the queue is drained.
asio::awaitable<void> write_loop(std::shared_ptr<Transmit> transmit, rt::Receiver<CanMessage> outgoing,
                                 std::shared_ptr<PendingCount> pending) {
  for (;;) {
    auto msg = co_await outgoing.receive();
    if (!msg) co_return;
    auto frame = build_frame(*msg);
    if (!frame) {
      print_failure("Failed to send CAN frame: ", frame.error().message);
      pending->fetch_sub(1, std::memory_order_release);
      continue;
    }
    auto wrote = co_await write_patiently(transmit->link->socket(), *frame, transmit->stalled);
    if (!wrote) print_failure("Failed to send CAN frame: ", wrote.error().message);
    pending->fetch_sub(1, std::memory_order_release);
  }
}

// Writes a frame on the sending thread. False: the socket could not take it at once (full), so the writer
// must wait it out, or report it if the bus is stalled. A frame that cannot be built goes to the writer too,
// which reports it.
bool written_at_once(Transmit& transmit, const CanMessage& msg) {
  auto frame = build_frame(msg);
  if (!frame) return false;
  auto wrote = write_frame_now(transmit.link->socket(), *frame);
  if (std::holds_alternative<std::monostate>(wrote)) {
    transmit.stalled.store(false, std::memory_order_relaxed);
    return true;
  }
  if (socket_full(wrote)) return false;
  print_failure("Failed to send CAN frame: ", os_error(std::get<int>(wrote)).message);
  return true;
}

}  // namespace

CanDeviceAsync::CanDeviceAsync(std::string interface, rt::Sender<CanMessage> outgoing,
                               std::shared_ptr<IncomingReceiver> incoming, Tasks tasks,
                               std::shared_ptr<IncomingTap> tap, std::shared_ptr<PendingCount> pending,
                               std::shared_ptr<Transmit> transmit)
    : interface_(std::move(interface)),
      outgoing_(std::move(outgoing)),
      incoming_(std::move(incoming)),
      tasks_(std::move(tasks)),
      tap_(std::move(tap)),
      pending_(std::move(pending)),
      transmit_(std::move(transmit)) {}

IoResult<CanDeviceAsync> CanDeviceAsync::open(const std::string& interface) {
  if (auto ok = can_sys().provision(interface, {}); !ok) return std::unexpected(std::move(ok.error()));
  auto& runtime = rt::Runtime::get();
  auto opened = CanLink::open(interface, runtime.executor());
  if (!opened) return std::unexpected(std::move(opened.error()));
  std::shared_ptr<CanLink> link = std::move(*opened);

  auto [out_tx, out_rx] = rt::make_channel<CanMessage>();
  auto [in_tx, in_rx] = rt::make_channel<CanMessage>();
  // Reader and writer share the socket, so they share one strand.
  auto strand = runtime.make_strand();
  auto pending = watched_pending_count();
  auto tap = std::make_shared<IncomingTap>();
  auto transmit = std::make_shared<Transmit>();
  transmit->link = link;
  Tasks tasks{
      .reader = runtime.spawn_on(strand, read_loop(link, std::move(in_tx), tap)),
      .writer = runtime.spawn_on(strand, write_loop(transmit, std::move(out_rx), pending)),
  };
  // Once the device and every other holder of its frames are gone, the reader stops waiting for traffic
  // that may never come.
  in_rx.on_abandoned(tasks.reader.aborter());
  return CanDeviceAsync(interface, std::move(out_tx), std::make_shared<IncomingReceiver>(std::move(in_rx)),
                        std::move(tasks), std::move(tap), std::move(pending), std::move(transmit));
}

IoResult<void> CanDeviceAsync::send_nonblocking(std::uint32_t id, const Payload& data) const {
  refuse_in_forked_child();
  CanMessage msg{id, data};
  // Nothing queued and nothing being written: no frame queued before can be overtaken. The count, now one,
  // also keeps the exit waiting for this write, and keeps other senders queueing meanwhile.
  std::size_t idle = 0;
  if (transmit_ && pending_->compare_exchange_strong(idle, 1, std::memory_order_acquire)) {
    if (outgoing_.is_closed()) {
      pending_->fetch_sub(1, std::memory_order_relaxed);
      return std::unexpected(channel_closed());
    }
    if (written_at_once(*transmit_, msg)) {
      pending_->fetch_sub(1, std::memory_order_release);
      return {};
    }
  } else {
    pending_->fetch_add(1, std::memory_order_relaxed);
  }
  if (!outgoing_.send(std::move(msg))) {
    pending_->fetch_sub(1, std::memory_order_relaxed);
    return std::unexpected(channel_closed());
  }
  return {};
}

void CanDeviceAsync::discard_incoming() const {
  // In a forked child no reader runs, and the parent's may have been inside a handler at the fork.
  tap_->discard(!rt::Runtime::lost_in_fork());
}

std::optional<CanMessage> CanDeviceAsync::try_receive() const {
  refuse_in_forked_child();
  auto guard = rt::lock_blocking(incoming_->mutex());
  auto got = incoming_->value(guard).try_receive();
  if (!got) return std::nullopt;
  return std::move(*got);
}

std::optional<CanMessage> CanDeviceAsync::receive_timeout(std::uint64_t timeout_ms) const {
  // A frame already queued needs no wait.
  if (incoming_->mutex()->try_lock()) {
    rt::AsyncMutexGuard guard(incoming_->mutex());
    if (auto got = incoming_->value(guard).try_receive()) return std::move(*got);
    if (timeout_ms == 0) return std::nullopt;
  }
  refuse_in_forked_child();
  // The calling thread waits for the frame itself. Through a runtime task, every frame would wake a worker
  // to resume the receive and only then this thread, and each call would arm and cancel a timer.
  auto guard = rt::lock_blocking(incoming_->mutex());
  // The deadline is taken once the receiver is held. One beyond the clock's range means no deadline.
  const auto now = rt::Clock::now();
  const auto room_ms = std::chrono::duration_cast<std::chrono::milliseconds>(rt::Clock::time_point::max() - now);
  std::optional<rt::Clock::time_point> deadline;
  if (timeout_ms <= static_cast<std::uint64_t>(room_ms.count())) {
    deadline = now + std::chrono::milliseconds(static_cast<std::int64_t>(timeout_ms));
  }
  auto& rx = incoming_->value(guard);
  auto got = rt::Runtime::get().block_in_place([&] { return rx.receive_blocking(deadline); });
  if (!got) return std::nullopt;
  return std::move(*got);
}

}  // namespace kestro::comm
