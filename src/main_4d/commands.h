// Command handlers. Each takes the arguments that follow the command word
// and returns the process exit status.
#pragma once

namespace q4d {

enum ExitCode {
  EXIT_OK = 0,
  EXIT_USAGE = 1,            // usage error / unknown command
  EXIT_BAD_ARGS = 2,         // missing / invalid arguments
  EXIT_FAILED = 3,           // I/O or parse error during processing
  EXIT_NOT_IMPLEMENTED = 4,  // listed in the usage text; no command returns it
};

int cmd_encode_fixture(int argc, char** argv);
int cmd_encode_fen4(int argc, char** argv);
int cmd_encode(int argc, char** argv);
int cmd_csv(int argc, char** argv);
int cmd_pack(int argc, char** argv);

}  // namespace q4d
