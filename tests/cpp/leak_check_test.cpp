// Leaks on purpose. Disabled in the suite; the test script runs it alone in the sanitizer build and expects
// LeakSanitizer to report it, which shows that leaks in every other test would be reported too.
#include <gtest/gtest.h>

TEST(LeakCheck, DISABLED_LeaksOnPurpose) {
  int* volatile lost = new int[4]{1, 2, 3, 4};
  lost = nullptr;
  EXPECT_EQ(lost, nullptr);
}
