// pack: NDJSON4 ply logs to one packed dataset (dataset/pack_writer.h),
// reporting the lines `encode` would report, with the input's name.
#include <signal.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dataset/pack_writer.h"
#include "main_4d/cli_args.h"
#include "main_4d/commands.h"
#include "main_4d/file_identity.h"
#include "main_4d/progress.h"
#include "position/ply_log.h"

namespace q4d {
namespace {

// The paths of LIST, one a line ("-": standard input); empty lines are none.
bool read_list(const char* list, std::vector<std::string>* paths) {
  const bool from_stdin = std::strcmp(list, "-") == 0;
  std::FILE* f = from_stdin ? stdin : std::fopen(list, "rb");
  if (f == nullptr) return false;
  std::string line;
  for (int c; (c = std::fgetc(f)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
    } else if (!line.empty()) {
      paths->push_back(line);
      line.clear();
    }
  }
  if (!line.empty()) paths->push_back(line);
  const bool ok = !std::ferror(f);
  if (!from_stdin) std::fclose(f);
  return ok;
}

Result report_line(void* context, const Failure& skipped) {
  progress_clear(static_cast<Progress*>(context));
  if (skipped.result == PLY_LOG_TOO_LONG) {
    std::fprintf(stderr, "pack: %s: line %u: FEN4 string longer than %d KiB\n", skipped.path.c_str(),
                 static_cast<unsigned>(skipped.line), FEN4_BUF_SIZE / 1024);
  } else {
    std::fprintf(stderr, "pack: %s: FEN4 parse error %d at line %u\n", skipped.path.c_str(), skipped.fen4_error,
                 static_cast<unsigned>(skipped.line));
  }
  return OK;
}

// A signal that asks the program to stop: pack stops at its next report,
// removes its temporary file, and then dies of the signal as it would have.
volatile std::sig_atomic_t stop_signal = 0;

void on_stop_signal(int signal) { stop_signal = signal; }

// SIGINT, SIGTERM and SIGHUP stop the packing, unless they were ignored when
// the program started (SIGINT in a background job of a script, for one). No
// SA_RESTART: a read that waits gives way.
void catch_stop_signals() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous {};
    if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

Result report_progress(void* context, std::uint64_t positions) {
  if (stop_signal != 0) return ERR_INTERRUPTED;
  progress_update(static_cast<Progress*>(context), positions);
  return OK;
}

}  // namespace

int cmd_pack(int argc, char** argv) {
  const char* output = nullptr;
  const char* threads_text = nullptr;
  const char* zstd_level = nullptr;
  bool zstd_given = false;
  PackWriteOptions options;
  std::vector<std::string> inputs;
  for (int i = 0; i < argc; ++i) {
    const char* value = nullptr;
    if (take_option_value(argc, argv, &i, "-o", "--output", &output)) continue;
    if (take_option_value(argc, argv, &i, "--threads", nullptr, &threads_text)) continue;
    if (take_option_value(argc, argv, &i, "--key", nullptr, &value)) {
      options.keys.emplace_back(value);
    } else if (take_option_value(argc, argv, &i, "--game-key", nullptr, &value)) {
      options.game_keys.emplace_back(value);
    } else if (take_option_value(argc, argv, &i, "--files-from", nullptr, &value)) {
      if (!read_list(value, &inputs)) {
        std::fprintf(stderr, "pack: cannot read the list %s\n", value);
        return EXIT_FAILED;
      }
    } else if (take_option_suffix(argv[i], "--zstd", &value)) {
      zstd_level = value;
      zstd_given = true;
    } else if (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0) {
      inputs.emplace_back(argv[i]);
    }
  }
  if (output == nullptr) {
    std::fputs("pack: missing -o <output>\n", stderr);
    return EXIT_BAD_ARGS;
  }
  if (inputs.empty()) {
    std::fputs("pack: missing input NDJSON4 paths (or - for standard input, or --files-from <list>)\n", stderr);
    return EXIT_BAD_ARGS;
  }
  if (threads_text != nullptr && !parse_number(threads_text, 0, PACK_THREADS_MAX, &options.threads)) {
    std::fprintf(stderr, "pack: invalid --threads %s (0 to %d; 0 is one per processor)\n", threads_text,
                 PACK_THREADS_MAX);
    return EXIT_BAD_ARGS;
  }
  if (zstd_given && zstd_level != nullptr &&
      !parse_number(zstd_level, PACK_ZSTD_LEVEL_MIN, PACK_ZSTD_LEVEL_MAX, &options.zstd_level)) {
    std::fprintf(stderr, "pack: invalid zstd level %s (%d to %d)\n", zstd_level, PACK_ZSTD_LEVEL_MIN,
                 PACK_ZSTD_LEVEL_MAX);
    return EXIT_BAD_ARGS;
  }
  // Replacing an input would lose it once the pack is renamed into place.
  for (const std::string& input : inputs) {
    if (path_is_input(output, input.c_str())) {
      std::fprintf(stderr, "pack: output %s is an input file\n", output);
      return EXIT_BAD_ARGS;
    }
  }

  Progress progress;  // a line on standard error when it is a terminal
  progress_start(&progress, "pack");
  PackEvents events;
  events.context = &progress;
  events.line_skipped = report_line;
  events.progress = report_progress;
  PackSummary summary;
  Failure failure;
  catch_stop_signals();
  const Result packed = pack_write(inputs, output, options, &events, &summary, &failure);
  progress_clear(&progress);
  if (packed == ERR_INTERRUPTED && stop_signal != 0) {
    std::signal(stop_signal, SIG_DFL);
    std::raise(stop_signal);
  }
  if (packed == ERR_ARGUMENT) {
    std::fprintf(stderr,
                 "pack: invalid key %s (1 to 60 bytes without quotes or backslashes, no label's name, each named "
                 "once, at most 64 keys)\n",
                 failure.path.c_str());
    return EXIT_BAD_ARGS;
  }
  if (packed == ERR_THREADS) {
    std::fprintf(stderr, "pack: cannot start %d threads\n", options.threads);
    return EXIT_FAILED;
  }
  if (packed != OK) {
    std::fprintf(stderr, "pack: %s: %s%s%s\n", failure.path.empty() ? output : failure.path.c_str(),
                 result_name(packed), failure.error_number != 0 ? ": " : "",
                 failure.error_number != 0 ? std::strerror(failure.error_number) : "");
    return EXIT_FAILED;
  }
  if (summary.positions == 0) {
    std::fputs("pack: warning — no positions packed (empty input or all FEN4 parse errors)\n", stderr);
  }
  return EXIT_OK;
}

}  // namespace q4d
