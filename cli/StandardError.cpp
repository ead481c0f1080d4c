#include "StandardError.h"

#include "CliTexts.h"
#include "Console.h"
#include "base/AppTexts.h"
#include "base/Exceptions.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

TConsole::TConsole(bool batch) : FBatch(batch), FEnabled(StandardOutputsAreTerminals()) {}

void TConsole::BeginFile(size_t index, size_t count, const std::string &fileName) {
    FIndex = index;
    FCount = count;
    FFileName = TerminalText(fileName);
}

namespace {

// The number of characters of a UTF-8 text (continuation bytes do not count).
size_t Characters(const std::string &text) {
    return static_cast<size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The end of a file name when the whole does not fit: "...name.avi", cut between characters.
std::string NameEnd(const std::string &name, size_t characters) {
    constexpr const char *Ellipsis = "...";
    if (Characters(name) <= characters)
        return name;
    size_t keep = characters > 3 ? characters - 3 : 0;
    size_t at = name.size();
    while (at > 0 && keep > 0) {
        --at;
        if ((static_cast<unsigned char>(name[at]) & 0xC0) != 0x80)
            --keep;
    }
    return Ellipsis + name.substr(at);
}

} // namespace

void TConsole::Progress(int64_t position, int64_t total) {
    if (!FEnabled)
        return;
    if (position <= 0 || total <= 0) {
        ClearProgress();
        return;
    }
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.1f",
                  static_cast<double>(static_cast<float>(static_cast<double>(position) / total * 100.0)));
    std::string text = Format(SScanningProgress, std::string(percent));
    if (FBatch) {
        // The line must fit the terminal, or each rewrite would begin a line of its own.
        const std::string frame = Format(SBatchProgress, static_cast<int64_t>(FIndex),
                                         static_cast<int64_t>(FCount), std::string(), text);
        const size_t width = TerminalWidth();
        const size_t room = width > Characters(frame) + 1 ? width - Characters(frame) - 1 : 0;
        text = Format(SBatchProgress, static_cast<int64_t>(FIndex), static_cast<int64_t>(FCount),
                      NameEnd(FFileName, room), text);
    }
    Show(text);
}

void TConsole::Show(const std::string &text) {
    if (text == FShown)
        return;
    const size_t shown = Characters(FShown);
    const size_t blanks = shown > Characters(text) ? shown - Characters(text) : 0;
    std::cout << std::flush;
    std::cerr << '\r' << text << std::string(blanks, ' ') << std::flush;
    FShown = text;
}

void TConsole::ClearProgress() {
    if (FShown.empty())
        return;
    std::cerr << '\r' << std::string(Characters(FShown), ' ') << '\r' << std::flush;
    FShown.clear();
}

void TConsole::Message(const std::string &fileName, const std::string &line) {
    NamedMessage(FBatch ? Format(SFileMessage, TerminalText(fileName), line) : line);
}

void TConsole::NamedMessage(const std::string &line) {
    ClearProgress();
    std::cout << std::flush;
    std::cerr << line << '\n' << std::flush;
}
