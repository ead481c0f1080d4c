// pellmar-cli: lists and changes the aspect ratio of H.264 video in place, for scripts and terminals.

#include "CliTexts.h"
#include "Commands.h"
#include "Console.h"
#include "Options.h"
#include "base/AppTexts.h"
#include "base/ShownTexts.h"
#include "base/Utils.h"

#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    UseBinaryStandardStreams();
    try {
        const std::vector<std::string> args = CommandLineArguments(argc, argv);
        TOptions options;
        try {
            options = ParseOptions(args);
        } catch (const EUsageError &error) {
            std::cerr << SProgramName << ": " << TerminalText(error.what()) << '\n'
                      << UsageText() << SHelpHint;
            return ExitUsage;
        }
        switch (options.Command) {
        case TCommand::Help:
            std::cout << options.HelpText;
            return ExitDone;
        case TCommand::Version:
            std::cout << GetAppCaption() << '\n';
            return ExitDone;
        case TCommand::List:
        case TCommand::Set:
            return RunCommand(options);
        case TCommand::Recover:
        case TCommand::Undo:
            return RunJournalCommand(options);
        }
    } catch (const std::bad_alloc &) {
        std::cerr << SOutOfMemory << '\n';
    } catch (const std::exception &error) {
        std::cerr << TerminalText(ErrorMessageText(error.what())) << '\n';
    }
    return ExitError;
}
