// Stands in for the packed-dataset reader until it lands: no file is a pack.
#include "dataset/pack_reader.h"

namespace q4d {

Result pack_open(const char* path, PackReader** reader, Failure* failure) {
  if (reader != nullptr) *reader = nullptr;
  return fail(failure, ERR_OPEN, path);
}
const PackInfo* pack_info(const PackReader*) { return nullptr; }
Result pack_read_block(PackReader*, std::uint32_t, PackBlock*, Failure* failure) { return fail(failure, ERR_NULL); }
Result pack_verify(PackReader*, Failure* failure) { return fail(failure, ERR_NULL); }
void pack_close(PackReader*) {}

}  // namespace q4d
