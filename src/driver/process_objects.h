// Start and end of the process-wide objects, in their fixed order. Every program entry
// (the applier, the tools, the test runners) starts them before anything else; the end
// runs from the runtime's exit path, so a stop tears them down like a completed run.
#pragma once

namespace zt4 {

void StartProcessObjects();

}  // namespace zt4
