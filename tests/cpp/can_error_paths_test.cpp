// The CAN devices on the failures that no test bed produces on demand: a transmit queue full for a while or
// for good, reads and writes that fail mid-stream, an interface that vanishes and comes back. A scripted
// table of system calls stands in for the kernel; the descriptor is one end of a socket pair, so readiness
// is real: each scripted read outcome arrives as one record on the pair, taken by the read that meets it.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/can/can_device.hpp"
#include "comm/can/can_device_async.hpp"
#include "comm/can/pending_frames.hpp"
#include "comm/can/syscalls.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/exit_flush.hpp"

namespace comm = kestro::comm;
namespace rt = kestro::rt;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// What one read or write returns: a whole frame, `size` bytes, or failure with `err`.
struct Outcome {
  int err = 0;
  canid_t id = 0;
  ssize_t size = sizeof(can_frame);
};
Outcome fails(int err) { return {.err = err}; }
Outcome frame(canid_t id) { return {.id = id}; }
Outcome short_frame(canid_t id) { return {.id = id, .size = 8}; }

struct Call {
  Clock::time_point at;
  canid_t id;  // the frame written, or the frame read
  int err;     // 0: done
};

class ScriptedCan {
 public:
  ScriptedCan() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    ours_ = fds[0];
    peer_ = fds[1];
    self_.store(this, std::memory_order_release);
    previous_ = comm::replace_can_syscalls_for_tests(&kTable);
    testing::internal::CaptureStderr();
  }
  ~ScriptedCan() {
    if (!lines_taken_) lines();
    comm::replace_can_syscalls_for_tests(previous_);
    // The device's threads have closed the socket by now (a kernel event, which the thread sanitizer cannot
    // see): their last step took the mutex.
    { std::lock_guard lock(mu_); }
    self_.store(nullptr, std::memory_order_release);
    ::close(peer_);
  }

  void push_read(Outcome o) {
    {
      std::lock_guard lock(mu_);
      reads_.push_back(o);
    }
    if (::send(peer_, "r", 1, 0) != 1) std::abort();
  }
  void script_writes(std::vector<Outcome> outcomes, Outcome then = {}) {
    std::lock_guard lock(mu_);
    writes_.assign(outcomes.begin(), outcomes.end());
    write_default_ = then;
  }
  // The socket's buffer fills for real, so that it is not writable either: each write would block.
  void jam() {
    std::lock_guard lock(mu_);
    jammed_ = true;
    while (::send(ours_, "w", 1, MSG_DONTWAIT) == 1) {
    }
  }
  void unjam() {
    std::lock_guard lock(mu_);
    jammed_ = false;
    char record;
    while (::recv(peer_, &record, 1, MSG_DONTWAIT) == 1) {
    }
  }
  // The interface goes away: the kernel unbinds the socket.
  void unplug() {
    std::lock_guard lock(mu_);
    present_ = 0;
    bound_ = 0;
  }
  void plug(int index) {
    std::lock_guard lock(mu_);
    present_ = index;
  }

  std::vector<Call> written() const { return copy(writes_done_); }
  std::vector<Call> read() const { return copy(reads_done_); }
  std::vector<Clock::time_point> lookups_while_gone() const { return copy(absent_lookups_); }
  std::vector<canid_t> sent_ids() const {
    std::vector<canid_t> ids;
    for (const auto& c : written())
      if (c.err == 0) ids.push_back(c.id);
    return ids;
  }
  int bound() const { return copy(bound_); }
  int provisions() const { return copy(provisions_); }
  int empty_reads() const { return copy(empty_reads_); }

  // True once the device has closed the socket: its reader and writer have both ended.
  bool closed_within(std::chrono::seconds limit) const {
    pollfd p{.fd = peer_, .events = POLLRDHUP, .revents = 0};
    return ::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(limit).count())) == 1 &&
           (p.revents & (POLLHUP | POLLRDHUP));
  }

  // What the device reported, once every line is out.
  std::string lines() {
    lines_taken_ = true;
    rt::diag::flush(std::chrono::milliseconds(10000));
    return testing::internal::GetCapturedStderr();
  }

 private:
  template <class T>
  T copy(const T& v) const {
    std::lock_guard lock(mu_);
    return v;
  }

  static unsigned if_nametoindex(const char*) {
    std::lock_guard lock(self()->mu_);
    if (self()->present_ == 0) self()->absent_lookups_.push_back(Clock::now());
    return self()->present_;
  }
  static int socket(int, int, int) { return self()->ours_; }
  static int bind(int, const sockaddr* addr, socklen_t) {
    std::lock_guard lock(self()->mu_);
    const int index = reinterpret_cast<const sockaddr_can*>(addr)->can_ifindex;
    if (index != self()->present_) return errno = ENODEV, -1;
    self()->bound_ = index;
    return 0;
  }
  static int getsockname(int, sockaddr* addr, socklen_t* len) {
    std::lock_guard lock(self()->mu_);
    sockaddr_can can{};
    can.can_family = AF_CAN;
    can.can_ifindex = self()->bound_;
    std::memcpy(addr, &can, std::min<std::size_t>(*len, sizeof can));
    *len = sizeof can;
    return 0;
  }
  static int setsockopt(int, int, int, const void*, socklen_t) { return 0; }
  static int getsockopt(int, int, int, void* value, socklen_t*) {
    *static_cast<int*>(value) = 0;
    return 0;
  }
  static ssize_t read(int fd, void* buf, size_t len) {
    char record;
    if (::recv(fd, &record, 1, MSG_DONTWAIT) != 1) {
      std::lock_guard lock(self()->mu_);
      ++self()->empty_reads_;
      return -1;  // errno is the pair's own: would block
    }
    std::lock_guard lock(self()->mu_);
    const Outcome o = self()->reads_.front();
    self()->reads_.pop_front();
    self()->reads_done_.push_back({Clock::now(), o.id, o.err});
    if (o.err) return errno = o.err, -1;
    can_frame f{};
    f.can_id = o.id;
    std::memcpy(buf, &f, std::min(len, sizeof f));
    return o.size;
  }
  static ssize_t write(int, const void* buf, size_t) {
    std::lock_guard lock(self()->mu_);
    Outcome o = self()->jammed_ ? fails(EAGAIN) : self()->write_default_;
    if (!self()->jammed_ && !self()->writes_.empty()) {
      o = self()->writes_.front();
      self()->writes_.pop_front();
    }
    const canid_t id = static_cast<const can_frame*>(buf)->can_id;
    // A short write is recorded as a failure: the frame did not go out whole.
    self()->writes_done_.push_back({Clock::now(), id, o.err ? o.err : o.size == sizeof(can_frame) ? 0 : -1});
    if (o.err) return errno = o.err, -1;
    return o.size;
  }
  static comm::IoResult<void> provision(const std::string&, const std::function<void(const std::string&)>&) {
    std::lock_guard lock(self()->mu_);
    ++self()->provisions_;
    return {};
  }

  static constexpr comm::CanSyscalls kTable{
      .if_nametoindex = if_nametoindex,
      .socket = socket,
      .bind = bind,
      .getsockname = getsockname,
      .setsockopt = setsockopt,
      .getsockopt = getsockopt,
      .read = read,
      .write = write,
      .provision = provision,
  };
  static ScriptedCan* self() { return self_.load(std::memory_order_acquire); }
  static inline std::atomic<ScriptedCan*> self_{nullptr};

  mutable std::mutex mu_;
  int ours_ = -1;
  int peer_ = -1;
  const comm::CanSyscalls* previous_ = nullptr;
  int present_ = 7;
  int bound_ = 0;
  int provisions_ = 0;
  int empty_reads_ = 0;
  bool lines_taken_ = false;
  bool jammed_ = false;
  std::deque<Outcome> reads_;
  std::deque<Outcome> writes_;
  Outcome write_default_;
  std::vector<Call> reads_done_;
  std::vector<Call> writes_done_;
  std::vector<Clock::time_point> absent_lookups_;
};

// Waits for `done` as long as a hang takes to be sure of.
template <class F>
bool eventually(F done) {
  const auto limit = Clock::now() + 10s;
  while (!done()) {
    if (Clock::now() > limit) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::size_t count(const std::string& text, const std::string& line) {
  std::size_t n = 0;
  for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size())) ++n;
  return n;
}

comm::CanDeviceAsync open_async() {
  auto dev = comm::CanDeviceAsync::open("can9");
  if (!dev) std::abort();
  return std::move(*dev);
}

void send(const comm::CanDeviceAsync& dev, std::uint32_t id) {
  ASSERT_TRUE(dev.send_nonblocking(id, comm::Payload{}));
}

std::vector<Call> attempts_of(const std::vector<Call>& calls, canid_t id) {
  std::vector<Call> out;
  for (const auto& c : calls)
    if (c.id == id) out.push_back(c);
  return out;
}

const std::string kNoBuffers = "Failed to send CAN frame: No buffer space available (os error 105)\n";

}  // namespace

TEST(CanErrorPaths, AShortlyFullQueueIsWaitedOutWithGrowingPausesInOrderAfterTheDeviceIsGone) {
  ScriptedCan can;
  can.script_writes({fails(EAGAIN), fails(EINTR), fails(ENOBUFS), fails(ENOBUFS), fails(ENOBUFS),
                     fails(ENOBUFS), fails(ENOBUFS)});
  {
    auto dev = open_async();
    send(dev, 1);
    send(dev, 2);
  }
  // What was queued still goes out, and the exit waits for it.
  EXPECT_TRUE(rt::run_exit_flushes(std::chrono::milliseconds(10000)));
  EXPECT_EQ(can.sent_ids(), (std::vector<canid_t>{1, 2}));
  const auto first = attempts_of(can.written(), 1);
  ASSERT_EQ(first.size(), 8u);
  for (std::size_t i = 2; i + 1 < first.size(); ++i)
    EXPECT_GE(first[i + 1].at - first[i].at, std::chrono::milliseconds(1 << (i - 2))) << "pause " << i - 2;
  ASSERT_TRUE(can.closed_within(10s));
  EXPECT_EQ(count(can.lines(), "Failed to send"), 0u);
}

TEST(CanErrorPaths, ALastingFullQueueIsReportedFrameByFrameAndARecoveredQueueIsPatientAgain) {
  ScriptedCan can;
  can.script_writes({}, fails(ENOBUFS));
  auto dev = open_async();
  for (std::uint32_t id : {1, 2, 3}) send(dev, id);
  // The first frame is retried for a while: the exit waits, but not for good.
  EXPECT_FALSE(rt::run_exit_flushes(20ms));
  EXPECT_TRUE(rt::run_exit_flushes(std::chrono::milliseconds(10000)));
  const auto calls = can.written();
  const auto first = attempts_of(calls, 1);
  ASSERT_GE(first.size(), 2u);
  EXPECT_LE(first.size(), 10u);  // pauses that grow, not a spin
  EXPECT_GE(first.back().at - first.front().at, 100ms);
  // Once the bus is found stalled, further frames are reported at once.
  EXPECT_EQ(attempts_of(calls, 2).size(), 1u);
  EXPECT_EQ(attempts_of(calls, 3).size(), 1u);

  can.script_writes({}, Outcome{});
  send(dev, 4);
  ASSERT_TRUE(eventually([&] { return can.sent_ids().size() == 1; }));
  can.script_writes({fails(ENOBUFS), fails(ENOBUFS)});
  send(dev, 5);
  ASSERT_TRUE(eventually([&] { return can.sent_ids().size() == 2; }));
  EXPECT_EQ(can.sent_ids(), (std::vector<canid_t>{4, 5}));
  { auto gone = std::move(dev); }
  ASSERT_TRUE(can.closed_within(10s));
  const auto lines = can.lines();
  EXPECT_EQ(count(lines, kNoBuffers), 3u);
  EXPECT_EQ(count(lines, "Failed to send"), 3u);
}

TEST(CanErrorPaths, ASocketThatStaysFullHoldsNoFrameForGoodAndIsUsedAgainOnceItHasRoom) {
  ScriptedCan can;
  auto dev = open_async();
  can.jam();
  for (std::uint32_t id : {1, 2, 3}) send(dev, id);
  EXPECT_FALSE(rt::run_exit_flushes(20ms));
  EXPECT_TRUE(rt::run_exit_flushes(std::chrono::milliseconds(10000)));
  const auto calls = can.written();
  const auto first = attempts_of(calls, 1);
  ASSERT_GE(first.size(), 2u);
  EXPECT_LE(first.size(), 10u);
  EXPECT_GE(first.back().at - first.front().at, 100ms);
  EXPECT_EQ(attempts_of(calls, 2).size(), 1u);
  EXPECT_EQ(attempts_of(calls, 3).size(), 1u);

  can.unjam();
  send(dev, 4);
  ASSERT_TRUE(eventually([&] { return can.sent_ids().size() == 1; }));
  // Patient again: a frame that meets a full socket goes out as soon as the socket has room.
  can.jam();
  send(dev, 5);
  ASSERT_TRUE(eventually([&] { return !attempts_of(can.written(), 5).empty(); }));
  can.unjam();
  ASSERT_TRUE(eventually([&] { return can.sent_ids().size() == 2; }));
  EXPECT_EQ(can.sent_ids(), (std::vector<canid_t>{4, 5}));
  { auto gone = std::move(dev); }
  ASSERT_TRUE(can.closed_within(10s));
  const auto lines = can.lines();
  EXPECT_EQ(count(lines, "Failed to send CAN frame: Resource temporarily unavailable (os error 11)\n"), 3u);
  EXPECT_EQ(count(lines, "Failed to send"), 3u);
}

TEST(CanErrorPaths, EveryOtherWriteFailureReportsItsFrameOnceAndTheNextFrameGoesOut) {
  ScriptedCan can;
  can.script_writes({fails(ENETDOWN), fails(EBADF), short_frame(0), fails(ENXIO)});
  {
    auto dev = open_async();
    for (std::uint32_t id : {1, 2, 3, 4, 5}) send(dev, id);
  }
  EXPECT_TRUE(rt::run_exit_flushes(std::chrono::milliseconds(10000)));
  EXPECT_EQ(can.written().size(), 5u);
  EXPECT_EQ(can.sent_ids(), (std::vector<canid_t>{5}));
  ASSERT_TRUE(can.closed_within(10s));
  const auto lines = can.lines();
  EXPECT_EQ(count(lines, "Failed to send CAN frame: Network is down (os error 100)\n"), 1u);
  EXPECT_EQ(count(lines, "Failed to send CAN frame: Bad file descriptor (os error 9)\n"), 1u);
  EXPECT_EQ(count(lines, "Failed to send CAN frame: No such device or address (os error 6)\n"), 1u);
  EXPECT_EQ(count(lines, "Failed to send"), 4u);
}

TEST(CanErrorPaths, AFailedReadIsReportedAndPausedOnAndTheNextFramesStillArrive) {
  ScriptedCan can;
  auto dev = open_async();
  for (auto o : {frame(1), fails(ENETDOWN), frame(2), fails(EINTR), frame(3), fails(EAGAIN), frame(4),
                 short_frame(9), frame(5), fails(EBADF), frame(6)})
    can.push_read(o);
  for (std::uint32_t id = 1; id <= 6; ++id) {
    auto got = dev.receive_timeout(10000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->id, id);
  }
  const auto reads = can.read();
  ASSERT_EQ(reads.size(), 11u);
  for (std::size_t failed : {1, 7, 9}) EXPECT_GE(reads[failed + 1].at - reads[failed].at, 100ms) << failed;
  // Each wake-up finds at most one read with nothing to take: the reader waits, it does not spin.
  EXPECT_LE(can.empty_reads(), 12);
  { auto gone = std::move(dev); }
  ASSERT_TRUE(can.closed_within(10s));
  const auto lines = can.lines();
  EXPECT_EQ(count(lines, "Failed to receive CAN frame: Network is down (os error 100)\n"), 1u);
  EXPECT_EQ(count(lines, "Failed to receive CAN frame: short CAN frame read\n"), 1u);
  EXPECT_EQ(count(lines, "Failed to receive CAN frame: Bad file descriptor (os error 9)\n"), 1u);
  EXPECT_EQ(count(lines, "Failed to receive"), 3u);
}

TEST(CanErrorPaths, WhileTheInterfaceIsGoneEveryFrameIsReportedAndEachReplugIsBoundAndUsed) {
  ScriptedCan can;
  auto dev = open_async();
  const int provisioned_at_open = can.provisions();
  ASSERT_TRUE(eventually([&] { return can.empty_reads() == 1; }));  // the reader waits

  // The kernel's report of the loss wakes the waiting reader, which finds nothing to read.
  can.unplug();
  can.push_read(fails(EAGAIN));
  ASSERT_TRUE(eventually([&] { return can.lookups_while_gone().size() == 1; }));
  can.plug(9);
  ASSERT_TRUE(eventually([&] { return can.bound() == 9; }));
  can.push_read(frame(1));
  auto got = dev.receive_timeout(10000);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->id, 1u);

  // Lost while the reader pauses after a failed read, and the first write takes the kernel's error: nothing
  // will wake the reader, which has to look for itself once its pause is over.
  can.push_read(fails(ENETDOWN));
  ASSERT_TRUE(eventually([&] { return can.read().size() == 3; }));
  can.unplug();
  can.script_writes({fails(ENODEV)}, fails(ENXIO));
  for (std::uint32_t id : {1, 2, 3}) send(dev, id);
  // Each frame the writer takes while the interface is gone is reported as not sent.
  EXPECT_TRUE(rt::run_exit_flushes(std::chrono::milliseconds(10000)));
  ASSERT_EQ(can.written().size(), 3u);
  ASSERT_LT(can.written()[0].at - can.read()[2].at, 100ms) << "the write came after the reader's pause";
  // The reader looks for the interface again on each pass, with a pause between passes.
  ASSERT_TRUE(eventually([&] { return can.lookups_while_gone().size() >= 4; }));
  const auto looks = can.lookups_while_gone();
  for (std::size_t i = 1; i + 1 < looks.size(); ++i) EXPECT_GE(looks[i + 1] - looks[i], 100ms) << i;

  can.script_writes({});
  can.plug(11);
  ASSERT_TRUE(eventually([&] { return can.bound() == 11; }));
  EXPECT_EQ(can.provisions(), provisioned_at_open + 2);
  can.push_read(frame(4));
  got = dev.receive_timeout(10000);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->id, 4u);
  send(dev, 5);
  ASSERT_TRUE(eventually([&] { return can.sent_ids().size() == 1; }));
  EXPECT_EQ(can.sent_ids(), (std::vector<canid_t>{5}));
  { auto gone = std::move(dev); }
  ASSERT_TRUE(can.closed_within(10s));
  const auto lines = can.lines();
  EXPECT_EQ(count(lines, "Failed to send CAN frame: No such device (os error 19)\n"), 1u);
  EXPECT_EQ(count(lines, "Failed to send CAN frame: No such device or address (os error 6)\n"), 2u);
  EXPECT_EQ(count(lines, "Failed to send"), 3u);
  EXPECT_GE(count(lines, "Failed to receive CAN frame: No such device (os error 19)\n"), looks.size());
}

TEST(CanErrorPaths, TheBlockingDeviceWaitsOutWouldBlockAndReturnsEveryOtherFailureAtOnce) {
  ScriptedCan can;
  auto dev = comm::CanDeviceSync::open("can9");
  ASSERT_TRUE(dev);
  can.script_writes({fails(EINTR), fails(EAGAIN), Outcome{}, fails(ENOBUFS), fails(ENETDOWN), short_frame(0),
                     fails(EBADF)});
  EXPECT_TRUE(dev->send(1, {}));
  const std::string errors[] = {"No buffer space available (os error 105)", "Network is down (os error 100)",
                                "Input/output error (os error 5)", "Bad file descriptor (os error 9)"};
  for (const auto& error : errors) {
    auto sent = dev->send(2, {});
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().message, error);
  }
  EXPECT_EQ(can.written().size(), 7u);
  EXPECT_TRUE(dev->send(3, {}));
  EXPECT_EQ(can.sent_ids(), (std::vector<canid_t>{1, 3}));

  for (auto o : {fails(EINTR), fails(EAGAIN), frame(1), fails(ENETDOWN), short_frame(2), frame(3)})
    can.push_read(o);
  auto got = dev->receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->id, 1u);
  EXPECT_EQ(dev->receive().error().message, "Network is down (os error 100)");
  EXPECT_EQ(dev->receive().error().message, "short CAN frame read");
  got = dev->receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->id, 3u);
}

TEST(CanErrorPaths, TheBlockingDeviceFailsAtOnceWhileTheInterfaceIsGoneAndIsBoundAgainOnItsReturn) {
  ScriptedCan can;
  auto dev = comm::CanDeviceSync::open("can9");
  ASSERT_TRUE(dev);
  // The interface vanishes under a waiting receive: the kernel's error wakes it.
  std::thread unplug([&] {
    eventually([&] { return can.empty_reads() == 1; });
    can.unplug();
    can.push_read(fails(ENODEV));
  });
  EXPECT_EQ(dev->receive().error().message, "No such device (os error 19)");
  unplug.join();
  EXPECT_EQ(dev->receive().error().message, "No such device (os error 19)");
  EXPECT_EQ(dev->send(1, {}).error().message, "No such device or address (os error 6)");
  EXPECT_TRUE(can.written().empty());
  can.plug(9);
  EXPECT_TRUE(dev->send(2, {}));
  EXPECT_EQ(can.bound(), 9);
  can.push_read(frame(3));
  auto got = dev->receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->id, 3u);
  EXPECT_EQ(can.sent_ids(), (std::vector<canid_t>{2}));
}
