// korvod: a music server for MPD clients that plays through brisa or lumen.
#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>
#include <ctime>

#include "daemon_state.h"
#include "library_scan.h"
#include "options.h"
#include "playback.h"
#include "saved_state.h"
#include "server.h"

int main(int argc, char** argv) {
  const options_result parsed = options_parse(argc, argv);
  if (parsed.outcome == options_outcome::usage) {
    fputs(options_usage().c_str(), stdout);
    return 0;
  }
  if (parsed.outcome == options_outcome::error) {
    fprintf(stderr, "korvod: %s\nTry korvod --help.\n", parsed.message.c_str());
    return 2;
  }
  daemon_state d;
  d.options = parsed.options;
  d.started_at = static_cast<int64_t>(time(nullptr));
  if (!saved_state_make_dir(d.options.state_dir)) {
    fprintf(stderr, "korvod: cannot create the state folder %s\n", d.options.state_dir.c_str());
    return 1;
  }
  if (!scanner_init(d.scanner)) {
    perror("korvod: eventfd");
    return 1;
  }

  // The signals that end korvod come through the poll loop; a client that
  // has gone shows as EPIPE, not as a signal.
  signal(SIGPIPE, SIG_IGN);
  sigset_t ending;
  sigemptyset(&ending);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, sig);
  sigprocmask(SIG_BLOCK, &ending, nullptr);
  const unique_fd signals(signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK));

  std::string why;
  const unique_fd listener(server_listen(d.options, &why));
  if (!listener || !signals) {
    fprintf(stderr, "korvod: %s\n", why.c_str());
    return 1;
  }

  const std::string cache = saved_state_read_file(saved_state_library_path(d));
  if (std::optional<music_library> library = library_from_cache_text(cache)) {
    d.library = std::move(*library);
  } else {
    // No library yet: read the folder now, as an update would.
    scanner_start(d.scanner, d.options.music_dir, {}, false);
    d.update_job = 1;
  }
  saved_state_apply(d, saved_state_read_file(saved_state_queue_path(d)));

  const int status = server_run(d, listener.get(), signals.get());
  playback_shutdown(d);
  scanner_stop(d.scanner);
  d.state_dirty = true;
  saved_state_save(d);
  return status;
}
