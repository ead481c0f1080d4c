#include "Options.h"

#include "CliTexts.h"
#include "base/Exceptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>
#include <string_view>

namespace {

constexpr uint64_t MaxRatioTerm = 65535;
constexpr uint64_t MaxPredefinedIdc = 16;

template <typename... TArgs>
[[noreturn]] void Usage(TFormatPattern<sizeof...(TArgs)> pattern, const TArgs &...args) {
    throw EUsageError(Format(pattern, args...));
}

// A whole decimal number of digits only (no sign, no blanks); none when it is not one or too large.
std::optional<uint64_t> ParseNumber(std::string_view text) {
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

struct TOptionSpec {
    const char *Name;
    bool TakesValue;
    bool SetOnly;
};

constexpr TOptionSpec OptionSpecs[] = {
    {"--avi", false, false},    {"--stream", false, false}, {"--first-nal-only", false, false},
    {"--yes", false, false},    {"--json", false, false},   {"--rows", true, true},
    {"--dry-run", false, true}, {"--idc", true, true},      {"--sar", true, true},
    {"--dar", true, true},
};

const TOptionSpec *FindOption(std::string_view name) {
    for (const TOptionSpec &option : OptionSpecs)
        if (name == option.Name)
            return &option;
    return nullptr;
}

void SetNewValue(TOptions &options, TNewValue kind) {
    if (options.NewValue != TNewValue::None)
        throw EUsageError(SNewValueConflict);
    options.NewValue = kind;
}

void Apply(TOptions &options, std::string_view name, const std::string &value) {
    if (name == "--avi" || name == "--stream") {
        TScannerChoice choice = name == "--avi" ? TScannerChoice::Avi : TScannerChoice::Stream;
        if (options.Scanner != TScannerChoice::ByContent && options.Scanner != choice)
            throw EUsageError(SScannerConflict);
        options.Scanner = choice;
    } else if (name == "--first-nal-only") {
        options.FirstNalOnly = true;
    } else if (name == "--yes") {
        options.Yes = true;
    } else if (name == "--json") {
        options.Json = true;
    } else if (name == "--dry-run") {
        options.DryRun = true;
    } else if (name == "--rows") {
        options.Rows = ParseRowList(value);
    } else if (name == "--idc") {
        SetNewValue(options, TNewValue::Idc);
        options.Idc = ParseIdc(value);
    } else {
        SetNewValue(options, name == "--sar" ? TNewValue::Sar : TNewValue::Dar);
        options.Ratio = ParseRatio(value, std::string(name));
    }
}

} // namespace

TOptions ParseOptions(const std::vector<std::string> &args) {
    TOptions options;
    // --help and --version answer whatever else is given, as long as they come before "--".
    for (const std::string &arg : args) {
        if (arg == "--")
            break;
        if (arg == "--help" || arg == "-h") {
            options.Command = TCommand::Help;
            return options;
        }
        if (arg == "--version") {
            options.Command = TCommand::Version;
            return options;
        }
    }
    if (args.empty())
        throw EUsageError(SMissingCommand);
    if (args[0] == "list")
        options.Command = TCommand::List;
    else if (args[0] == "set")
        options.Command = TCommand::Set;
    else if (!args[0].empty() && args[0][0] == '-')
        throw EUsageError(SMissingCommand);
    else
        Usage(SUnknownCommand, args[0]);

    std::set<std::string> seen;
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (!options.FileName.empty())
                Usage(STooManyFiles, arg, options.FileName);
            options.FileName = arg;
            continue;
        }
        size_t equals = arg.find('=');
        std::string name = arg.substr(0, equals);
        const TOptionSpec *option = FindOption(name);
        if (option == nullptr)
            Usage(SUnknownOption, arg);
        if (option->SetOnly && options.Command != TCommand::Set)
            Usage(SOptionNotForList, name);
        if (!seen.insert(name).second)
            Usage(SOptionTwice, name);
        std::string value;
        if (option->TakesValue) {
            if (equals != std::string::npos)
                value = arg.substr(equals + 1);
            else if (i + 1 < args.size())
                value = args[++i];
            else
                Usage(SMissingValue, name);
        } else if (equals != std::string::npos) {
            Usage(SUnexpectedValue, name);
        }
        Apply(options, name, value);
    }
    if (options.FileName.empty())
        throw EUsageError(SMissingFile);
    if (options.Command == TCommand::Set && options.NewValue == TNewValue::None)
        throw EUsageError(SNewValueMissing);
    return options;
}

std::vector<TRowRange> ParseRowList(const std::string &text) {
    std::vector<TRowRange> ranges;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t dash = item.find('-');
        std::optional<uint64_t> first = ParseNumber(std::string_view(item).substr(0, dash));
        std::optional<uint64_t> last =
            dash == std::string::npos ? first : ParseNumber(std::string_view(item).substr(dash + 1));
        if (!first || !last)
            Usage(SBadRowList, text);
        if (*last < *first)
            Usage(SDescendingRange, text, item);
        ranges.push_back({*first, *last, item});
        if (comma == std::string::npos)
            return ranges;
        start = comma + 1;
    }
}

std::vector<size_t> ResolveRows(const std::vector<TRowRange> &ranges, size_t rowCount) {
    std::set<size_t> rows;
    for (const TRowRange &range : ranges) {
        if (range.Last >= rowCount) {
            std::string which =
                range.First >= rowCount ? std::to_string(range.First) : std::to_string(rowCount);
            std::string known = rowCount > 0 ? Format(SRowRange, static_cast<int64_t>(rowCount) - 1) : "";
            Usage(SRowOutOfRange, which, static_cast<int64_t>(rowCount), known);
        }
        for (uint64_t row = range.First; row <= range.Last; ++row)
            rows.insert(static_cast<size_t>(row));
    }
    return {rows.begin(), rows.end()};
}

TRatio ParseRatio(const std::string &text, const std::string &option) {
    size_t colon = text.find(':');
    std::optional<uint64_t> x, y;
    if (colon != std::string::npos) {
        x = ParseNumber(std::string_view(text).substr(0, colon));
        y = ParseNumber(std::string_view(text).substr(colon + 1));
    }
    if (!x || !y || *x < 1 || *x > MaxRatioTerm || *y < 1 || *y > MaxRatioTerm)
        Usage(SBadRatio, option, text);
    return {static_cast<int64_t>(*x), static_cast<int64_t>(*y)};
}

uint8_t ParseIdc(const std::string &text) {
    std::optional<uint64_t> idc = ParseNumber(text);
    if (!idc || *idc < 1 || *idc > MaxPredefinedIdc)
        Usage(SBadIdc, text);
    return static_cast<uint8_t>(*idc);
}
