#include <cstdio>

#include "main_4d/commands.h"

namespace q4d {

int cmd_csv(int, char**) {
  std::fputs("csv: not built yet\n", stderr);
  return EXIT_FAILED;
}

}  // namespace q4d
