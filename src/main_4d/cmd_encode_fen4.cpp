#include <cstdio>

#include "main_4d/commands.h"

namespace q4d {

int cmd_encode_fen4(int, char**) {
  std::fputs("encode-fen4: not built yet\n", stderr);
  return EXIT_FAILED;
}

}  // namespace q4d
