#include "CliTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

const std::string &CliPath() {
    static const std::string path = [] {
        const char *given = std::getenv("PELLMAR_CLI");
        return std::string(given != nullptr && *given != '\0' ? given : PELLMAR_CLI_PATH);
    }();
    return path;
}

bool CliUnderWine() {
    const char *wine = std::getenv("PELLMAR_CLI_WINE");
    return wine != nullptr && std::string(wine) == "1";
}

CommandResult RunCli(const std::vector<std::string> &args) {
    std::string command = ShellQuote(CliPath());
    for (const std::string &arg : args)
        command += " " + ShellQuote(arg);
    CommandResult result = RunCommand(command);
    // Under load wine now and then starts a process that ends at once without a word. The program never
    // fails silently, so such a run is tried once more; a fault of the program fails both times.
    if (CliUnderWine() && result.exitCode != 0 && result.output.empty() && result.errors.empty())
        result = RunCommand(command);
    return result;
}

std::string Jq(const std::string &json, const std::string &filter) {
    TempDir scratch;
    std::string path = scratch.File("document.json");
    WriteFile(path, std::vector<uint8_t>(json.begin(), json.end()));
    CommandResult result = RunCommand("jq -r " + ShellQuote(filter) + " " + ShellQuote(path));
    EXPECT_EQ(result.exitCode, 0) << "jq " << filter << ": " << result.errors << "\nin:\n" << json;
    if (!result.output.empty() && result.output.back() == '\n')
        result.output.pop_back();
    return result.output;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

Listing ReadListing(const std::string &json, size_t file) {
    Listing listing;
    const std::string object = ".files[" + std::to_string(file) + "]";
    EXPECT_EQ(Jq(json, ".files | length > " + std::to_string(file)), "true") << json;
    std::istringstream head(Jq(json, object + " | [.file, .scanner, .size, .sps_count] | @tsv"));
    std::getline(head, listing.file, '\t');
    std::getline(head, listing.scanner, '\t');
    head >> listing.size >> listing.spsCount;
    std::string rows =
        Jq(json, object + ".records[] | [.row, .sar_width, .sar_height, .aspect_ratio_idc, .type, .width, "
                          ".height, .sps_id, .sps_offset, .vui_offset, .vui_bit_offset, .sar, .dar] | @tsv");
    for (const std::string &line : Lines(rows)) {
        std::istringstream in(line);
        ListedRecord record;
        in >> record.row >> record.sarWidth >> record.sarHeight >> record.aspectRatioIdc >> record.type >>
            record.width >> record.height >> record.spsId >> record.spsOffset >> record.vuiOffset >>
            record.vuiBitOffset >> record.sar >> record.dar;
        EXPECT_FALSE(in.fail()) << line;
        listing.records.push_back(record);
    }
    return listing;
}

Listing ListJson(const std::string &path, const std::vector<std::string> &options) {
    std::vector<std::string> args{"list", "--json"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(path);
    CommandResult result = RunCli(args);
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.errors, "");
    return ReadListing(result.output);
}

ByteSpan AspectRatioBytes(const ListedRecord &record) {
    int64_t firstBit = record.vuiOffset * 8 + record.vuiBitOffset + 1;
    int64_t bits = record.aspectRatioIdc == 255 ? 40 : 8;
    return {firstBit / 8, (firstBit + bits - 1) / 8};
}

void ExpectDifferOnlyIn(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after,
                        const std::vector<ByteSpan> &spans) {
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); ++i) {
        if (before[i] == after[i])
            continue;
        bool inSpan = false;
        for (const ByteSpan &span : spans)
            inSpan =
                inSpan || (static_cast<int64_t>(i) >= span.first && static_cast<int64_t>(i) <= span.last);
        EXPECT_TRUE(inSpan) << "byte " << i << " changed outside the aspect-ratio bits";
    }
}
