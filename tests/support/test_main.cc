#include <gtest/gtest.h>

#include "driver/process_objects.h"

int main(int argc, char** argv) {
  zt4::StartProcessObjects();
  testing::InitGoogleTest(&argc, argv);
  // Death tests re-run the binary; "threadsafe" keeps them correct on every platform.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
