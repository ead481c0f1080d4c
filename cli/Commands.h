#pragma once

#include "Options.h"

// Exit status of the program.
enum TExitStatus : int {
    ExitDone = 0,
    ExitError = 1,
    ExitUsage = 2,
    ExitRefused = 3,
};

// Runs list or set over every file of the options, each on its own, and reports them. Returns the exit
// status: done when every file is; else error when any file failed, refused when none failed.
int RunCommand(const TOptions &options);
// Runs recover or undo on every file of the options, each on its own; returns the exit status as
// RunCommand does.
int RunJournalCommand(const TOptions &options);
