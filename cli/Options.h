#pragma once

#include "base/FileFormat.h"
#include "base/Ratio.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A command line that does not follow the usage; the text says what is wrong.
class EUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TCommand { List, Set, Recover, Undo, Help, Version };

// The kind of new value of set.
enum class TNewValue { None, Idc, Sar, Dar };

enum class TOutputKind { Text, Json, JsonLines };

// One entry of --rows: a single row (First == Last) or a range, both ends included.
struct TRowRange {
    uint64_t First = 0;
    uint64_t Last = 0;
    std::string Text; // as written, for messages
};

struct TOptions {
    TCommand Command = TCommand::Help;
    // The format every file is read as (--avi, --stream, --format); none: each file's content decides.
    std::optional<TFileFormat> ForcedFormat;
    bool FirstNalOnly = false;
    bool Yes = false;
    bool Recursive = false;
    TOutputKind Output = TOutputKind::Text;
    bool DryRun = false;
    std::optional<std::vector<TRowRange>> Rows; // none: every row
    std::optional<int64_t> Track;               // none: every track
    std::optional<TRatio> OnlyFrom;             // only rows that show this display aspect ratio now
    TNewValue NewValue = TNewValue::None;
    uint8_t Idc = 0;
    TRatio Ratio; // the terms of --sar or --dar
    std::vector<std::string> Files;
    // For Help: the help text asked for (of the program, or of one command).
    std::string HelpText;
};

// Reads the arguments after the program name. Raises EUsageError.
TOptions ParseOptions(const std::vector<std::string> &args);
// The usage lines, "Usage: pellmar-cli list ..." with one line per command.
std::string UsageText();

// "0,2,5-7" into its entries. Raises EUsageError.
std::vector<TRowRange> ParseRowList(const std::string &text);
// The chosen row indices in ascending order without repeats. Empty text when every one is below rowCount,
// else why not.
std::string ResolveRows(const std::vector<TRowRange> &ranges, size_t rowCount, std::vector<size_t> &rows);
// "W:H" with both terms in 1..65535. Raises EUsageError naming the option.
TRatio ParseRatio(const std::string &text, const std::string &option);
// A predefined code of a codec's table (H.264's aspect_ratio_idc 1..16). Raises EUsageError.
uint8_t ParseIdc(const std::string &text);
// A format named on the command line; only formats this version reads. Raises EUsageError.
TFileFormat ParseFormat(const std::string &text);

// The scanner that reads the format, as "scanner" in JSON names it: "stream" for the raw stream of any
// codec, else the format's first name for --format ("avi", "mp4", ...).
std::string ScannerName(TFileFormat format);
// The names of the formats this version reads, separated by commas.
std::string ReadFormatKeywords();
