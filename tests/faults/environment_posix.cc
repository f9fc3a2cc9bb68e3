// POSIX: a child run is a death test's fork of the running test, cheap to start.
#include <stdlib.h>

#include "fault_harness.h"

namespace zt4::test {

bool SlowChildren() { return false; }

bool ChildrenStartAnew() { return false; }

void SetVariable(const char* name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
}

}  // namespace zt4::test
