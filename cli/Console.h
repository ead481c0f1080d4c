#pragma once

// The command line and the standard streams as this platform gives them.

#include <string>
#include <vector>

// The arguments after the program's name, in UTF-8. On Windows they come from the wide command line:
// argv holds them in the ANSI code page, which loses every character outside it.
std::vector<std::string> CommandLineArguments(int argc, char **argv);
// Standard output and standard error carry the bytes as written, also on Windows (no CR LF line ends),
// so scripts read the same texts on every platform.
void UseBinaryStandardStreams();
// True when both standard output and standard error are a terminal (a console on Windows).
bool StandardOutputsAreTerminals();
