#include "Console.h"

#include "base/Exceptions.h"
#include "base/Streams.h"

#include <cstdio>

namespace {

constexpr size_t DefaultTerminalWidth = 80;

} // namespace

std::string TerminalText(std::string_view text) {
    const std::string escaped = EscapedText(text);
    // EscapedText leaves the C1 controls, which terminals also act on: in UTF-8 they are C2 80..C2 9F.
    std::string shown;
    for (size_t i = 0; i < escaped.size(); ++i) {
        const auto byte = static_cast<unsigned char>(escaped[i]);
        const auto next = i + 1 < escaped.size() ? static_cast<unsigned char>(escaped[i + 1]) : 0;
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned>(next));
            shown += code;
            ++i;
        } else {
            shown += escaped[i];
        }
    }
    return shown;
}

#ifdef _WIN32
#include <windows.h>

#include <atomic>
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

namespace {

// Set by the console's handler while interrupts are held; the handler runs on a thread of its own.
std::atomic<bool> InterruptWaiting{false};

BOOL WINAPI HoldInterrupt(DWORD) {
    InterruptWaiting = true;
    return TRUE;
}

} // namespace

TInterruptsHeld::TInterruptsHeld() {
    ::SetConsoleCtrlHandler(HoldInterrupt, TRUE);
}

TInterruptsHeld::~TInterruptsHeld() {
    ::SetConsoleCtrlHandler(HoldInterrupt, FALSE);
    if (InterruptWaiting)
        ::ExitProcess(STATUS_CONTROL_C_EXIT);
}

size_t TerminalWidth() {
    CONSOLE_SCREEN_BUFFER_INFO screen;
    if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &screen))
        return DefaultTerminalWidth;
    const int width = screen.srWindow.Right - screen.srWindow.Left + 1;
    return width > 0 ? static_cast<size_t>(width) : DefaultTerminalWidth;
}

#else

#include <csignal>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

std::vector<std::string> CommandLineArguments(int argc, char **argv) {
    return {argv + 1, argv + argc};
}

void UseBinaryStandardStreams() {}

bool StandardOutputsAreTerminals() {
    return ::isatty(STDOUT_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1;
}

namespace {

sigset_t InterruptSignals() {
    sigset_t signals;
    ::sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaddset(&signals, signal);
    return signals;
}

} // namespace

// Blocked, not ignored: a signal that comes meanwhile is delivered when they are unblocked.
TInterruptsHeld::TInterruptsHeld() {
    const sigset_t signals = InterruptSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

TInterruptsHeld::~TInterruptsHeld() {
    const sigset_t signals = InterruptSignals();
    ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

size_t TerminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return DefaultTerminalWidth;
    return size.ws_col;
}

#endif
