// A one-line progress report for long runs watched at a terminal.
//
// When standard error is a terminal, progress_update keeps one line there up
// to date ("encode: 120000 plies written, 4310 plies/s"), at most four times
// a second; progress_clear erases it, and comes before anything else is
// written to standard error, so that every message starts on a clean line.
// When standard error is anything else (a file, a pipe) both do nothing, and
// scripts see exactly the command's messages.
#pragma once

#include <cstdint>

namespace q4d {

struct Progress {
  bool active;             // standard error is a terminal
  const char* label;       // the command word that starts the line
  std::int64_t start_ns;   // steady clock at progress_start
  std::int64_t next_ns;    // no update before this time
  int shown;               // characters of the line on the terminal, 0 when none
};

void progress_start(Progress* progress, const char* label);

// Shows `count` plies written and the mean rate since the start, unless the
// last update is less than a quarter of a second old.
void progress_update(Progress* progress, std::uint64_t count);

// Erases the line, if one is shown.
void progress_clear(Progress* progress);

}  // namespace q4d
