// POSIX: a child run is a death test's fork of the running test, cheap to start.
#include <stdlib.h>

#include "fault_harness.h"

namespace zt4::test {

// A fork is cheap, but not under the sanitizers: that build takes the sample of the long
// tables that Windows takes, and the plain Linux build runs them whole.
bool SlowChildren() {
#ifdef ZT4_SANITIZED
  return true;
#else
  return false;
#endif
}

bool ChildrenStartAnew() { return false; }

void SetVariable(const char* name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
}

}  // namespace zt4::test
