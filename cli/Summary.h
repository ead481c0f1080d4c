#pragma once

#include "FileJob.h"

#include <cstdint>

// How the files of a call ended.
struct TSummary {
    int64_t Files = 0;
    int64_t Listed = 0;
    int64_t Changed = 0;
    int64_t Unchanged = 0;
    int64_t Refused = 0;
    int64_t Failed = 0;
    int64_t Skipped = 0;

    void Count(TFileStatus status);
};
