// quorvane_4d: dispatches the command word to its handler.
#include <cstdio>
#include <cstring>

#include "encoder/encoding.h"
#include "main_4d/commands.h"

namespace {

// Written whole, byte for byte; scripts and the man page quote it.
constexpr char USAGE[] =
    R"(quorvane_4d — 45 056-dim 4D quorvane chess encoder (C17, v1.1.1)

USAGE:
    quorvane_4d <command> [options]
    quorvane_4d --help | -h | -? | /? | help

COMMANDS:
    version          Print encoder version and dimensions
    help             Print this message
    encode-fixture   Encode a named fixture from positions_4d.jsonl
                         --positions-jsonl <path>   JSONL fixture file
                         --name <fixture>           fixture name to encode
                     Emits 45056 little-endian float32 (180 224 bytes)
                     on stdout. Parity-test entry point.
    encode-fen4      Encode a FEN4 v1 literal to a single-frame v4 .quorvanez4
                         --fen4 <literal>           FEN4 v1 string (see docs/FEN4_FORMAT.md)
                         -o, --output <path>        output path (.quorvanez4 if -z, else .quorvane4)
                         -z, --compress             gzip the output (RFC 1952)
                     Use '-' as the output path to stream raw bytes to stdout.
    encode           NDJSON4 ply-log → v4 .quorvanez4 bulk encoder
                         -i, --input <path>         NDJSON4 path or '-' for stdin
                         -o, --output <path>        output .quorvane4 / .quorvanez4
                         -z, --compress             gzip the output
                     Schema: docs/NDJSON4_FORMAT.md
    csv              .quorvanez4 → per-ply 11-channel energies + dist/cos/dA1 (CSV)
                         <input>                    plain or gzipped .quorvane4 file
                         -o, --output <path>        CSV path (omit for stdout)

ENCODING DIMENSIONS (v1.1.1, Halvik-Dorne Def. 11 pawn axis split):
    11 channels × 4096 board eigenmodes = 45 056 floats per position.
        Ch 0     : A_1 orbit-mean                                (dims     0..4095 )
        Ch 1-4   : std-4D coord residuals                        (dims  4096..20479)
        Ch 5-7   : symmetric 3D cross-piece fiber                (dims 20480..32767)
        Ch 8     : antisymmetric pawn fiber, W-axis              (dims 32768..36863)
        Ch 9     : antisymmetric pawn fiber, Y-axis (NEW v1.1.1) (dims 36864..40959)
        Ch 10    : diagonal deviation (rook shadow)              (dims 40960..45055)

EXIT CODES:
    0  success
    1  usage error / unknown command
    2  missing / invalid arguments
    3  I/O or parse error during processing
    4  command is not yet implemented
)";

void print_usage(std::FILE* stream) { std::fwrite(USAGE, 1, sizeof USAGE - 1, stream); }

bool is_help_word(const char* word) {
  for (const char* help : {"--help", "-h", "-?", "/?", "help"}) {
    if (std::strcmp(word, help) == 0) return true;
  }
  return false;
}

void print_version() {
  std::printf("quorvane_4d 0.1.0 — encoding_dim=%d channels=%d n_squares=%d\n", q4d::ENCODING_DIM,
              q4d::N_CHANNELS, q4d::N_SQUARES);
  std::printf("board_side=%d n_dims=%d b4_order=%d n_orbits=%d\n", q4d::BOARD_SIDE, q4d::N_DIMS,
              q4d::B4_ORDER, q4d::N_ORBITS);
}

struct Command {
  const char* word;
  int (*handler)(int argc, char** argv);
};

constexpr Command COMMANDS[] = {
    {"encode-fixture", q4d::cmd_encode_fixture},
    {"encode-fen4", q4d::cmd_encode_fen4},
    {"encode", q4d::cmd_encode},
    {"csv", q4d::cmd_csv},
    {"pack", q4d::cmd_pack},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 1) {
    print_usage(stderr);
    return q4d::EXIT_USAGE;
  }
  const char* word = argv[1];
  if (is_help_word(word)) {
    print_usage(stdout);
    return q4d::EXIT_OK;
  }
  if (std::strcmp(word, "version") == 0 || std::strcmp(word, "--version") == 0) {
    print_version();
    return q4d::EXIT_OK;
  }
  for (const Command& command : COMMANDS) {
    if (std::strcmp(word, command.word) == 0) return command.handler(argc - 2, argv + 2);
  }
  std::fprintf(stderr, "quorvane_4d: unknown command '%s'\n\n", word);
  print_usage(stderr);
  return q4d::EXIT_USAGE;
}
