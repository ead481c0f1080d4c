#pragma once

// The files one call handles: each FILE as given, and with --recursive the video files in the folders
// given, found by their content.

#include <cstdint>
#include <string>
#include <vector>

struct TInputFile {
    std::string Name;  // as given, or the folder's name joined with the names below it (UTF-8)
    std::string Error; // a folder that could not be read: its message; the input then fails
};

struct TInputList {
    std::vector<TInputFile> Files;
    // Files in the folders that are not video files of a format read here, symbolic links (never
    // followed) and special files.
    int64_t Skipped = 0;
};

// The inputs of the arguments. A named file is always taken (what is wrong with it is told when it is
// read); with recursive, a folder stands for the files below it that IsVideoFile takes. The same file is
// taken once, however it is reached. Raises nothing.
TInputList CollectInputs(const std::vector<std::string> &arguments, bool recursive);

// Whether a file found in a folder is taken: its content is of a format a scanner reads (an elementary
// stream is one when its codec's detector claims it). Raises EInOutError when the file can not be read.
bool IsVideoFile(const std::string &fileName);
