#include "main_4d/progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace q4d {
namespace {

constexpr std::int64_t UPDATE_INTERVAL_NS = 250'000'000;

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void progress_start(Progress* progress, const char* label) {
  progress->active = isatty(fileno(stderr)) == 1;
  progress->label = label;
  progress->start_ns = progress->active ? now_ns() : 0;
  progress->next_ns = progress->start_ns + UPDATE_INTERVAL_NS;
  progress->shown = 0;
}

void progress_update(Progress* progress, std::uint64_t count) {
  if (!progress->active) return;
  const std::int64_t now = now_ns();  // cheap: no system call on Linux
  if (now < progress->next_ns) return;
  progress->next_ns = now + UPDATE_INTERVAL_NS;
  const double seconds = static_cast<double>(now - progress->start_ns) * 1e-9;
  const auto rate = static_cast<unsigned long long>(static_cast<double>(count) / seconds);
  char line[96];
  int width = std::snprintf(line, sizeof line, "%s: %llu plies written, %llu plies/s", progress->label,
                            static_cast<unsigned long long>(count), rate);
  if (width < 0) return;
  if (width >= static_cast<int>(sizeof line)) width = static_cast<int>(sizeof line) - 1;
  // Back to the first column and over the previous line; trailing spaces
  // cover what is left of a longer one.
  const int cover = progress->shown > width ? progress->shown - width : 0;
  std::fprintf(stderr, "\r%s%*s", line, cover, "");
  std::fflush(stderr);
  if (width > progress->shown) progress->shown = width;
}

void progress_clear(Progress* progress) {
  if (!progress->active || progress->shown == 0) return;
  std::fprintf(stderr, "\r%*s\r", progress->shown, "");
  std::fflush(stderr);
  progress->shown = 0;
}

}  // namespace q4d
