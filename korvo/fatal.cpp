#include "fatal.h"

#include <cstdio>
#include <cstdlib>

namespace {

void (*reporter)(const char*) = nullptr;

}  // namespace

void fatal_set_reporter(void (*report)(const char* message)) noexcept { reporter = report; }

void fatal_exit(const char* message) {
  fputs(message, stderr);
  if (reporter != nullptr) reporter(message);
  exit(1);
}
