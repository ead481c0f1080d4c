#include "Options.h"

#include "CliTexts.h"
#include "base/Exceptions.h"
#include "base/FormatFacts.h"
#include "base/Utils.h"
#include "codec/CodecRegistry.h"
#include "scan/FormatProbe.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>
#include <set>
#include <sstream>
#include <string_view>
#include <tuple>

namespace {

constexpr uint64_t MaxRatioTerm = 65535;
// Beyond this a number given as a track is no track of any container (transport stream PIDs are 13 bits,
// MP4 and Matroska track numbers 32 and 64 bits).
constexpr uint64_t MaxTrackNumber = uint64_t{1} << 62;
constexpr size_t HelpColumn = 20;
// The width of the help's lines of running text.
constexpr size_t HelpLineWidth = 100;
constexpr const char *EndOfOptions = "--";

// An option that takes no value (whose value CLI11 makes "true").
bool IsFlag(const CLI::Option &option) {
    return option.get_expected_max() == 0;
}

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

// The names --format takes; the first of a format is the one the program prints.
struct TFormatKeyword {
    const char *Keyword;
    TFileFormat Format;
};

constexpr TFormatKeyword FormatKeywords[] = {
    {"stream", TFileFormat::RawH264}, {"h264", TFileFormat::RawH264},      {"hevc", TFileFormat::RawHevc},
    {"h265", TFileFormat::RawHevc},   {"avi", TFileFormat::Avi},           {"mp4", TFileFormat::Mp4},
    {"mkv", TFileFormat::Matroska},   {"matroska", TFileFormat::Matroska}, {"webm", TFileFormat::WebM},
    {"ts", TFileFormat::MpegTs},      {"m2ts", TFileFormat::M2ts},         {"ts204", TFileFormat::MpegTs204},
    {"ps", TFileFormat::MpegPs},      {"flv", TFileFormat::Flv},           {"asf", TFileFormat::Asf},
    {"mxf", TFileFormat::Mxf},        {"nut", TFileFormat::Nut},
};

// The options of one command as declared; their values are read from the results after the parse.
struct TCommandOptions {
    CLI::App *App = nullptr;
    CLI::Option *Avi = nullptr;
    CLI::Option *Stream = nullptr;
    CLI::Option *Format = nullptr;
    CLI::Option *FirstNalOnly = nullptr;
    CLI::Option *Yes = nullptr;
    CLI::Option *Recursive = nullptr;
    CLI::Option *Json = nullptr;
    CLI::Option *JsonLines = nullptr;
    CLI::Option *Rows = nullptr;
    CLI::Option *Track = nullptr;
    CLI::Option *DryRun = nullptr;
    CLI::Option *OnlyFrom = nullptr;
    CLI::Option *Idc = nullptr;
    CLI::Option *Sar = nullptr;
    CLI::Option *Dar = nullptr;
    std::vector<std::string> Files;
};

// recover and undo: files only.
struct TJournalCommand {
    CLI::App *App = nullptr;
    std::vector<std::string> Files;
};

// The help of the program and of each command, made from the declarations: the usage lines, the commands
// and every option in its group with its value's name.
class THelpFormatter : public CLI::Formatter {
public:
    THelpFormatter() { column_width(HelpColumn); }

    std::string make_help(const CLI::App *app, std::string, CLI::AppFormatMode) const override {
        std::ostringstream out;
        if (app->get_parent() == nullptr) {
            out << Usage(*app) << '\n' << Format(SHelpDescription, FormatNamesRead()) << '\n';
            out << SCommandsTitle << '\n';
            for (const CLI::App *command : Commands(*app))
                out << make_subcommand(command);
            std::vector<const CLI::Option *> shown;
            for (const CLI::App *command : Commands(*app))
                out << Groups(*command, shown);
            out << Groups(*app, shown);
            CLI::detail::format_help(out, EndOfOptions, SEndOfOptionsHelp, column_width_);
            out << '\n' << SHelpFooter;
        } else {
            out << SUsageLabel << CommandUsage(*app) << "\n\n" << app->get_description() << "\n";
            std::vector<const CLI::Option *> shown;
            out << Groups(*app, shown);
            CLI::detail::format_help(out, EndOfOptions, SEndOfOptionsHelp, column_width_);
        }
        return out.str();
    }

    std::string make_option_name(const CLI::Option *option, bool positional) const override {
        if (positional)
            return option->get_name(true, false);
        std::vector<std::string> names = option->get_lnames();
        for (std::string &name : names)
            name = "--" + name;
        for (const std::string &name : option->get_snames())
            names.push_back("-" + name);
        return CLI::detail::join(names, ", ");
    }

    std::string make_option_opts(const CLI::Option *option) const override {
        return IsFlag(*option) ? "" : " " + option->get_type_name();
    }

    // "Usage: pellmar-cli list [OPTIONS] FILE...", one line per command, then help and version.
    static std::string Usage(const CLI::App &app) {
        std::string text = SUsageLabel;
        for (const CLI::App *command : Commands(app))
            text += CommandUsage(*command) + "\n" + SUsageIndent;
        std::vector<std::string> names;
        for (const CLI::Option *option : {app.get_help_ptr(), app.get_version_ptr()})
            if (option != nullptr)
                names.push_back(option->get_name());
        return text + app.get_name() + " " + CLI::detail::join(names, " | ") + "\n";
    }

private:
    static std::vector<const CLI::App *> Commands(const CLI::App &app) {
        return app.get_subcommands([](const CLI::App *) { return true; });
    }

    // The command's name and options; the options of the group of which one is required are named.
    static std::string CommandUsage(const CLI::App &command) {
        std::string text = command.get_parent()->get_name() + " " + command.get_name() + " " + SUsageOptions;
        std::vector<std::string> choice;
        for (const CLI::Option *option : command.get_options())
            if (option->get_group() == SNewValueGroup)
                choice.push_back(option->get_name() + " " + option->get_type_name());
        if (!choice.empty())
            text += " (" + CLI::detail::join(choice, " | ") + ")";
        for (const CLI::Option *option : command.get_options())
            if (option->get_positional())
                text += " " + option->get_name(true, false) + "...";
        return text;
    }

    // The command's options group by group, each option once in the whole help.
    std::string Groups(const CLI::App &app, std::vector<const CLI::Option *> &shown) const {
        std::string text;
        for (const std::string &group : app.get_groups()) {
            std::string lines;
            for (const CLI::Option *option : app.get_options()) {
                if (option->get_group() != group || option->get_positional() ||
                    (app.get_parent() != nullptr && option == app.get_help_ptr()) ||
                    std::any_of(shown.begin(), shown.end(), [&](const CLI::Option *done) {
                        return done->get_name() == option->get_name();
                    }))
                    continue;
                shown.push_back(option);
                lines += make_option(option, false);
            }
            if (!lines.empty())
                text += "\n" + group + ":\n" + lines;
        }
        return text;
    }

    // One name after the other, indented, in lines as wide as the help's.
    static std::string FormatNamesRead() {
        constexpr size_t Indent = 2;
        std::string names(Indent, ' ');
        size_t lineStart = 0;
        for (const TFormatFacts &facts : AllFormatFacts()) {
            if (!IsScannable(facts.Format))
                continue;
            const std::string name = facts.Name;
            if (names.size() > Indent) {
                names += ',';
                if (names.size() - lineStart + 1 + name.size() + 1 > HelpLineWidth) {
                    lineStart = names.size() + 1;
                    names += '\n' + std::string(Indent, ' ');
                } else {
                    names += ' ';
                }
            }
            names += name;
        }
        return names;
    }
};

// The program's options and commands as CLI11 declares them.
class TCommandLine {
public:
    TCommandLine() : FApp("", SProgramName) {
        FApp.formatter(std::make_shared<THelpFormatter>());
        FApp.set_help_flag("-h,--help", SHelpHelp);
        FApp.set_version_flag(
            "--version", [] { return GetAppCaption(); }, SVersionHelp);
        // Unknown options and commands are told in this program's own words (see Check).
        FApp.allow_extras();
        // Options begin with - on every system; a name beginning with / is a file, also on Windows.
        FApp.allow_windows_style_options(false);
        FApp.require_subcommand(0, 1);
        FList.App = FApp.add_subcommand("list", SListHelp);
        FSet.App = FApp.add_subcommand("set", SSetHelp);
        for (TCommandOptions *command : {&FList, &FSet}) {
            CLI::App &app = *command->App;
            app.allow_extras();
            app.allow_windows_style_options(false);
            app.fallthrough(); // --version after the command
            app.option_defaults()->group(SCommonOptionsGroup);
            command->Avi = Flag(app, "--avi", SAviHelp);
            command->Stream = Flag(app, "--stream", SStreamHelp);
            command->Format = Value(app, "--format", "NAME", Format(SFormatHelp, ReadFormatKeywords()),
                                    SCommonOptionsGroup);
            command->Avi->excludes(command->Stream)->excludes(command->Format);
            command->Stream->excludes(command->Format);
            command->FirstNalOnly = Flag(app, "--first-nal-only", SFirstNalOnlyHelp);
            command->Yes = Flag(app, "--yes", SYesHelp);
            command->Recursive = Flag(app, "--recursive", SRecursiveHelp);
            command->Json = Flag(app, "--json", SJsonHelp);
            command->JsonLines = Flag(app, "--json-lines", SJsonLinesHelp);
            command->Json->excludes(command->JsonLines);
            app.add_option("FILE", command->Files, SFilesHelp);
        }
        for (auto [command, name, help] :
             {std::tuple{&FRecover, "recover", SRecoverHelp}, std::tuple{&FUndo, "undo", SUndoHelp}}) {
            command->App = FApp.add_subcommand(name, help);
            command->App->allow_extras();
            command->App->allow_windows_style_options(false);
            command->App->fallthrough();
            command->App->add_option("FILE", command->Files, SFilesHelp);
        }
        CLI::App &set = *FSet.App;
        FSet.Rows = Value(set, "--rows", "LIST", SRowsHelp, SSetOptionsGroup);
        FSet.Track = Value(set, "--track", "N", STrackHelp, SSetOptionsGroup);
        FSet.OnlyFrom = Value(set, "--only-from", "W:H", SOnlyFromHelp, SSetOptionsGroup);
        FSet.DryRun = Flag(set, "--dry-run", SDryRunHelp)->group(SSetOptionsGroup);
        FSet.Idc = Value(set, "--idc", "N", SIdcHelp, SNewValueGroup);
        FSet.Sar = Value(set, "--sar", "W:H", SSarHelp, SNewValueGroup);
        FSet.Dar = Value(set, "--dar", "W:H", SDarHelp, SNewValueGroup);
        FSet.Idc->excludes(FSet.Sar)->excludes(FSet.Dar);
        FSet.Sar->excludes(FSet.Dar);
    }

    CLI::App &App() { return FApp; }

    // Parses the arguments (program name not included); raises EUsageError, and CLI11's errors, which
    // main tells apart: help and version are CLI::Success.
    TOptions Parse(const std::vector<std::string> &args) {
        // What follows "--" is files only: CLI11 would hand it to the program's own level once a
        // command's files have begun.
        auto end = std::find(args.begin(), args.end(), EndOfOptions);
        std::vector<std::string> reversed(std::make_reverse_iterator(end), args.rend());
        FApp.parse(reversed);

        for (const TJournalCommand *journal : {&FRecover, &FUndo}) {
            if (!journal->App->parsed())
                continue;
            const std::vector<std::string> extras = FApp.remaining(true);
            if (!extras.empty())
                Usage(SUnknownOption, extras.front());
            TOptions options;
            options.Command = journal == &FRecover ? TCommand::Recover : TCommand::Undo;
            options.Files = journal->Files;
            if (end != args.end())
                options.Files.insert(options.Files.end(), end + 1, args.end());
            if (options.Files.empty())
                throw EUsageError(SMissingFile);
            return options;
        }
        const TCommandOptions *command = FList.App->parsed() ? &FList : FSet.App->parsed() ? &FSet : nullptr;
        CheckExtras(command);
        TOptions options;
        options.Command = command == &FSet ? TCommand::Set : TCommand::List;
        CheckOnce(*command);
        if (command->Avi->count() > 0)
            options.ForcedFormat = TFileFormat::Avi;
        if (command->Stream->count() > 0)
            options.ForcedFormat = TFileFormat::RawH264;
        if (command->Format->count() > 0)
            options.ForcedFormat = ParseFormat(ValueOf(command->Format));
        options.FirstNalOnly = command->FirstNalOnly->count() > 0;
        options.Yes = command->Yes->count() > 0;
        options.Recursive = command->Recursive->count() > 0;
        if (command->Json->count() > 0)
            options.Output = TOutputKind::Json;
        if (command->JsonLines->count() > 0)
            options.Output = TOutputKind::JsonLines;
        if (command == &FSet) {
            options.DryRun = FSet.DryRun->count() > 0;
            if (FSet.Rows->count() > 0)
                options.Rows = ParseRowList(ValueOf(FSet.Rows));
            if (FSet.Track->count() > 0)
                options.Track = ParseTrack(ValueOf(FSet.Track));
            if (FSet.OnlyFrom->count() > 0)
                options.OnlyFrom = ParseRatio(ValueOf(FSet.OnlyFrom), "--only-from");
            if (FSet.Idc->count() > 0) {
                options.NewValue = TNewValue::Idc;
                options.Idc = ParseIdc(ValueOf(FSet.Idc));
            } else if (FSet.Sar->count() > 0) {
                options.NewValue = TNewValue::Sar;
                options.Ratio = ParseRatio(ValueOf(FSet.Sar), "--sar");
            } else if (FSet.Dar->count() > 0) {
                options.NewValue = TNewValue::Dar;
                options.Ratio = ParseRatio(ValueOf(FSet.Dar), "--dar");
            }
        }
        options.Files = command->Files;
        if (end != args.end())
            options.Files.insert(options.Files.end(), end + 1, args.end());
        if (options.Files.empty())
            throw EUsageError(SMissingFile);
        if (options.Command == TCommand::Set && options.NewValue == TNewValue::None)
            throw EUsageError(SNewValueMissing);
        return options;
    }

private:
    static CLI::Option *Flag(CLI::App &app, const std::string &name, const std::string &help) {
        return app.add_flag(name)->description(help);
    }

    // An option with one value. A missing value is let through to be told in this program's words, and
    // every occurrence is kept to tell an option given twice.
    static CLI::Option *Value(CLI::App &app, const std::string &name, const std::string &valueName,
                              const std::string &help, const std::string &group) {
        return app.add_option(name)
            ->description(help)
            ->type_name(valueName)
            ->expected(0, 1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
            ->group(group);
    }

    static std::string ValueOf(const CLI::Option *option) {
        return option->results().empty() ? std::string() : option->results().back();
    }

    std::vector<const CLI::Option *> AllOptions(const TCommandOptions &command) const {
        const CLI::App &app = *command.App;
        std::vector<const CLI::Option *> options = app.get_options();
        options.erase(std::remove_if(options.begin(), options.end(),
                                     [&](const CLI::Option *option) {
                                         return option->get_positional() || option == app.get_help_ptr();
                                     }),
                      options.end());
        return options;
    }

    // Options and commands CLI11 did not take: what is wrong, in this program's words.
    void CheckExtras(const TCommandOptions *command) const {
        std::vector<std::string> extras = FApp.remaining(true);
        if (command == nullptr) {
            if (extras.empty() || extras.front().rfind('-', 0) == 0)
                throw EUsageError(SMissingCommand);
            Usage(SUnknownCommand, extras.front());
        }
        for (const std::string &extra : extras) {
            const std::string name = extra.substr(0, extra.find('='));
            if (command == &FList && FSet.App->get_option_no_throw(name) != nullptr)
                Usage(SOptionNotForList, name);
            Usage(SUnknownOption, extra);
        }
    }

    // Every option at most once; a flag without value, an option with one.
    void CheckOnce(const TCommandOptions &command) const {
        for (const CLI::Option *option : AllOptions(command)) {
            if (option->count() == 0)
                continue;
            const std::string name = option->get_name();
            if (option->count() > 1)
                Usage(SOptionTwice, name);
            if (IsFlag(*option)) {
                if (option->results() != std::vector<std::string>{"true"})
                    Usage(SUnexpectedValue, name);
            } else if (ValueOf(option).empty()) {
                Usage(SMissingValue, name);
            }
        }
    }

    static int64_t ParseTrack(const std::string &text) {
        std::optional<uint64_t> track = ParseNumber(text);
        if (!track || *track > MaxTrackNumber)
            Usage(SBadTrack, text);
        return static_cast<int64_t>(*track);
    }

    CLI::App FApp;
    TCommandOptions FList;
    TCommandOptions FSet;
    TJournalCommand FRecover;
    TJournalCommand FUndo;
};

} // namespace

TOptions ParseOptions(const std::vector<std::string> &args) {
    TCommandLine commandLine;
    try {
        return commandLine.Parse(args);
    } catch (const CLI::CallForHelp &) {
        TOptions options;
        options.Command = TCommand::Help;
        options.HelpText = commandLine.App().help();
        return options;
    } catch (const CLI::CallForVersion &) {
        TOptions options;
        options.Command = TCommand::Version;
        return options;
    } catch (const CLI::ParseError &error) {
        throw EUsageError(error.what());
    }
}

std::string UsageText() {
    TCommandLine commandLine;
    return THelpFormatter::Usage(commandLine.App());
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

std::string ResolveRows(const std::vector<TRowRange> &ranges, size_t rowCount, std::vector<size_t> &rows) {
    std::set<size_t> chosen;
    for (const TRowRange &range : ranges) {
        if (range.Last >= rowCount) {
            std::string which =
                range.First >= rowCount ? std::to_string(range.First) : std::to_string(rowCount);
            std::string known = rowCount > 0 ? Format(SRowRange, static_cast<int64_t>(rowCount) - 1) : "";
            return Format(SRowOutOfRange, which, static_cast<int64_t>(rowCount), known);
        }
        for (uint64_t row = range.First; row <= range.Last; ++row)
            chosen.insert(static_cast<size_t>(row));
    }
    rows.assign(chosen.begin(), chosen.end());
    return {};
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

// A code of some codec's table; each row reads it in its own codec's table when it is set.
uint8_t ParseIdc(const std::string &text) {
    std::optional<uint64_t> idc = ParseNumber(text);
    const auto inTable = [&](const TCodec *codec) {
        const std::vector<uint8_t> codes = codec->PredefinedCodes();
        return std::find(codes.begin(), codes.end(), *idc) != codes.end();
    };
    const std::vector<const TCodec *> codecs = ReadableCodecs();
    if (!idc || std::none_of(codecs.begin(), codecs.end(), inTable))
        Usage(SBadIdc, text);
    return static_cast<uint8_t>(*idc);
}

TFileFormat ParseFormat(const std::string &text) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const TFormatKeyword &keyword : FormatKeywords) {
        if (lower != keyword.Keyword)
            continue;
        if (!IsScannable(keyword.Format))
            Usage(SFormatNotRead, text, FormatName(keyword.Format), ReadFormatKeywords());
        return keyword.Format;
    }
    Usage(SBadFormat, text, ReadFormatKeywords());
}

std::string ScannerName(TFileFormat format) {
    if (ElementaryCodecOf(format) != nullptr)
        return FormatKeywords[0].Keyword;
    for (const TFormatKeyword &keyword : FormatKeywords)
        if (keyword.Format == format)
            return keyword.Keyword;
    return FormatKeywords[0].Keyword;
}

std::string ReadFormatKeywords() {
    std::string keywords;
    for (const TFormatKeyword &keyword : FormatKeywords)
        if (IsScannable(keyword.Format))
            keywords += (keywords.empty() ? "" : ", ") + std::string(keyword.Keyword);
    return keywords;
}
