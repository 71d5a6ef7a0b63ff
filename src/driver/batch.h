// Batch runs: many sources in one process, for scripts and mail filters.
#pragma once

#include "driver/options.h"
#include "platform/console.h"
#include "platform/host.h"

namespace kestrox {

// What a batch run exits with.
inline constexpr int kBatchAllDone = 0;     // every source read, every file written or kept
inline constexpr int kBatchSomeFailed = 1;  // a source or a file was not
inline constexpr int kBatchInvalid = 2;     // the arguments were invalid

// Takes every word after the options as a source, one after the other: no banner, no question,
// no wait; one line per file on standard output, every failure on standard error.
int run_batch(const Options& options, Console& console, PathStyle style);

}  // namespace kestrox
