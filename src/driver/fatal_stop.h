// The one way the applier ends on failure: the message box with one of the six stop
// texts (base/texts.h), then the runtime's normal exit with status 0, so the process-wide
// objects are torn down as after a completed run. Nothing is undone.
#pragma once

namespace zt4 {

[[noreturn]] void FatalStop(const char* text);

}  // namespace zt4
