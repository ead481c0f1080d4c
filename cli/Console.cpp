#include "Console.h"

#include "base/Streams.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

namespace {

// The argument array of CommandLineToArgvW, released with LocalFree.
class TWideArguments {
public:
    TWideArguments() : FArguments(::CommandLineToArgvW(::GetCommandLineW(), &FCount)) {}
    ~TWideArguments() {
        if (FArguments != nullptr)
            ::LocalFree(FArguments);
    }
    TWideArguments(const TWideArguments &) = delete;
    TWideArguments &operator=(const TWideArguments &) = delete;

    bool Valid() const { return FArguments != nullptr; }
    int Count() const { return FCount; }
    const wchar_t *operator[](int index) const { return FArguments[index]; }

private:
    int FCount = 0;
    LPWSTR *FArguments;
};

bool IsConsole(DWORD standardHandle) {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(standardHandle), &mode) != 0;
}

} // namespace

std::vector<std::string> CommandLineArguments(int argc, char **argv) {
    TWideArguments wide;
    if (!wide.Valid())
        return {argv + 1, argv + argc};
    std::vector<std::string> args;
    for (int i = 1; i < wide.Count(); ++i)
        args.push_back(WideToUtf8(wide[i]));
    return args;
}

void UseBinaryStandardStreams() {
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
}

bool StandardOutputsAreTerminals() {
    return IsConsole(STD_OUTPUT_HANDLE) && IsConsole(STD_ERROR_HANDLE);
}

#else

#include <unistd.h>

std::vector<std::string> CommandLineArguments(int argc, char **argv) {
    return {argv + 1, argv + argc};
}

void UseBinaryStandardStreams() {}

bool StandardOutputsAreTerminals() {
    return ::isatty(STDOUT_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1;
}

#endif
