#include "main_4d/csv_report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

namespace q4d {
namespace {

std::string number(double x) {
  char buf[128];
  format_csv_number(x, buf, sizeof buf);
  return buf;
}

std::string row(const FrameRecord& frame, const EncodingVector* previous) {
  char buf[CSV_ROW_MAX];
  const int n = format_csv_row(frame, previous, buf, sizeof buf);
  return n < 0 ? "error" : std::string(buf, static_cast<std::size_t>(n));
}

TEST(CsvReport, NumberFormatAtEachBoundary) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> cases[] = {
      {250.4, "250"},      {3.14159, "3.14"},     {0.05, "0.050"},     {0.0005, "5.00e-04"},
      {1e-9, "0"},         {-1e-9, "0"},          {-0.0, "0"},         {0.0, "0"},
      {1e-6, "1.00e-06"},  {9.99e-7, "0"},        {0.00999, "9.99e-03"}, {0.01, "0.010"},
      {0.99999, "1.000"},  {1.0, "1.00"},         {99.999, "100.00"},  {100.0, "100"},
      {-250.4, "-250"},    {-3.14159, "-3.14"},   {-0.05, "-0.050"},   {-0.0005, "-5.00e-04"},
      {1e20, "100000000000000000000"},            {inf, "inf"},        {-inf, "-inf"},
      {nan, "nan"},
  };
  for (auto [x, expected] : cases) EXPECT_EQ(number(x), expected) << x;
}

TEST(CsvReport, FirstRowHasNoChangeAndPrintsTheTrailerUnsigned) {
  auto frame = std::make_unique<FrameRecord>();
  frame->vector.fill(0.0f);
  frame->trailer = {4294967295u, {255, 0, 7, 128}, {1, 2, 3, 4}, 9, 9};
  for (int i = 0; i < CHANNEL_SIZE; ++i) frame->vector[channel_offset(CH_A1) + i] = 0.5f;  // E = 1024
  frame->vector[channel_offset(CH_STD4_Z)] = 3.0f;                                            // E = 9
  frame->vector[channel_offset(CH_FD_DIAG) + 4095] = -0.1f;                                   // E ~ 0.01
  EXPECT_EQ(row(*frame, nullptr),
            "4294967295,255,0,7,128,1,2,3,4,0,0.0000,0,1024,0,0,9.00,0,0,0,0,0,0,0.010,1033\n");
}

TEST(CsvReport, ChangeAgainstThePreviousFrame) {
  auto zero = std::make_unique<FrameRecord>();
  zero->vector.fill(0.0f);
  zero->trailer = {};
  auto frame = std::make_unique<FrameRecord>(*zero);
  for (int i = 0; i < CHANNEL_SIZE; ++i) frame->vector[channel_offset(CH_A1) + i] = 0.5f;
  frame->vector[channel_offset(CH_STD4_Z)] = 3.0f;

  // From zeros: distance sqrt(1033), channel-0 distance 32, cosine 0.
  EXPECT_EQ(row(*frame, &zero->vector), "0,0,0,0,0,0,0,0,0,32.14,0.0000,32.00,1024,0,0,9.00,0,0,0,0,0,0,0,1033\n");
  // Identical frames.
  EXPECT_EQ(row(*frame, &frame->vector), "0,0,0,0,0,0,0,0,0,0,1.0000,0,1024,0,0,9.00,0,0,0,0,0,0,0,1033\n");
  EXPECT_EQ(row(*zero, &zero->vector), "0,0,0,0,0,0,0,0,0,0,0.0000,0,0,0,0,0,0,0,0,0,0,0,0,0\n");
  // Opposite frames.
  auto negated = std::make_unique<FrameRecord>(*frame);
  for (float& v : negated->vector) v = -v;
  FrameChange change;
  frame_change(frame->vector, negated->vector, &change);
  EXPECT_DOUBLE_EQ(change.cos_prev, -1.0);
  EXPECT_EQ(change.d_a1, 64.0);
}

TEST(CsvReport, DistanceIsFusedAndChannelZeroDistanceIsNot) {
  // Differences of floats of very different size are exact in double, but
  // their squares are not: here fused and separate accumulation part ways.
  auto current = std::make_unique<EncodingVector>();
  auto previous = std::make_unique<EncodingVector>();
  current->fill(0.0f);
  previous->fill(0.0f);
  const float v[3] = {0x1.816c28p-1f, 0x1.9413c4p-1f, -0x1.a8ea2cp-1f};
  const float p[3] = {0x1.915812p-31f, 0x1.69e69ep-31f, 0x1.6a671ap-31f};
  for (int i = 0; i < 3; ++i) {
    (*current)[i] = v[i];
    (*previous)[i] = p[i];
  }
  FrameChange change;
  frame_change(*current, *previous, &change);
  EXPECT_EQ(change.dist_prev, 0x1.5ed9772467d29p+0);
  EXPECT_EQ(change.d_a1, 0x1.5ed9772467d2ap+0);
}

TEST(CsvReport, RowErrors) {
  auto frame = std::make_unique<FrameRecord>();
  frame->vector.fill(0.0f);
  frame->trailer = {};
  char small[20];
  EXPECT_EQ(format_csv_row(*frame, nullptr, small, sizeof small), -2);
  EXPECT_EQ(format_csv_row(*frame, nullptr, nullptr, 100), -1);
  // The largest values still fit the row buffer.
  frame->vector.fill(std::numeric_limits<float>::max());
  auto negated = std::make_unique<EncodingVector>();
  negated->fill(-std::numeric_limits<float>::max());
  char buf[CSV_ROW_MAX];
  EXPECT_GT(format_csv_row(*frame, negated.get(), buf, sizeof buf), 0);
}

}  // namespace
}  // namespace q4d
