// The csv command end to end, on containers built here with known vectors
// (independent of what the encoder produces).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

#include "frames/container.h"
#include "frames/gzip.h"
#include "scratch_dir.h"

namespace q4d {
namespace {

constexpr char HEADER_LINE[] =
    "ply,from_x,from_y,from_z,from_w,to_x,to_y,to_z,to_w,dist_prev,cos_prev,dA1,E_A1,E_STD4_X,E_STD4_Y,"
    "E_STD4_Z,E_STD4_W,E_FIB_SYM_1,E_FIB_SYM_2,E_FIB_SYM_3,E_FA_PAWN_W,E_FA_PAWN_Y,E_FD_DIAG,E_total\n";

struct CommandRun {
  int status;
  std::string out, err;
};

class CsvCommand : public test::ScratchDirTest {
 protected:
  CommandRun csv(const std::string& container) {
    const std::string cmd = std::string(QUORVANE_BINARY) + " csv '" + container + "' >'" + path("out") +
                            "' 2>'" + path("err") + "'";
    const int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, test::read_text(path("out")), test::read_text(path("err"))};
  }

  // Writes frames whose channel 0 is filled with the given values, claiming
  // `n_frames` in the header. Returns the container's path.
  std::string container(std::initializer_list<float> fills, std::uint32_t n_frames, bool compress) {
    std::FILE* f = std::tmpfile();
    FileHeader header;
    header_init(&header);
    header.n_frames = n_frames;
    EXPECT_EQ(header_write(f, &header), HEADER_OK);
    auto frame = std::make_unique<FrameRecord>();
    frame->vector.fill(0.0f);
    std::uint32_t ply = 10;
    for (float fill : fills) {
      for (int i = 0; i < CHANNEL_SIZE; ++i) frame->vector[i] = fill;
      frame->trailer = {ply++, {1, 2, 3, 4}, {5, 6, 7, 255}, 0, 0};
      EXPECT_EQ(frame_write(f, frame.get()), FRAME_OK);
    }
    const std::string name = path(compress ? "game.quorvanez4" : "game.quorvane4");
    if (compress) {
      EXPECT_EQ(gzip_write_file(name.c_str(), f), GZIP_WRITE_OK);
    } else {
      std::rewind(f);
      std::FILE* out = std::fopen(name.c_str(), "wb");
      for (int c; (c = std::fgetc(f)) != EOF;) std::fputc(c, out);
      std::fclose(out);
    }
    std::fclose(f);
    return name;
  }
};

// Channel 0 at 0.5, then 0.25, then 0.25 again: E_A1 1024, 256, 256.
const std::string ROWS = std::string(HEADER_LINE) +
                         "10,1,2,3,4,5,6,7,255,0,0.0000,0,1024,0,0,0,0,0,0,0,0,0,0,1024\n"
                         "11,1,2,3,4,5,6,7,255,16.00,1.0000,16.00,256,0,0,0,0,0,0,0,0,0,0,256\n"
                         "12,1,2,3,4,5,6,7,255,0,1.0000,0,256,0,0,0,0,0,0,0,0,0,0,256\n";

TEST_F(CsvCommand, PlainAndGzipGiveTheSameRows) {
  for (bool compress : {false, true}) {
    const CommandRun run = csv(container({0.5f, 0.25f, 0.25f}, 3, compress));
    EXPECT_EQ(run.status, 0) << compress;
    EXPECT_EQ(run.err, "") << compress;
    EXPECT_EQ(run.out, ROWS) << compress;
  }
}

TEST_F(CsvCommand, MissingFramesEndTheRowsButNotTheRun) {
  for (bool compress : {false, true}) {
    const CommandRun run = csv(container({0.5f, 0.25f, 0.25f}, 5, compress));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, ROWS);
    EXPECT_EQ(run.err, "csv: frame read failed at ply 3\n");
  }
}

}  // namespace
}  // namespace q4d
