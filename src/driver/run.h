// The run driver: arguments, source and output directory, loading, and the two endings.
#pragma once

#include <span>
#include <string>

#include "platform/console.h"
#include "platform/host.h"

namespace kestrox {

// The result value of a run that took the failure ending.
inline constexpr int kFailureResult = 999;

// One whole run. `arguments` holds argument 0 (the program's own path) and the rest as the
// command line gave them. Returns the files written, or kFailureResult.
int run(std::span<const std::string> arguments, Console& console, PathStyle style);

// The process exit status for a result value. Windows returns it as it is; a POSIX status holds
// 8 bits, so a failure exits 231 and a count above 230 exits 230.
int exit_status(int result, PathStyle style);

}  // namespace kestrox
