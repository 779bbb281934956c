// Owns interface provisioning: the `ip` query, its parsing, and the configuration commands.
#include "comm/can/provision.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "runtime/diagnostics.hpp"

extern char** environ;

namespace kestro::comm {

namespace {

struct ChildOutcome {
  int spawn_error = 0;  // errno when the program could not be started or waited for
  bool succeeded = false;
  std::string out;
};

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Reads both pipes to their end; standard error is drained only so that the child never blocks on it.
void drain(int out_fd, int err_fd, std::string& out) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open = 2;
  char buf[4096];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        if (i == 0) out.append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

// Runs `argv` without a shell and waits for it without a time limit. Captured: empty standard input, output
// collected; otherwise the child inherits the process's standard streams.
ChildOutcome run_child(const std::vector<std::string>& argv, bool capture) {
  ChildOutcome outcome;
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);

  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (capture) {
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
      outcome.spawn_error = errno;
      close_fd(out_pipe[0]), close_fd(out_pipe[1]), close_fd(err_pipe[0]), close_fd(err_pipe[1]);
      posix_spawn_file_actions_destroy(&actions);
      return outcome;
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  }
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close_fd(out_pipe[1]);
  close_fd(err_pipe[1]);
  if (rc != 0) {
    outcome.spawn_error = rc;
    close_fd(out_pipe[0]);
    close_fd(err_pipe[0]);
    return outcome;
  }
  if (capture) {
    drain(out_pipe[0], err_pipe[0], outcome.out);
    close_fd(out_pipe[0]);
    close_fd(err_pipe[0]);
  }
  int status = 0;
  pid_t waited = -1;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) {
    // Its status is lost (a process that ignores SIGCHLD has its children reaped for it): say so rather
    // than read it as a failure of the command.
    outcome.spawn_error = errno;
    return outcome;
  }
  outcome.succeeded = waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return outcome;
}

std::string joined(const std::vector<std::string>& args) {
  std::string s;
  for (const auto& a : args) {
    if (!s.empty()) s += ' ';
    s += a;
  }
  return s;
}

void print_to_stderr(const std::string& line) {
  rt::diag::write_now(line);
}

std::string_view first_word(std::string_view line) {
  const auto start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  line.remove_prefix(start);
  return line.substr(0, line.find_first_of(" \t"));
}

}  // namespace

InterfaceState parse_interface_state(std::string_view details) {
  InterfaceState state;
  if (const auto open = details.find('<'); open != std::string_view::npos) {
    if (const auto close = details.find('>', open + 1); close != std::string_view::npos) {
      std::string_view flags = details.substr(open + 1, close - open - 1);
      for (;;) {
        const auto comma = flags.find(',');
        if (flags.substr(0, comma) == "UP") state.up = true;
        if (comma == std::string_view::npos) break;
        flags.remove_prefix(comma + 1);
      }
    }
  }
  bool bitrate_line_seen = false;
  std::string_view rest = details;
  while (!rest.empty()) {
    const auto nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto word = first_word(line);
    if (word == "vcan" || word == "vxcan") state.is_virtual = true;
    if (word == "link/can") state.is_can = true;
    if (bitrate_line_seen) continue;
    const auto at = line.find("bitrate ");
    if (at == std::string_view::npos) continue;
    // Only the first line naming a bitrate is examined.
    bitrate_line_seen = true;
    std::uint64_t value = 0;
    std::size_t i = at + 8;
    std::size_t digits = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
      value = value * 10 + static_cast<std::uint64_t>(line[i] - '0');
      if (value > UINT32_MAX) break;
    }
    if (digits > 0 && value <= UINT32_MAX) state.bitrate = static_cast<std::uint32_t>(value);
  }
  return state;
}

IoResult<void> ensure_can_interface(const std::string& interface,
                                    const std::function<void(const std::string&)>& say) {
  const auto print_line = [&](const std::string& line) { say ? say(line) : print_to_stderr(line); };
  // No program argument can carry a NUL: `ip` would be given the name cut short, another interface.
  if (interface.find('\0') != std::string::npos) {
    return std::unexpected(IoError{IoErrorKind::Other, "Failed to run ip: " + os_error_text(EINVAL)});
  }
  ChildOutcome query = run_child({"ip", "-details", "link", "show", interface}, true);
  if (query.spawn_error) {
    return std::unexpected(
        IoError{IoErrorKind::Other, "Failed to run ip: " + os_error_text(query.spawn_error)});
  }
  if (!query.succeeded) {
    return std::unexpected(
        IoError{IoErrorKind::NotFound, "CAN interface '" + interface + "' does not exist"});
  }
  const InterfaceState state = parse_interface_state(query.out);
  if (!state.is_can) {
    // A link typed by mistake (wlan0, eth0) is never taken down.
    return std::unexpected(
        IoError{IoErrorKind::Other, "Interface '" + interface + "' is not a CAN interface"});
  }
  if (state.up && (state.is_virtual || state.bitrate == kRequiredBitrate)) return {};

  print_line("[CAN] Interface '" + interface + "' needs configuration (up=" + (state.up ? "true" : "false") +
             ", bitrate=" + (state.bitrate ? std::to_string(*state.bitrate) : std::string("none")) +
             "), configuring...\n");

  std::vector<std::vector<std::string>> commands;
  if (!state.is_virtual) {
    commands.push_back({"link", "set", interface, "down"});
    commands.push_back(
        {"link", "set", interface, "type", "can", "bitrate", std::to_string(kRequiredBitrate)});
  }
  commands.push_back({"link", "set", interface, "up"});

  bool direct_ok = true;
  for (const auto& args : commands) {
    std::vector<std::string> argv{"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildOutcome r = run_child(argv, true);
    if (r.spawn_error || !r.succeeded) {
      direct_ok = false;
      break;
    }
  }
  if (direct_ok) return {};

  print_line("[CAN] Need elevated privileges, requesting sudo...\n");
  for (const auto& args : commands) {
    std::vector<std::string> argv{"sudo", "ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildOutcome r = run_child(argv, false);
    if (r.spawn_error) {
      return std::unexpected(IoError{IoErrorKind::Other, "Failed to run 'sudo ip " + joined(args) +
                                                             "': " + os_error_text(r.spawn_error)});
    }
    if (!r.succeeded) {
      return std::unexpected(IoError{IoErrorKind::PermissionDenied, "'sudo ip " + joined(args) + "' failed"});
    }
  }
  return {};
}

}  // namespace kestro::comm
