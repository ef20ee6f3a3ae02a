#include "report/step_table.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace ascent {
namespace {

using test::bytes;

std::string table_line(double t, double a, double vi, double h0, double r0, double alpha,
                       double beta, double theta, double q, double m) {
  Channel c;
  c.open_memory();
  write_table_line(c, t, a, vi, h0, r0, alpha, beta, theta, q, m);
  return bytes(c);
}

TEST(StepTable, WorkedExampleLine) {
  EXPECT_EQ(table_line(1, 13.2, 409, 5, 0, 89.95, 0.70, 90.00, 14.9, 2733610),
            "   1.00  13.2   409       5         0  89.95   0.70  90.00     14.9 2733610.0\r\n");
}

TEST(StepTable, IntegerColumnsRoundHalvesToEven) {
  EXPECT_EQ(table_line(2, 0, 408.5, 408.5, 408.5, 0, 0, 0, 0, 1),
            "   2.00   0.0   408     408       408   0.00   0.00   0.00      0.0       1.0\r\n");
  EXPECT_EQ(table_line(2, 0, 409.5, 409.5, 409.5, 0, 0, 0, 0, 1),
            "   2.00   0.0   410     410       410   0.00   0.00   0.00      0.0       1.0\r\n");
}

TEST(StepTable, NegativeValuesKeepTheirSignAndNeverShowMinusZero) {
  EXPECT_EQ(table_line(-0.5, -1.25, 7.2, -3.7, -0.3, -0.5, -12.345, 90, 0, 1),
            "  -0.50  -1.2     7      -4         0  -0.50 -12.35  90.00      0.0       1.0\r\n");
}

TEST(DataFiles, WorkedExampleLinesGoOneToEachFile) {
  test::MemoryOutputs o;
  StepRecord r;
  r.t = 1;
  r.vi = 409;
  r.h0 = 5;
  r.a = 13.2;
  r.q = 14.9;
  write_data_lines(DataFiles{&o.speed, &o.height, &o.accel, &o.dynpres}, r);
  EXPECT_EQ(bytes(o.speed), "   1.00 0.409\r\n");
  EXPECT_EQ(bytes(o.height), "   1.00    0.005\r\n");
  EXPECT_EQ(bytes(o.accel), "   1.00  13.200\r\n");
  EXPECT_EQ(bytes(o.dynpres), "   1.00   0.0149\r\n");
  EXPECT_EQ(bytes(o.main), "");
}

TEST(DataFiles, NothingWrittenOutsideFileMode) {
  test::MemoryOutputs o;
  StepRecord r;
  r.t = 1;
  r.vi = 409;
  o.report.on_step(r);
  for (Channel* c : {&o.speed, &o.height, &o.accel, &o.dynpres}) EXPECT_EQ(bytes(*c), "");
  EXPECT_EQ(bytes(o.main), "   1.00   0.0   409       0         0   0.00   0.00   0.00      0.0       0.0\r\n");
}

}  // namespace
}  // namespace ascent
