#pragma once

// What the fuzz targets share: a scan of the input bytes from memory into a fresh session, with its
// events counted, and the properties every finished scan has, whatever the input.

#include "base/Exceptions.h"
#include "codec/Codec.h"
#include "scan/Parser.h"
#include "scan/ScanSession.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <vector>

// Stops the run as a finding when a property does not hold, naming the property's place.
inline void RequireAt(bool condition, const char *file, int line) {
    if (condition)
        return;
    std::fprintf(stderr, "property failed at %s:%d\n", file, line);
    std::abort();
}
#define Require(condition) RequireAt((condition), __FILE__, __LINE__)

// What every rewrite a codec makes of a unit's bytes keeps: a refusal comes without bytes; else the bytes
// have the unit's length and differ from it only inside the span the rewrite names. False for a refusal.
inline bool RequireRewriteInSpan(const std::vector<uint8_t> &before, const TUnitRewrite &rewrite) {
    if (!rewrite.Refusal.empty()) {
        Require(rewrite.Bytes.empty());
        return false;
    }
    Require(rewrite.Bytes.size() == before.size());
    Require(rewrite.First >= 0 && rewrite.First <= rewrite.Last &&
            rewrite.Last < static_cast<int64_t>(before.size()));
    for (size_t i = 0; i < before.size(); ++i)
        if (static_cast<int64_t>(i) < rewrite.First || static_cast<int64_t>(i) > rewrite.Last)
            Require(rewrite.Bytes[i] == before[i]);
    return true;
}

// A rewrite of a unit of a codec framed by start codes, checked: within its span, no start code made or
// broken (the 00 00 01 of the new bytes are those of the old), and the new bytes decode, as the old did.
// The unit they decode to; null for a refusal.
inline std::unique_ptr<TRatioUnit> RequireStartCodeRewrite(const TRatioUnit &unit,
                                                           const TUnitRewrite &rewrite) {
    const std::vector<uint8_t> &before = unit.Bytes();
    if (!RequireRewriteInSpan(before, rewrite))
        return nullptr;
    const std::vector<uint8_t> &after = rewrite.Bytes;
    for (size_t i = 0; i + 2 < before.size(); ++i)
        Require((after[i] == 0 && after[i + 1] == 0 && after[i + 2] == 1) ==
                (before[i] == 0 && before[i + 1] == 0 && before[i + 2] == 1));
    std::unique_ptr<TRatioUnit> decoded;
    try {
        decoded = unit.Codec().Decode(after, unit.Complete());
    } catch (const Exception &) {
        Require(false);
    }
    Require(decoded != nullptr);
    return decoded;
}

// A configuration record of units behind start codes (MPEG video, MPEG-4 Part 2) as the codec read it:
// each unit it found lies behind a start code at its offset, in order, with the record's bytes, states a
// ratio, is no longer than the codec reads, and ends before a start code over which it does not run on,
// or where the bytes end. Each unit is then handed to check.
inline void RequireStartCodeRecord(const TCodec &codec, const std::vector<uint8_t> &bytes,
                                   const std::function<void(const TConfigUnit &)> &check) {
    const TCodecConfig config = codec.ReadConfig(bytes);
    int64_t previousEnd = 0;
    for (const TConfigUnit &unit : config.Units) {
        Require(unit.Offset >= previousEnd + 3 && !unit.Bytes.empty());
        Require(unit.Offset + static_cast<int64_t>(unit.Bytes.size()) <= static_cast<int64_t>(bytes.size()));
        Require(std::equal(unit.Bytes.begin(), unit.Bytes.end(), bytes.begin() + unit.Offset));
        Require(bytes[unit.Offset - 1] == 1 && bytes[unit.Offset - 2] == 0 && bytes[unit.Offset - 3] == 0);
        Require(codec.StatesRatio(unit.Bytes[0]));
        Require(static_cast<int64_t>(unit.Bytes.size()) <= codec.MaxUnitBytes());
        const int64_t end = unit.Offset + static_cast<int64_t>(unit.Bytes.size());
        if (unit.Complete && end + 3 < static_cast<int64_t>(bytes.size()))
            Require(bytes[end] == 0 && bytes[end + 1] == 0 && bytes[end + 2] == 1 &&
                    !codec.ContinuesUnit(bytes[end + 3]));
        previousEnd = end;
        check(unit);
    }
}

// The input of a target of a start-code codec's header reader: the first byte chooses how the rest is read
// (bit 0: as a record of units, each checked with checkUnit; else as one unit, cut short where bit 1 is
// set, behind unitCode where bit 2 is set, so that most inputs reach the header's syntax), the second byte
// is handed on as the choice of the new ratio.
inline void RunStartCodeHeaderTarget(
    const uint8_t *data, size_t size, const TCodec &codec, uint8_t unitCode,
    const std::function<void(const std::vector<uint8_t> &, bool complete, uint8_t choice)> &checkUnit) {
    if (size < 2)
        return;
    const uint8_t mode = data[0];
    const uint8_t choice = data[1];
    std::vector<uint8_t> bytes;
    if ((mode & 4) != 0 && (mode & 1) == 0)
        bytes = {unitCode};
    bytes.insert(bytes.end(), data + 2, data + size);
    if (bytes.empty())
        return;
    if ((mode & 1) == 0) {
        checkUnit(bytes, (mode & 2) == 0, choice);
        return;
    }
    RequireStartCodeRecord(codec, bytes,
                           [&](const TConfigUnit &unit) { checkUnit(unit.Bytes, unit.Complete, choice); });
}

// What the scanner told while it ran.
struct FuzzEvents {
    int64_t Progress = 0;
    int64_t Kept = 0;
    int64_t Records = 0;
    int64_t Notices = 0;
    int64_t Finished = 0;

    // Counts every event of the parser, checking each as it comes.
    void Attach(TParser &parser) {
        TScanSession &session = parser.Session;
        parser.Events.OnProgress = [this, &session](int64_t position, int64_t total) {
            Require(total == session.FileSize && position >= 0 && position <= total);
            ++Progress;
        };
        parser.Events.OnRatioUnitKept = [this, &session](int64_t spsCount) {
            Require(spsCount == session.RatioUnitCount && spsCount == Kept + 1);
            ++Kept;
        };
        parser.Events.OnRecordAdded = [this, &session](TARInfo &record) {
            const TARInfoList &rows = session.ARInfoList;
            Require(rows.Count() == static_cast<size_t>(Records + 1) &&
                    rows.Items(rows.Count() - 1) == &record);
            ++Records;
        };
        parser.Events.OnNotice = [this, &session](const TScanNotice &notice) {
            Require(!notice.Text.empty() && notice.FileOffset >= 0 && notice.FileOffset <= session.FileSize);
            ++Notices;
        };
        parser.Events.OnFinished = [this] { ++Finished; };
    }
};

// What holds after every scan of these bytes: the end was told once; every SPS found was counted and told;
// the rows stand for SPS with a usable ratio, in file order, each unit's bytes lying in the file where its
// placement says, with the unit's positions counted from its header byte; the notices are kept up to
// their limit and point into the file. A scanner that reads units in pieces (packets) gives placements of
// several extents: each byte is checked where it lies, the pieces in file order, and the rows are in file
// order within each track.
inline void CheckScan(const TScanSession &session, const FuzzEvents &events, const uint8_t *data, size_t size,
                      bool inPieces = false) {
    const auto fileSize = static_cast<int64_t>(size);
    Require(session.FileSize == fileSize);
    Require(events.Finished == 1);
    Require(events.Kept == session.RatioUnitCount && session.RatioUnitCount >= 0 &&
            session.DamagedUnitCount >= 0);
    Require(events.Records == static_cast<int64_t>(session.ARInfoList.Count()));
    Require(session.Notices.size() <= TScanSession::MaxNotices);
    Require(session.NoticeCount >= static_cast<int64_t>(session.Notices.size()));
    Require(events.Notices == static_cast<int64_t>(session.Notices.size()));
    Require(session.DamagedUnitCount <= session.NoticeCount);
    for (const TScanNotice &notice : session.Notices)
        Require(notice.FileOffset >= 0 && notice.FileOffset <= fileSize);

    auto knownTrack = [&session](const TTrack *track) {
        return std::any_of(session.Tracks.begin(), session.Tracks.end(),
                           [track](const TTrack &known) { return &known == track; });
    };
    // The SPS rows come first; behind them, one container row for each track that states a ratio and has
    // no SPS row.
    size_t spsRows = 0;
    while (spsRows < session.ARInfoList.Count() && !session.ARInfoList.Items(spsRows)->IsContainerRow())
        ++spsRows;
    Require(static_cast<int64_t>(spsRows) <= session.RatioUnitCount);
    for (size_t i = spsRows; i < session.ARInfoList.Count(); ++i) {
        const TARInfo &record = *session.ARInfoList.Items(i);
        Require(record.IsContainerRow() && knownTrack(record.Track) && record.Track->HasStatement());
        const TRatio stated = record.Track->StatedSampleAspectRatio();
        Require(stated.X >= 1 && stated.Y >= 1);
        for (size_t j = 0; j < session.ARInfoList.Count(); ++j)
            Require(j == i || session.ARInfoList.Items(j)->Track != record.Track);
    }

    int64_t previous = -1;
    std::map<const TTrack *, int64_t> previousOfTrack;
    for (size_t i = 0; i < spsRows; ++i) {
        const TARInfo &record = *session.ARInfoList.Items(i);
        const TRatioUnit *unit = record.Unit;
        Require(unit != nullptr && !unit->Bytes().empty() && unit->Codec().StatesRatio(unit->Bytes()[0]));
        const std::vector<uint8_t> &bytes = unit->Bytes();
        const auto length = static_cast<int64_t>(bytes.size());
        // The payload begins behind the NAL unit header (one byte in H.264, two in HEVC), the ratio's
        // fields inside the unit.
        const int64_t header = unit->HeaderPosition();
        const int64_t fields = unit->FieldsPosition();
        Require(header >= 1 && header <= 2 && fields > header && fields < length);
        const int64_t at = record.Placement.FileOffset(0);
        if (inPieces) {
            const auto before = previousOfTrack.find(record.Track);
            Require(before == previousOfTrack.end() || at > before->second);
            previousOfTrack[record.Track] = at;
            int64_t place = -1;
            for (int64_t k = 0; k < length; ++k) {
                const int64_t next = record.Placement.FileOffset(k);
                Require(next > place && next < fileSize && data[next] == bytes[static_cast<size_t>(k)]);
                place = next;
            }
            Require(record.SpsOffset() == record.Placement.FileOffset(header) &&
                    record.VuiOffset() == record.Placement.FileOffset(fields));
        } else {
            Require(record.Placement.Contiguous() && at > previous && at >= 0 && at + length <= fileSize);
            Require(std::equal(bytes.begin(), bytes.end(), data + at));
            Require(record.SpsOffset() == at + header && record.VuiOffset() == at + fields);
        }
        Require(record.Track == nullptr || knownTrack(record.Track));
        previous = at;
    }
}
