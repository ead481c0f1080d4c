#pragma once

// What the scanner tests share: a recorder of the scanners' events and a run that reports how a scan ended.

#include "TestFiles.h"
#include "base/Exceptions.h"
#include "scan/uRIFFParser.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// One call of OnProgress or OnFound. OnFound calls whose arguments have neither of the two allowed
// shapes are recorded as Malformed.
struct ScanEvent {
    enum class Kind { Progress, FoundNALUnit, FoundRecord, Malformed };
    Kind kind = Kind::Malformed;
    std::string text; // progress
    int64_t position = 0;
    int64_t total = 0;
    size_t count = 0;        // NAL units kept (FoundNALUnit) or records listed (FoundRecord) at the call
    TARInfo *info = nullptr; // FoundRecord
};

class ScanRecorder {
public:
    // Binds both events of the parser. Hook, when set, runs after each event is recorded.
    void Attach(TParser &parser) {
        parser.OnProgress = [this](const std::string &text, int64_t position, int64_t total) {
            ScanEvent event;
            event.kind = ScanEvent::Kind::Progress;
            event.text = text;
            event.position = position;
            event.total = total;
            Record(event);
        };
        parser.OnFound = [this, &parser](TARInfo *info, TARInfoList *list, TNALUnitList *units) {
            ScanEvent event;
            if (info == nullptr && list == nullptr && units == &parser.NALUnits) {
                event.kind = ScanEvent::Kind::FoundNALUnit;
                event.count = units->size();
            } else if (info != nullptr && list == ARInfoList && units == nullptr && list->Count() > 0 &&
                       list->Items(list->Count() - 1) == info) {
                event.kind = ScanEvent::Kind::FoundRecord;
                event.count = list->Count();
                event.info = info;
            }
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

    // The kinds in order, one letter each: P progress, N NAL unit, R record, ? malformed; "Ready." is "!".
    std::string Sequence() const {
        std::string letters;
        for (const ScanEvent &event : Events)
            switch (event.kind) {
            case ScanEvent::Kind::Progress:
                letters += event.text == "Ready." ? '!' : 'P';
                break;
            case ScanEvent::Kind::FoundNALUnit:
                letters += 'N';
                break;
            case ScanEvent::Kind::FoundRecord:
                letters += 'R';
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

inline ScanOutcome RunScan(TParser &parser, const std::string &path) {
    ScanOutcome outcome;
    try {
        parser.Parse(path);
    } catch (const EInOutError &error) {
        outcome = {ScanOutcome::Kind::InOut, error.what()};
    } catch (const EInvalidOp &error) {
        outcome = {ScanOutcome::Kind::InvalidOp, error.what()};
    } catch (const Exception &error) {
        outcome = {ScanOutcome::Kind::General, error.what()};
    }
    return outcome;
}

inline std::string ProgressText(int64_t position, int64_t total) {
    return std::to_string(position) + " / " + std::to_string(total) + " Bytes";
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

// Both scanners with recorders attached, over a fresh folder. The RIFF scanner owns ARInfoList.
class ScanTest : public testing::Test {
protected:
    ScanTest() {
        RiffLog.Attach(Riff);
        StreamLog.Attach(Stream);
    }

    // Clears the records and the recorded events, as the window does before each scan.
    void PrepareScan() {
        ARInfoList->Clear();
        RiffLog.Events.clear();
        StreamLog.Events.clear();
    }

    std::string Write(const std::string &name, const std::vector<uint8_t> &bytes) {
        std::string path = Dir.File(name);
        WriteFile(path, bytes);
        return path;
    }

    TempDir Dir;
    TRIFFParser Riff;
    TStreamParser Stream;
    ScanRecorder RiffLog;
    ScanRecorder StreamLog;
};
