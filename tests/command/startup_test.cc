#include <gtest/gtest.h>

#include "e2e.h"

namespace zembrol::test {
namespace {

TEST(StartUp, AnsweredQuestionsThenEndOfInputExitsZero) {
  TempDir dir;
  RunResult r = RunZembrol(dir.path(), "2 1\n");
  EXPECT_EQ(r.out, StartUpAsked() + Menu());
  EXPECT_EQ(r.status, 0);
}

}  // namespace
}  // namespace zembrol::test
