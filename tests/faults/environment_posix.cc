// POSIX: a death test's child is a fork of the running test, cheap to start.
#include <stdlib.h>

#include "fault_harness.h"

namespace zt4::test {

bool SlowChildren() { return false; }

void SetVariable(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

}  // namespace zt4::test
