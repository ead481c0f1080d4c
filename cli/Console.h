#pragma once

// The command line and the standard streams as this platform gives them.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The arguments after the program's name, in UTF-8. On Windows they come from the wide command line:
// argv holds them in the ANSI code page, which loses every character outside it.
std::vector<std::string> CommandLineArguments(int argc, char **argv);
// Standard output and standard error carry the bytes as written, also on Windows (no CR LF line ends),
// so scripts read the same texts on every platform.
void UseBinaryStandardStreams();
// True when both standard output and standard error are a terminal (a console on Windows).
bool StandardOutputsAreTerminals();
// The width of the terminal of standard error in characters; 80 when it does not say.
size_t TerminalWidth();

// While it lives, an interrupt (Ctrl+C, SIGTERM, SIGHUP) waits: the program ends on it only afterwards, so
// that the patches of one file are written, read back or put back as a whole.
class TInterruptsHeld {
public:
    TInterruptsHeld();
    ~TInterruptsHeld();
    TInterruptsHeld(const TInterruptsHeld &) = delete;
    TInterruptsHeld &operator=(const TInterruptsHeld &) = delete;
};

// A text read from a file (a file name, an identifier, a message that quotes them) as it can be shown on
// a terminal: control characters, C1 control characters (U+0080..U+009F) among them, as \xNN.
std::string TerminalText(std::string_view text);
