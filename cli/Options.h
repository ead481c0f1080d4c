#pragma once

#include "h264/uH264.h"

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

enum class TCommand { List, Set, Help, Version };

// Which scanner reads the file: the one its content calls for, or as forced by --avi / --stream.
enum class TScannerChoice { ByContent, Avi, Stream };

// The kind of new value of set.
enum class TNewValue { None, Idc, Sar, Dar };

// One entry of --rows: a single row (First == Last) or a range, both ends included.
struct TRowRange {
    uint64_t First = 0;
    uint64_t Last = 0;
    std::string Text; // as written, for messages
};

struct TOptions {
    TCommand Command = TCommand::Help;
    TScannerChoice Scanner = TScannerChoice::ByContent;
    bool FirstNalOnly = false;
    bool Yes = false;
    bool Json = false;
    bool DryRun = false;
    std::optional<std::vector<TRowRange>> Rows; // none: every row
    TNewValue NewValue = TNewValue::None;
    uint8_t Idc = 0;
    TRatio Ratio; // the terms of --sar or --dar
    std::string FileName;
};

// Reads the arguments after the program name. Raises EUsageError.
TOptions ParseOptions(const std::vector<std::string> &args);

// "0,2,5-7" into its entries. Raises EUsageError.
std::vector<TRowRange> ParseRowList(const std::string &text);
// The chosen row indices in ascending order without repeats; every one must be below rowCount.
// Raises EUsageError.
std::vector<size_t> ResolveRows(const std::vector<TRowRange> &ranges, size_t rowCount);
// "W:H" with both terms in 1..65535. Raises EUsageError naming the option.
TRatio ParseRatio(const std::string &text, const std::string &option);
// A predefined aspect_ratio_idc, 1..16. Raises EUsageError.
uint8_t ParseIdc(const std::string &text);
