#include "server.h"

#include <netdb.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <vector>

#include "commands.h"
#include "mpd_line.h"
#include "playback.h"
#include "saved_state.h"

namespace {

constexpr const char* kGreeting = "OK MPD 0.23.0\n";
constexpr const char* kTooMany = "ACK [0@0] {} too many clients\n";
// A client that does not read its answers is dropped past this.
constexpr size_t kLargestOutput = 32 * 1024 * 1024;
// A command list longer than this is refused and the client dropped.
constexpr size_t kLargestCommandList = 2 * 1024 * 1024;
constexpr int kTickMs = 1000;
// While playing, the position is saved this often.
constexpr int64_t kSavePositionMs = 5000;

enum class list_mode : uint8_t { none, plain, with_ok };

struct client {
  unique_fd fd;
  std::string in;
  std::string out;
  command_session session;
  bool idle = false;
  uint32_t idle_mask = 0;
  uint32_t pending = 0;  // subsystems changed since its last idle answer
  list_mode listing = list_mode::none;
  std::vector<mpd_request> list;
  size_t list_bytes = 0;
  bool closing = false;  // closed once its output has gone
};

void write_out(client& c) {
  while (!c.out.empty()) {
    const ssize_t written = send(c.fd.get(), c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EAGAIN) break;
    if (written <= 0) {
      c.out.clear();
      c.closing = true;
      c.fd.reset();
      return;
    }
    c.out.erase(0, static_cast<size_t>(written));
  }
  if (c.out.size() > kLargestOutput) {
    c.out.clear();
    c.closing = true;
  }
}

// An unknown command is named in the message alone, as MPD does.
std::string_view ack_command(const command_failure& failed, const mpd_request& request) {
  return failed.code == mpd_error::unknown ? std::string_view() : std::string_view(request.command);
}

void answer_idle(client& c) {
  c.out += command_idle_changes(c.pending & c.idle_mask);
  c.out += "OK\n";
  c.pending &= ~c.idle_mask;
  c.idle = false;
}

void run_list(daemon_state& d, client& c) {
  const bool with_ok = c.listing == list_mode::with_ok;
  c.listing = list_mode::none;
  c.list_bytes = 0;
  std::vector<mpd_request> list = std::move(c.list);
  c.list.clear();
  for (size_t i = 0; i < list.size(); ++i) {
    const mpd_request& request = list[i];
    std::optional<command_failure> failed;
    if (request.command == "idle" || request.command == "noidle" || request.command.rfind("command_list", 0) == 0) {
      failed = command_failure{mpd_error::arg, "not allowed in a command list"};
    } else {
      failed = command_run(d, c.session, request, c.out);
    }
    if (failed) {
      c.out += mpd_ack(failed->code, i, ack_command(*failed, request), failed->message);
      return;
    }
    if (with_ok) c.out += "list_OK\n";
  }
  c.out += "OK\n";
}

void start_idle(client& c, const mpd_request& request) {
  uint32_t mask = 0;
  for (const std::string& name : request.args) {
    const uint32_t bit = command_idle_bit(name);
    if (bit == 0) {
      c.out += mpd_ack(mpd_error::arg, 0, "idle", "Unrecognized idle event: " + name);
      return;
    }
    mask |= bit;
  }
  c.idle_mask = mask == 0 ? ~0u : mask;
  c.idle = true;
  if ((c.pending & c.idle_mask) != 0) answer_idle(c);
}

void handle_line(daemon_state& d, client& c, std::string_view line) {
  if (c.idle) {
    // Only noidle may come while a client waits; anything else ends it.
    if (line.find_first_not_of(" \t\r") != std::string_view::npos && line.substr(0, 6) == "noidle") {
      answer_idle(c);
    } else {
      c.closing = true;
    }
    return;
  }
  std::string why;
  std::optional<mpd_request> request = mpd_parse_line(line, &why);
  if (!request) {
    if (c.listing != list_mode::none) {
      c.listing = list_mode::none;
      c.list.clear();
      c.list_bytes = 0;
    }
    c.out += mpd_ack(mpd_error::unknown, 0, "", why);
    return;
  }
  const std::string& name = request->command;
  if (c.listing != list_mode::none) {
    if (name == "command_list_end") {
      run_list(d, c);
      return;
    }
    c.list_bytes += line.size();
    if (c.list_bytes > kLargestCommandList) {
      c.out += mpd_ack(mpd_error::arg, c.list.size(), name, "command list too long");
      c.closing = true;
      return;
    }
    c.list.push_back(std::move(*request));
    return;
  }
  if (name == "command_list_begin" || name == "command_list_ok_begin") {
    c.listing = name == "command_list_begin" ? list_mode::plain : list_mode::with_ok;
    return;
  }
  if (name == "command_list_end") {
    c.out += mpd_ack(mpd_error::not_list, 0, name, "not in command list mode");
    return;
  }
  if (name == "noidle") return;  // not waiting: nothing to answer
  if (name == "idle") {
    if (!c.session.authenticated) {
      c.out += mpd_ack(mpd_error::permission, 0, name, "you don't have permission for \"idle\"");
      return;
    }
    start_idle(c, *request);
    return;
  }
  if (const std::optional<command_failure> failed = command_run(d, c.session, *request, c.out)) {
    c.out += mpd_ack(failed->code, 0, ack_command(*failed, *request), failed->message);
  } else if (!c.session.close_asked) {
    c.out += "OK\n";
  }
  if (c.session.close_asked) c.closing = true;
}

void read_client(daemon_state& d, client& c) {
  char buffer[16384];
  const ssize_t got = recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) {
    c.closing = true;
    c.out.clear();
    return;
  }
  c.in.append(buffer, static_cast<size_t>(got));
  size_t start = 0;
  for (size_t newline; !c.closing && (newline = c.in.find('\n', start)) != std::string::npos; start = newline + 1) {
    std::string_view line(c.in.data() + start, newline - start);
    if (line.size() > kMpdLongestLine) {
      c.out += mpd_ack(mpd_error::arg, 0, "", "line too long");
      c.closing = true;
      break;
    }
    handle_line(d, c, line);
  }
  c.in.erase(0, start);
  if (!c.closing && c.in.size() > kMpdLongestLine) {
    c.out += mpd_ack(mpd_error::arg, 0, "", "line too long");
    c.closing = true;
  }
  if (c.closing) c.in.clear();
}

void accept_clients(int listen_fd, std::list<client>& clients, bool need_password) {
  for (;;) {
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (clients.size() >= kMostClients) {
      const ssize_t ignored = send(fd, kTooMany, strlen(kTooMany), MSG_NOSIGNAL | MSG_DONTWAIT);
      (void)ignored;
      close(fd);
      continue;
    }
    client& added = clients.emplace_back();
    added.fd.reset(fd);
    added.session.authenticated = !need_password;
    added.out = kGreeting;
    write_out(added);
  }
}

void take_scan(daemon_state& d) {
  std::optional<music_library> library = scanner_take(d.scanner);
  if (!library) return;
  d.library = std::move(*library);
  d.unplayable.clear();
  saved_state_save_library(d);
  d.changed |= kIdleDatabase | kIdleUpdate;
}

}  // namespace

int server_listen(const korvod_options& options, std::string* why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options.port);
  const char* host = options.bind_address == "any" ? nullptr : options.bind_address.c_str();
  if (const int error = getaddrinfo(host, port.c_str(), &hints, &found); error != 0) {
    *why = "cannot resolve " + options.bind_address + ": " + gai_strerror(error);
    return -1;
  }
  int fd = -1;
  std::string last_error = "no address";
  for (const addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
    fd = socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, at->ai_addr, at->ai_addrlen) != 0 || listen(fd, 64) != 0) {
      last_error = strerror(errno);
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) *why = "cannot listen on " + options.bind_address + " port " + port + ": " + last_error;
  return fd;
}

int server_run(daemon_state& d, int listen_fd, int signal_fd) {
  std::list<client> clients;
  std::vector<pollfd> polled;
  std::vector<client*> polled_clients;
  int64_t last_save = playback_steady_ms();
  for (;;) {
    polled.clear();
    polled_clients.clear();
    polled.push_back({signal_fd, POLLIN, 0});
    polled.push_back({listen_fd, POLLIN, 0});
    polled.push_back({d.scanner.wake_fd.get(), POLLIN, 0});
    player_process& player = d.run.process;
    polled.push_back({player.events.get(), POLLIN, 0});
    polled.push_back({player.texts.get(), POLLIN, 0});
    polled.push_back({player.commands_pending.empty() ? -1 : player.commands.get(), POLLOUT, 0});
    for (client& c : clients) {
      short events = c.closing ? 0 : POLLIN;
      if (!c.out.empty()) events |= POLLOUT;
      polled.push_back({c.fd.get(), events, 0});
      polled_clients.push_back(&c);
    }
    const int ready = poll(polled.data(), polled.size(), kTickMs);
    if (ready < 0 && errno != EINTR) {
      perror("korvod: poll");
      return 1;
    }
    if ((polled[0].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      const ssize_t got = read(signal_fd, &info, sizeof info);
      (void)got;
      return 0;
    }
    if ((polled[2].revents & POLLIN) != 0) take_scan(d);
    if ((polled[3].revents | polled[4].revents) != 0) playback_player_readable(d);
    if ((polled[5].revents & (POLLOUT | POLLERR)) != 0) player_process_flush(d.run.process);
    for (size_t i = 0; i < polled_clients.size(); ++i) {
      client& c = *polled_clients[i];
      const short revents = polled[6 + i].revents;
      if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !c.closing) read_client(d, c);
      if (!c.out.empty() && c.fd) write_out(c);
    }
    if ((polled[1].revents & POLLIN) != 0) accept_clients(listen_fd, clients, !d.options.password.empty());

    // What changed reaches every client, and those waiting in idle hear of it.
    if (d.changed != 0) {
      for (client& c : clients) {
        c.pending |= d.changed;
        if (c.idle && (c.pending & c.idle_mask) != 0) {
          answer_idle(c);
          write_out(c);
        }
      }
      d.changed = 0;
    }
    for (auto it = clients.begin(); it != clients.end();) {
      if (it->closing && (it->out.empty() || !it->fd)) {
        it = clients.erase(it);
      } else {
        ++it;
      }
    }
    const int64_t now = playback_steady_ms();
    playback_tick(d, now);
    if (now - last_save >= kSavePositionMs) {
      if (d.playback.state == play_state::play) d.state_dirty = true;
      saved_state_save(d);
      last_save = now;
    }
  }
}
