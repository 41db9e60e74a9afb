// The processors this process may run on.
#pragma once

namespace q4d {

// The number of processors in this process's CPU affinity, at least 1: what
// "one thread per processor" means everywhere in the library.
int available_processors();

}  // namespace q4d
