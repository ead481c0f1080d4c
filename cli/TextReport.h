#pragma once

// The report on standard output as text: per file the table of its rows or what set did to them, and
// for a batch a heading per file and the summary.

#include "Report.h"

#include <cstddef>
#include <ostream>
#include <vector>

class TTextReport : public TReport {
public:
    TTextReport(const TOptions &options, bool batch, std::ostream &out);

    void FileStarted(const std::string &fileName, std::optional<TFileFormat> format) override;
    void FileDone(const TFileResult &result) override;
    void Finish(const TSummary &summary) override;

private:
    void WriteTable(const TFileResult &result);
    // What the container states about the tracks of the rows: per track the display aspect ratio it
    // states (when stated is asked for) or that it states none; one line for a format that states none.
    void WriteContainerLines(const TFileResult &result, const std::vector<size_t> &rows, bool stated);
    void WriteSet(const TFileResult &result);

    const TOptions &FOptions;
    bool FBatch;
    std::ostream &FOut;
    size_t FFiles = 0;
};
