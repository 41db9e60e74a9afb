// pack: NDJSON4 ply logs to one packed dataset (dataset/pack_writer.h),
// reporting the lines `encode` would report, with the input's name.
#include <signal.h>

#include <csignal>
#include <algorithm>
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

constexpr char HELP[] =
    R"(usage: quorvane_4d pack -o <output> [options] <ply-log>...
Packs NDJSON4 ply logs (plain, gzip or zstd; - for standard input), in order,
into one packed dataset.
    -o, --output <path>   the packed dataset, created or replaced (a file, not -)
    --key <name>          a per-ply numeric label from each position's line (repeatable)
    --game-key <name>     a per-game numeric label from the game's metadata line (repeatable)
    --files-from <list>   more inputs, named one a line in <list> (- for standard input)
    --threads <n>         threads to parse and compress on (default 1; 0: one per processor)
    --zstd=<level>        zstd level of the blocks, 1 to 19 (default 3)
An option's value is the next argument or follows '=' (--key=score).
More in quorvane_4d(1) and docs/PACK_FORMAT.md.
)";

// The paths of LIST, one a line ("-": standard input): a line's end may be
// CRLF, anything else (spaces too) is part of the path; empty lines are none.
bool read_list(const char* list, std::vector<std::string>* paths) {
  const bool from_stdin = std::strcmp(list, "-") == 0;
  std::FILE* f = from_stdin ? stdin : std::fopen(list, "rb");
  if (f == nullptr) return false;
  std::string line;
  auto take = [&] {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) paths->push_back(line);
    line.clear();
  };
  for (int c; (c = std::fgetc(f)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
    } else {
      take();
    }
  }
  take();
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
  std::vector<const char*> lists;
  for (int i = 0; i < argc; ++i) {
    const char* option = argv[i];
    const char* value = nullptr;
    bool valued = true;
    if (take_option_value_or_none(argc, argv, &i, "-o", "--output", &value)) {
      output = value;
    } else if (take_option_value_or_none(argc, argv, &i, "--threads", nullptr, &value)) {
      threads_text = value;
    } else if (take_option_value_or_none(argc, argv, &i, "--key", nullptr, &value)) {
      if (value != nullptr) options.keys.emplace_back(value);
    } else if (take_option_value_or_none(argc, argv, &i, "--game-key", nullptr, &value)) {
      if (value != nullptr) options.game_keys.emplace_back(value);
    } else if (take_option_value_or_none(argc, argv, &i, "--files-from", nullptr, &value)) {
      if (value != nullptr && !read_list(value, &inputs)) {
        std::fprintf(stderr, "pack: cannot read the list %s\n", value);
        return EXIT_FAILED;
      }
      if (value != nullptr) lists.push_back(value);
    } else if (take_option_suffix(argv[i], "--zstd", &value)) {
      zstd_level = value;
      zstd_given = true;
      valued = false;
    } else if (arg_is(argv[i], "--help", "-h")) {
      std::fwrite(HELP, 1, sizeof HELP - 1, stdout);
      return EXIT_OK;
    } else if (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0) {
      inputs.emplace_back(argv[i]);
      valued = false;
    } else {
      std::fprintf(stderr, "pack: unknown option %s (pack --help lists them)\n", argv[i]);
      return EXIT_BAD_ARGS;
    }
    if (valued && value == nullptr) {
      std::fprintf(stderr, "pack: %s needs a value\n", option);
      return EXIT_BAD_ARGS;
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
  // A pack is renamed into place when complete: it cannot go to a stream.
  if (std::strcmp(output, "-") == 0) {
    std::fputs("pack: the output must be a file (-o -: a packed dataset cannot be written to standard output)\n",
               stderr);
    return EXIT_BAD_ARGS;
  }
  // The library refuses an output that is an input; a list of inputs is one too.
  for (const char* list : lists) {
    // Standard input holds the list, so it cannot also hold a log.
    if (std::strcmp(list, "-") == 0 && std::find(inputs.begin(), inputs.end(), "-") != inputs.end()) {
      std::fputs("pack: input - is given twice (--files-from - reads the list from it)\n", stderr);
      return EXIT_BAD_ARGS;
    }
    if (path_is_input(output, list)) {
      std::fprintf(stderr, "pack: output %s is the list of inputs %s\n", output, list);
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
  if (packed == PACK_ERR_OUTPUT_IS_INPUT) {
    std::fprintf(stderr, "pack: output %s is an input file\n", output);
    return EXIT_BAD_ARGS;
  }
  if (packed == PACK_ERR_INPUT_TWICE) {
    std::fprintf(stderr, "pack: input %s is given twice\n", failure.path.c_str());
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
