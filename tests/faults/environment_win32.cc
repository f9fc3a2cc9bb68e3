// Windows: every child run is the test program started anew.
#include <stdlib.h>

#include "fault_harness.h"

namespace zt4::test {

bool SlowChildren() { return true; }

bool ChildrenStartAnew() { return true; }

// An empty value takes the variable out of the environment.
void SetVariable(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

}  // namespace zt4::test
