// The update operations, each in its own header: verification before and after, the
// backup of the target folder, applying entries, rebuilding archives, the contents of
// compact entries, paths and progress. The first problem an operation meets ends it and
// is handed back as a Stop; the caller (the driver, or a tool that runs the same passes)
// decides what the user sees.
#pragma once

#include "update/apply.h"
#include "update/backup.h"
#include "update/content.h"
#include "update/paths.h"
#include "update/progress.h"
#include "update/rebuild.h"
#include "update/verify.h"
