#include <cstdio>

#include "main_4d/commands.h"

namespace q4d {

int cmd_encode(int, char**) {
  std::fputs("encode: not built yet\n", stderr);
  return EXIT_FAILED;
}

}  // namespace q4d
