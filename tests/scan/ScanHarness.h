#pragma once

// What the scanner tests share: a session and a scanner per scan, a recorder of the scanners' typed
// events, and a run that reports how a scan ended.

#include "TestFiles.h"
#include "base/Exceptions.h"
#include "h264/H264Codec.h"
#include "scan/Scanner.h"
#include "scan/StreamParser.h"
#include "scan/uRIFFParser.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// One event of a scan. An event whose arguments disagree with the session it reports on (a count that
// is not the session's, a record that is not the last row, a notice the session did not keep) is
// recorded as Malformed.
struct ScanEvent {
    enum class Kind { Progress, NALUnitKept, RecordAdded, Notice, Finished, Malformed };
    Kind kind = Kind::Malformed;
    int64_t position = 0; // Progress
    int64_t total = 0;
    int64_t spsCount = 0;    // NALUnitKept: SPS counted at the call
    size_t count = 0;        // RecordAdded: rows listed at the call
    TARInfo *info = nullptr; // RecordAdded
    TScanNotice notice;      // Notice
};

class ScanRecorder {
public:
    // Binds every event of the scanner but the handler question. Hook, when set, runs after each event
    // is recorded.
    void Attach(TParser &parser) {
        TScanSession &session = parser.Session;
        parser.Events.OnProgress = [this](int64_t position, int64_t total) {
            ScanEvent event;
            event.kind = ScanEvent::Kind::Progress;
            event.position = position;
            event.total = total;
            Record(event);
        };
        parser.Events.OnRatioUnitKept = [this, &session](int64_t spsCount) {
            ScanEvent event;
            if (spsCount == session.RatioUnitCount)
                event.kind = ScanEvent::Kind::NALUnitKept;
            event.spsCount = spsCount;
            Record(event);
        };
        parser.Events.OnRecordAdded = [this, &session](TARInfo &record) {
            ScanEvent event;
            const TARInfoList &rows = session.ARInfoList;
            if (rows.Count() > 0 && rows.Items(rows.Count() - 1) == &record)
                event.kind = ScanEvent::Kind::RecordAdded;
            event.count = rows.Count();
            event.info = &record;
            Record(event);
        };
        parser.Events.OnNotice = [this, &session](const TScanNotice &notice) {
            ScanEvent event;
            if (!session.Notices.empty() && session.Notices.back().Text == notice.Text &&
                session.Notices.back().FileOffset == notice.FileOffset)
                event.kind = ScanEvent::Kind::Notice;
            event.notice = notice;
            Record(event);
        };
        parser.Events.OnFinished = [this] {
            ScanEvent event;
            event.kind = ScanEvent::Kind::Finished;
            Record(event);
        };
    }

    std::vector<ScanEvent> Of(ScanEvent::Kind kind) const {
        std::vector<ScanEvent> selected;
        for (const ScanEvent &event : Events)
            if (event.kind == kind)
                selected.push_back(event);
        return selected;
    }

    // The kinds in order, one letter each: P progress, N SPS kept, R record, * notice, ! finished,
    // ? malformed.
    std::string Sequence() const {
        std::string letters;
        for (const ScanEvent &event : Events)
            switch (event.kind) {
            case ScanEvent::Kind::Progress:
                letters += 'P';
                break;
            case ScanEvent::Kind::NALUnitKept:
                letters += 'N';
                break;
            case ScanEvent::Kind::RecordAdded:
                letters += 'R';
                break;
            case ScanEvent::Kind::Notice:
                letters += '*';
                break;
            case ScanEvent::Kind::Finished:
                letters += '!';
                break;
            case ScanEvent::Kind::Malformed:
                letters += '?';
                break;
            }
        return letters;
    }

    std::vector<ScanEvent> Events;
    std::function<void(const ScanEvent &)> Hook;

private:
    void Record(const ScanEvent &event) {
        Events.push_back(event);
        if (Hook)
            Hook(event);
    }
};

// How a scan ended: no error, or the kind and message of the error.
struct ScanOutcome {
    enum class Kind { None, General, InOut, InvalidOp };
    Kind kind = Kind::None;
    std::string message;
};

inline ScanOutcome Outcome(const std::function<void()> &scan) {
    ScanOutcome outcome;
    try {
        scan();
    } catch (const EInOutError &error) {
        outcome = {ScanOutcome::Kind::InOut, error.what()};
    } catch (const EInvalidOp &error) {
        outcome = {ScanOutcome::Kind::InvalidOp, error.what()};
    } catch (const Exception &error) {
        outcome = {ScanOutcome::Kind::General, error.what()};
    }
    return outcome;
}

// Scans the named file.
inline ScanOutcome RunScan(TParser &parser, const std::string &path) {
    return Outcome([&] { parser.Parse(path); });
}

// Scans bytes in memory, as the fuzzers do.
inline ScanOutcome RunScanOf(TParser &parser, const std::vector<uint8_t> &bytes) {
    TMemoryStream memory(bytes);
    return Outcome([&] { parser.Scan(memory); });
}

// The identifiers of a chunk's children, joined with spaces.
inline std::string ChildIds(const TGenericRIFFChunk &chunk) {
    std::string ids;
    for (const auto &child : chunk.Children)
        ids += (ids.empty() ? "" : " ") + child->ID;
    return ids;
}

inline const TGenericRIFFChunk *FindList(const TGenericRIFFChunk &chunk, const std::string &formType) {
    for (const auto &child : chunk.Children) {
        if (FourCCToString(child->ListType) == formType)
            return child.get();
        if (const TGenericRIFFChunk *found = FindList(*child, formType))
            return found;
    }
    return nullptr;
}

// Each scan reads into a session of its own through a scanner made for it, as the programs do for each
// file they open. Earlier sessions and their scanners stay alive until the test ends, so that a test can
// compare them with the latest.
class ScanTest : public testing::Test {
protected:
    // A fresh session and the scanner of the format reading into it, with the recorder attached and
    // emptied.
    TParser &NewScan(TFileFormat format) {
        TScan &scan = FScans.emplace_back();
        scan.Session = std::make_unique<TScanSession>();
        scan.Parser = CreateParser(format, *scan.Session);
        if (!scan.Parser)
            throw std::logic_error("no scanner for the format");
        Log.Events.clear();
        Log.Attach(*scan.Parser);
        return *scan.Parser;
    }
    TStreamParser &NewStreamScan() { return static_cast<TStreamParser &>(NewScan(TFileFormat::RawH264)); }
    TRIFFParser &NewRiffScan() { return static_cast<TRIFFParser &>(NewScan(TFileFormat::Avi)); }

    // The latest scan's session, its rows and its scanner.
    TScanSession &Session() { return *FScans.back().Session; }
    TARInfoList &Rows() { return Session().ARInfoList; }
    TParser &Parser() { return *FScans.back().Parser; }
    TRIFFParser &Riff() { return dynamic_cast<TRIFFParser &>(Parser()); }

    std::string Write(const std::string &name, const std::vector<uint8_t> &bytes) {
        std::string path = Dir.File(name);
        WriteFile(path, bytes);
        return path;
    }

    TempDir Dir;
    ScanRecorder Log;

private:
    struct TScan {
        std::unique_ptr<TScanSession> Session;
        std::unique_ptr<TParser> Parser; // declared after the session it reads into: destroyed first
    };
    std::deque<TScan> FScans;
};
