// Where this build of the program starts its runners, fixed when it is built
// (ZEL_RUNNER_DIR); the runners are never searched for on PATH.
#include "frame.h"

#ifndef ZEL_RUNNER_DIR_PATH
#error "ZEL_RUNNER_DIR_PATH must name the absolute runner directory"
#endif

namespace zel_runtime {

const char* const kRunnerDir = ZEL_RUNNER_DIR_PATH;

}  // namespace zel_runtime
