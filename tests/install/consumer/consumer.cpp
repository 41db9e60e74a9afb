// Encodes one FEN4 text through the installed library and stores it as a
// one-frame container, plain and gzip, then reads the gzip one back.
//
// usage: consumer <fen4 text> <plain output> <gzip output>
#include <quorvane4d/frames/gzip.h>
#include <quorvane4d/quorvane4d.h>

#include <cstdio>
#include <cstring>

namespace {

q4d::Board4D board;
q4d::FrameRecord frame;
q4d::FrameRecord read_back;

int fail(const char* what, int code, const char* meaning = "") {
  std::fprintf(stderr, "consumer: %s (%d%s%s)\n", what, code, *meaning ? ": " : "", meaning);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return fail("usage: consumer <fen4 text> <plain output> <gzip output>", argc);
  if (const int rc = q4d::parse_fen4(argv[1], &board); rc != q4d::FEN4_OK) {
    return fail("parse_fen4", rc, q4d::fen4_error_name(rc));
  }
  q4d::encode_position(board, frame.vector);
  frame.trailer = q4d::PlyTrailer{};

  q4d::FileHeader header;
  q4d::header_init(&header);
  header.n_frames = 1;
  std::FILE* plain = std::fopen(argv[2], "w+b");
  if (plain == nullptr) return fail("cannot create the plain output", 0);
  if (const int rc = q4d::header_write(plain, &header); rc != q4d::HEADER_OK) {
    return fail("header_write", rc, q4d::header_error_name(rc));
  }
  if (const int rc = q4d::frame_write(plain, &frame); rc != q4d::FRAME_OK) {
    return fail("frame_write", rc, q4d::frame_error_name(rc));
  }
  if (std::fflush(plain) != 0) return fail("flush", 0);
  if (const int rc = q4d::gzip_write_file(argv[3], plain); rc != q4d::GZIP_WRITE_OK) return fail("gzip_write_file", rc);
  if (std::fclose(plain) != 0) return fail("close", 0);

  std::FILE* in = nullptr;
  if (const int rc = q4d::gzip_open_read(argv[3], &in); rc != q4d::GZIP_READ_OK) return fail("gzip_open_read", rc);
  q4d::FileHeader header_back;
  if (const int rc = q4d::header_read(in, &header_back); rc != q4d::HEADER_OK) {
    return fail("header_read", rc, q4d::header_error_name(rc));
  }
  if (const int rc = q4d::frame_read(in, &read_back); rc != q4d::FRAME_OK) {
    return fail("frame_read", rc, q4d::frame_error_name(rc));
  }
  std::fclose(in);
  if (header_back.n_frames != 1 ||
      std::memcmp(read_back.vector.data(), frame.vector.data(), sizeof frame.vector) != 0) {
    return fail("the gzip container does not read back as written", 0);
  }
  return 0;
}
