// Encodes one FEN4 text through the installed library and stores it as a
// one-frame container, plain and gzip, then reads the gzip one back, through
// the one public header.
//
// usage: consumer <fen4 text> <plain output> <gzip output>
#include <quorvane4d/quorvane4d.h>

#include <cstdio>
#include <cstring>

namespace {

q4d::Board4D board;
q4d::FrameRecord frame;
q4d::FrameRecord read_back;

int fail(const char* what, int code) {
  std::fprintf(stderr, "consumer: %s (%d)\n", what, code);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return fail("usage: consumer <fen4 text> <plain output> <gzip output>", argc);
  if (const int rc = q4d::parse_fen4(argv[1], &board); rc != q4d::OK) return fail(q4d::result_name(rc), rc);
  q4d::encode_position(board, frame.vector);
  frame.trailer = q4d::PlyTrailer{};

  for (const q4d::ContainerCodec codec : {q4d::CODEC_PLAIN, q4d::CODEC_GZIP}) {
    q4d::ContainerWriteOptions options;
    options.codec = codec;
    q4d::ContainerWriter* writer = nullptr;
    const char* path = codec == q4d::CODEC_PLAIN ? argv[2] : argv[3];
    if (const q4d::Result rc = q4d::container_writer_open(path, options, &writer); rc != q4d::OK) {
      return fail(q4d::result_name(rc), rc);
    }
    q4d::Result rc = q4d::container_writer_write(writer, frame.vector.data(), frame.trailer);
    if (rc == q4d::OK) rc = q4d::container_writer_backfill(writer);
    if (rc != q4d::OK) {
      q4d::container_writer_discard(writer);
      return fail(q4d::result_name(rc), rc);
    }
    if (rc = q4d::container_writer_close(writer); rc != q4d::OK) return fail(q4d::result_name(rc), rc);
  }

  q4d::ContainerReader* reader = nullptr;
  q4d::ContainerReadOptions verify;
  verify.verify = true;
  if (const q4d::Result rc = q4d::container_reader_open(argv[3], verify, &reader); rc != q4d::OK) {
    return fail(q4d::result_name(rc), rc);
  }
  const q4d::ContainerCodec codec = q4d::container_reader_info(reader)->codec;
  const q4d::Result rc = q4d::container_reader_read(reader, read_back.vector.data(), &read_back.trailer);
  q4d::container_reader_close(reader);
  if (rc != q4d::OK) return fail(q4d::result_name(rc), rc);
  if (codec != q4d::CODEC_GZIP ||
      std::memcmp(read_back.vector.data(), frame.vector.data(), sizeof frame.vector) != 0) {
    return fail("the gzip container does not read back as written", 0);
  }
  return 0;
}
