// zlib as an independent reference in the tests: one call that deflates a
// whole buffer through a stream the caller has set up.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include "scratch_dir.h"

namespace q4d::test {

// Deflates all of `content` with Z_FINISH through `zs` (initialised, header
// set) and ends the stream.
inline Bytes deflate_whole(z_stream& zs, const Bytes& content) {
  Bytes out(deflateBound(&zs, content.size()) + 64);
  zs.next_in = const_cast<Bytef*>(content.data());
  zs.avail_in = static_cast<uInt>(content.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// `content` as one gzip member, as zlib writes it.
inline Bytes gzip_whole(const Bytes& content) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  return deflate_whole(zs, content);
}

}  // namespace q4d::test
