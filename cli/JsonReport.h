#pragma once

// The reports on standard output as JSON: one document for the call, or one line per file.

#include "Report.h"

#include <cstddef>
#include <ostream>

// One document for the call. The files are written as each is done, so that a call over thousands of
// files holds one file's records at a time.
class TJsonReport : public TReport {
public:
    TJsonReport(const TOptions &options, std::ostream &out);

    void FileStarted(const std::string &, std::optional<TFileFormat>) override {}
    void FileDone(const TFileResult &result) override;
    void Finish(const TSummary &summary) override;

private:
    const TOptions &FOptions;
    std::ostream &FOut;
    size_t FFiles = 0;
};

// One compact document per file, on its own line, as each is done.
class TJsonLinesReport : public TReport {
public:
    TJsonLinesReport(const TOptions &options, std::ostream &out) : FOptions(options), FOut(out) {}

    void FileStarted(const std::string &, std::optional<TFileFormat>) override {}
    void FileDone(const TFileResult &result) override;
    void Finish(const TSummary &) override {}

private:
    const TOptions &FOptions;
    std::ostream &FOut;
};
