// pellmar-cli: lists and changes the aspect ratio of H.264 video in place, for scripts and terminals.

#include "CliTexts.h"
#include "Commands.h"
#include "Console.h"
#include "Options.h"
#include "base/Utils.h"

#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    UseBinaryStandardStreams();
    const std::vector<std::string> args = CommandLineArguments(argc, argv);
    try {
        TOptions options = ParseOptions(args);
        switch (options.Command) {
        case TCommand::Help:
            std::cout << SUsage << '\n' << SHelp;
            return ExitDone;
        case TCommand::Version:
            std::cout << GetAppCaption() << '\n';
            return ExitDone;
        case TCommand::List:
            return RunList(options);
        case TCommand::Set:
            return RunSet(options);
        }
    } catch (const EUsageError &error) {
        std::cerr << SProgramName << ": " << error.what() << '\n' << SUsage << SHelpHint;
        return ExitUsage;
    } catch (const std::bad_alloc &) {
        std::cerr << SOutOfMemory << '\n';
        return ExitError;
    } catch (const std::exception &error) {
        std::cerr << ErrorMessageText(error.what()) << '\n';
        return ExitError;
    }
    return ExitError;
}
