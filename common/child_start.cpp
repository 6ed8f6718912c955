#include "child_start.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstring>

void child_start_reset_signals(pid_t parent) noexcept {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &fallback, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  // The parent may have ended before the request took effect.
  if (getppid() != parent) _exit(1);
}

void child_start_write(int fd, const char* text) noexcept {
  const ssize_t ignored = write(fd, text, strlen(text));
  (void)ignored;
}
