// Owns the non-blocking CAN device: two background tasks on the shared runtime, sharing one strand, are the
// only users of the socket. The reader hands every received frame to the incoming tap (by default into the
// incoming channel); the writer writes every frame queued on the outgoing channel, in order.
//
// Lifecycle:
//  - open() provisions the interface, opens the socket and starts the reader and the writer. Each holds
//    the link (and so the socket); the socket closes when both have ended.
//  - The writer ends once the device is gone (the outgoing channel is closed) and every frame queued
//    before has been written or reported.
//  - The reader ends once nobody can receive any more: it is aborted when the last incoming receiver goes,
//    and a frame that finds the incoming channel closed ends it too.
//  - Dropping the device stops neither: what was queued still goes out.
//
// A device outlives its interface: when the interface goes away and comes back under the same name, the
// reader provisions it as at open and binds the socket to it again. While it is gone, the reader reports
// a receive failure and pauses on each pass, and each frame the writer takes is reported as not sent.
//
// A frame is written on the sending thread when the writer has nothing in hand (see send_nonblocking).
//
// A write refused by a full transmit queue (ENOBUFS) is retried after pauses that grow from 1 ms, keeping
// the order of frames, for about 100 ms; only then is it reported and dropped, and further ENOBUFS failures
// are reported at once until a write succeeds again. A socket whose buffer is full (the write would block)
// is waited for in the same way, for the same time at most: a bus that never drains holds no frame for good.
// Reading goes on meanwhile. Every other write failure is reported at once and the frame dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "comm/can/frame.hpp"
#include "comm/can/incoming_tap.hpp"
#include "comm/can/io_error.hpp"
#include "comm/can/pending_frames.hpp"
#include "runtime/async_mutex.hpp"
#include "runtime/channel.hpp"
#include "runtime/join_handle.hpp"

namespace kestro::comm {

class CanLink;

// What the device and its writer share about writing: the socket's link, and whether the bus was last found
// stalled (a frame waited out the whole patience and was dropped; cleared by the next frame written).
struct Transmit {
  std::shared_ptr<CanLink> link;
  std::atomic<bool> stalled{false};
};

// The incoming receiver, shared by the device and its users (the receive calls). Only the
// holder of its async mutex receives; the mutex is held across the wait for a frame.
using IncomingReceiver = rt::AsyncMutexSlot<rt::Receiver<CanMessage>>;

class CanDeviceAsync {
 public:
  // Provisions the interface (on the calling thread), opens the socket and starts the reader and writer.
  static IoResult<CanDeviceAsync> open(const std::string& interface);

  struct Tasks {
    rt::JoinHandle<void> reader;
    rt::JoinHandle<void> writer;
  };

  // Assembles a device from its parts; the background tasks are whoever holds the other channel ends.
  CanDeviceAsync(std::string interface, rt::Sender<CanMessage> outgoing,
                 std::shared_ptr<IncomingReceiver> incoming, Tasks tasks,
                 std::shared_ptr<IncomingTap> tap = std::make_shared<IncomingTap>(),
                 std::shared_ptr<PendingCount> pending = std::make_shared<PendingCount>(0),
                 std::shared_ptr<Transmit> transmit = nullptr);

  // Queues a frame; nothing is validated here. Fails only with "channel closed" once the writer has ended.
  // When the writer has nothing in hand, the frame is written on the calling thread instead, which spares
  // waking the writer; a socket that cannot take it at once hands it to the writer after all, and any other
  // failure is reported as the writer reports it. Frames still leave in the order they were queued.
  IoResult<void> send_nonblocking(std::uint32_t id, const Payload& data) const;
  IoResult<void> send_nonblocking(std::uint32_t id, std::span<const std::uint8_t> data) const {
    return send_nonblocking(id, Payload(data));
  }
  std::optional<CanMessage> try_receive() const;
  // Waits for the receiver's mutex without a limit, then for a frame until `timeout_ms` has passed.
  std::optional<CanMessage> receive_timeout(std::uint64_t timeout_ms) const;

  // From now on the reader hands every received frame to `handler` on its own thread instead of queueing it
  // (see IncomingTap for what a handler may do). For an owner that is the device's only receiver.
  void route_incoming(IncomingTap::Handler handler) const { tap_->route(std::move(handler)); }
  // From now on the reader drops received frames (sending goes on); a running handler has returned. For an
  // owner that stops receiving while others still send through the device: frames that nobody will take
  // must not pile up for as long as the device lives.
  void discard_incoming() const;

  const std::string& interface() const noexcept { return interface_; }
  const std::shared_ptr<IncomingReceiver>& incoming() const noexcept { return incoming_; }
  const std::shared_ptr<IncomingTap>& tap() const noexcept { return tap_; }

 private:
  std::string interface_;
  rt::Sender<CanMessage> outgoing_;
  std::shared_ptr<IncomingReceiver> incoming_;
  Tasks tasks_;  // kept, never awaited: the tasks end on their own (see the lifecycle above)
  std::shared_ptr<IncomingTap> tap_;
  std::shared_ptr<PendingCount> pending_;  // queued and not yet handled by the writer, or being written here
  std::shared_ptr<Transmit> transmit_;     // null for a device assembled without a socket
};

}  // namespace kestro::comm
