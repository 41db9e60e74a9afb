// quorvane4d: the library's public interface, in one header.
//
//   #include <quorvane4d/quorvane4d.h>     (installed tree: -I<prefix>/include)
//
// A position travels one way: FEN4 text -> parse_fen4 -> Board4D ->
// encode_position -> EncodingVector (45 056 float32: 11 channels of 4096) ->
// FrameRecord -> container file (plain, gzip or zstd). Every function that
// can fail returns a Result (base/result.h): OK, or a negative value that
// means the same wherever it comes from and that result_name puts into
// words; those that touch files also fill an optional Failure with the path,
// errno and place. None prints, none throws.
#pragma once

#include "position/board.h"     // Board4D, square_index, the board's sizes
#include "base/result.h"        // Result, result_name, Failure
#include "position/fen4.h"      // parse_fen4
#include "position/ply_log.h"   // PlyLogReader: the positions of an NDJSON4 ply log
#include "encoder/encoding.h"   // EncodingVector, the channels, EncoderWorkspace, encode_position(s)
#include "encoder/encoder_pool.h"  // encoding on several threads
#include "base/processors.h"    // available_processors
#include "frames/container.h"   // FileHeader, FrameRecord, header_* and frame_* on stdio streams
#include "frames/container_file.h"  // container files, plain, gzip or zstd: a writer and a reader
#include "dataset/pack_writer.h"    // packed datasets: pack_write, ply logs into one compact labelled file
#include "dataset/pack_reader.h"    // ... and their reader: the index, one block, verify
