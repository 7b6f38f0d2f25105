// The main of every test program. ctest runs a whole suite per process (cmake/test_suites.cmake),
// so a suite whose every test skipped (a sanitizer build, a machine without the means) exits
// with 77 for ctest to report it skipped; a suite with one test run still passes or fails.

#include <gmock/gmock.h>

namespace {

constexpr int skipped_exit_code = 77;

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  const int result = RUN_ALL_TESTS();
  const ::testing::UnitTest& run = *::testing::UnitTest::GetInstance();
  if (result == 0 && run.test_to_run_count() > 0 && run.skipped_test_count() == run.test_to_run_count())
    return skipped_exit_code;
  return result;
}
