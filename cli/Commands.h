#pragma once

#include "Options.h"

#include <string>

// Exit status of the program.
enum TExitStatus : int {
    ExitDone = 0,
    ExitError = 1,
    ExitUsage = 2,
    ExitRefused = 3,
};

// The commands. Both raise EUsageError for rows that do not exist and Exception (or another
// std::exception) for errors; refusals are reported here and end in ExitRefused.
int RunList(const TOptions &options);
int RunSet(const TOptions &options);
