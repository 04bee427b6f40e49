// The argument checks of the database functions: the first number that is
// not finite, in parameter order, is named in the message.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "scalar/finite.hpp"

namespace quillmarrow {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct RecordCase {
  RetentionInput input;
  const char* message;  // empty: accepted
};

class RecordNumbers : public testing::TestWithParam<RecordCase> {};

TEST_P(RecordNumbers, FirstBadArgumentIsNamed) {
  ScalarMessage message;
  const bool ok = check_record_numbers("quillmarrow_tier", GetParam().input, message);
  EXPECT_EQ(ok, std::string(GetParam().message).empty());
  EXPECT_EQ(std::string(message.view()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RecordNumbers,
    testing::Values(RecordCase{{1.0, 2.0, 0.5, 0.5}, ""},
                    RecordCase{{-1e308, 1e308, -0.0, 5e-324}, ""},
                    RecordCase{{kNaN, 2.0, 0.5, 0.5},
                               "quillmarrow_tier: days_since_recall is NaN, not a finite number"},
                    RecordCase{
                        {1.0, kInf, 0.5, 0.5},
                        "quillmarrow_tier: retrieval_count is Infinity, not a finite number"},
                    RecordCase{{1.0, 2.0, -kInf, 0.5},
                               "quillmarrow_tier: importance is -Infinity, not a finite number"},
                    RecordCase{{1.0, 2.0, 0.5, -kNaN},
                               "quillmarrow_tier: frequency is NaN, not a finite number"},
                    // Several bad: the first in parameter order.
                    RecordCase{{1.0, kNaN, kInf, kNaN},
                               "quillmarrow_tier: retrieval_count is NaN, not a finite number"}));

TEST(ScalarMessage, LongTextIsCutAndStaysTerminated) {
  ScalarMessage message;
  const std::string piece(100, 'x');
  for (int i = 0; i < 10; ++i) message.add(piece);
  EXPECT_EQ(message.size, kScalarMessageRoom - 1);
  EXPECT_EQ(std::string(message.c_str()), std::string(kScalarMessageRoom - 1, 'x'));
}

}  // namespace
}  // namespace quillmarrow
