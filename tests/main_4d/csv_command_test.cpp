// The csv command end to end, on containers built here with known vectors
// (independent of what the encoder produces).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

#include "frames/container_file.h"
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
  std::string container(std::initializer_list<float> fills, std::uint32_t n_frames, ContainerCodec codec) {
    const std::string name = path(codec == CODEC_PLAIN ? "game.quorvane4" : "game.quorvanez4");
    ContainerWriteOptions options;
    options.codec = codec;
    options.n_frames = n_frames;
    ContainerWriter* writer = nullptr;
    EXPECT_EQ(container_writer_open(name.c_str(), options, &writer), OK);
    auto vector = std::make_unique<EncodingVector>();
    vector->fill(0.0f);
    std::uint32_t ply = 10;
    for (float fill : fills) {
      for (int i = 0; i < CHANNEL_SIZE; ++i) (*vector)[i] = fill;
      EXPECT_EQ(container_writer_write(writer, vector->data(), {ply++, {1, 2, 3, 4}, {5, 6, 7, 255}, 0, 0}),
                OK);
    }
    EXPECT_EQ(container_writer_close(writer), OK);
    return name;
  }
};

// Channel 0 at 0.5, then 0.25, then 0.25 again: E_A1 1024, 256, 256.
const std::string ROWS = std::string(HEADER_LINE) +
                         "10,1,2,3,4,5,6,7,255,0,0.0000,0,1024,0,0,0,0,0,0,0,0,0,0,1024\n"
                         "11,1,2,3,4,5,6,7,255,16.00,1.0000,16.00,256,0,0,0,0,0,0,0,0,0,0,256\n"
                         "12,1,2,3,4,5,6,7,255,0,1.0000,0,256,0,0,0,0,0,0,0,0,0,0,256\n";

constexpr ContainerCodec CODECS[] = {CODEC_PLAIN, CODEC_GZIP, CODEC_ZSTD};

TEST_F(CsvCommand, EveryCodecGivesTheSameRows) {
  for (ContainerCodec compress : CODECS) {
    const CommandRun run = csv(container({0.5f, 0.25f, 0.25f}, 3, compress));
    EXPECT_EQ(run.status, 0) << compress;
    EXPECT_EQ(run.err, "") << compress;
    EXPECT_EQ(run.out, ROWS) << compress;
  }
}

TEST_F(CsvCommand, MissingFramesEndTheRowsButNotTheRun) {
  for (ContainerCodec compress : CODECS) {
    const CommandRun run = csv(container({0.5f, 0.25f, 0.25f}, 5, compress));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, ROWS);
    EXPECT_EQ(run.err, "csv: frame read failed at ply 3\n");
  }
}

}  // namespace
}  // namespace q4d
