#pragma once

// Running the built pellmar-cli and reading what it prints.

#include "TestFiles.h"

#include <cstdint>
#include <string>
#include <vector>

// The program under test: $PELLMAR_CLI when set (a wrapper that runs the Windows build under wine, for
// example), else the pellmar-cli of this build.
const std::string &CliPath();
// True when $PELLMAR_CLI_WINE is 1: the program under test is the Windows build run under wine, which
// shares no Linux locks, user ids or terminals with the tests.
bool CliUnderWine();

// Runs pellmar-cli with these arguments (each quoted for the shell), standard input closed.
CommandResult RunCli(const std::vector<std::string> &args);

// A jq filter applied to a JSON text, raw output without the last line feed. Fails the test when jq
// rejects the text, so every document read through it is also checked to be valid JSON.
std::string Jq(const std::string &json, const std::string &filter);

// One record of the JSON document of list and set.
struct ListedRecord {
    int64_t row = -1;
    int sarWidth = 0;
    int sarHeight = 0;
    int aspectRatioIdc = 0;
    std::string type;
    int width = 0;
    int height = 0;
    int spsId = -1;
    int64_t spsOffset = -1;
    int64_t vuiOffset = -1;
    int vuiBitOffset = -1;
    std::string sar;
    std::string dar;
};

struct Listing {
    std::string file;
    std::string scanner;
    int64_t size = -1;
    int64_t spsCount = -1;
    std::vector<ListedRecord> records;
};

// Reads the result of one file (by its place in the files array) of a JSON document printed by list or set.
Listing ReadListing(const std::string &json, size_t file = 0);
// Runs list --json with the extra options; fails the test unless it exits with 0 and prints nothing on
// standard error.
Listing ListJson(const std::string &path, const std::vector<std::string> &options = {});

// The bytes of the file that the aspect ratio of a record occupies: from the bit after
// aspect_ratio_info_present_flag, 8 bits for a predefined code, 40 for code 255 with its two terms.
struct ByteSpan {
    int64_t first = 0;
    int64_t last = 0;
};
ByteSpan AspectRatioBytes(const ListedRecord &record);
// Fails the test unless both files have the same length and every byte outside the spans is equal.
void ExpectDifferOnlyIn(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after,
                        const std::vector<ByteSpan> &spans);

// Lines of a text, without their line feeds.
std::vector<std::string> Lines(const std::string &text);
