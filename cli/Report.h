#pragma once

// What a call prints on standard output: the report of each file as text, as one JSON document or as
// one JSON line per file, then the summary.

#include "FileJob.h"
#include "Options.h"
#include "Summary.h"

#include <memory>
#include <optional>
#include <ostream>
#include <string>

class TReport {
public:
    virtual ~TReport() = default;
    // Before the file is scanned; none when its format is not known.
    virtual void FileStarted(const std::string &fileName, std::optional<TFileFormat> format) = 0;
    virtual void FileDone(const TFileResult &result) = 0;
    virtual void Finish(const TSummary &summary) = 0;
};

// The report the options ask for, written to out. batch: a call of several files (headings, summary).
std::unique_ptr<TReport> MakeReport(const TOptions &options, bool batch, std::ostream &out);
