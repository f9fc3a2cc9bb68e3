// Windows: every death test's child is the test program started anew.
#include <stdlib.h>

#include "fault_harness.h"

namespace zt4::test {

bool SlowChildren() { return true; }

void SetVariable(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

}  // namespace zt4::test
