#include "Parser.h"

#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/uFastBitStream.h"

namespace {

// Tells the end of a scan however it ends; a failing receiver neither replaces the error that ended the
// scan nor ends the program.
class TFinishedReport {
public:
    explicit TFinishedReport(const TScanEvents &events) : FEvents(events) {}
    ~TFinishedReport() {
        try {
            if (FEvents.OnFinished)
                FEvents.OnFinished();
        } catch (...) {
        }
    }
    TFinishedReport(const TFinishedReport &) = delete;
    TFinishedReport &operator=(const TFinishedReport &) = delete;

private:
    const TScanEvents &FEvents;
};

} // namespace

void TParser::Parse(const std::string &fileName) {
    if (!FileExists(fileName))
        throw EInOutError(Format(SFileNotFound, fileName));
    TFileStream file(fileName, TFileOpenMode::ReadShareDenyWrite);
    Session.FileName = fileName;
    Scan(file);
    // What was found may no longer be where it was found: rows of it must not be written.
    if (file.ChangedSinceOpen())
        throw EInOutError(Format(SFileChangedWhileRead, fileName));
}

void TParser::Scan(TStream &stream) {
    Session.FileSize = stream.Size();
    TFinishedReport finished(Events);
    try {
        Walk(stream);
    } catch (...) {
        AddContainerRows(); // the tracks found before the error are listed as well
        throw;
    }
    AddContainerRows();
    if (!Session.NotListed.empty())
        GuardTrack(nullptr, Session.NotListed);
}

// A track whose container states its ratio but none of whose units has a row is listed by its container
// statement, so that the ratio players read from the container can still be changed. A track changed in
// its container alone whose container states nothing is told: nothing of it can be changed.
void TParser::AddContainerRows() {
    for (TTrack &track : Session.Tracks) {
        const TRatio stated = track.StatedSampleAspectRatio();
        if (stated.X < 1 || stated.Y < 1) {
            if (track.ContainerOnly())
                Notice(TScanNotice::TKind::Structure,
                       track.HasStatement() ? track.Statements.front()->FileOffset() : 0,
                       Format(SNoStatementPlace, track.Label, track.Codec->Name));
            continue; // states nothing a row could show
        }
        bool listed = false;
        for (size_t i = 0; i < Session.ARInfoList.Count() && !listed; ++i)
            listed = Session.ARInfoList.Items(i)->Track == &track;
        if (listed)
            continue;
        TARInfo record;
        record.Track = &track;
        TARInfo &added = Session.ARInfoList.Add(record);
        if (Events.OnRecordAdded)
            Events.OnRecordAdded(added);
    }
}

void TParser::TakeUnreadTrack(TTrack &track, int64_t fileOffset, const std::string &name) {
    if (track.ContainerOnly())
        return;
    const std::string codec = track.Codec != nullptr ? std::string(track.Codec->Name) : name;
    Notice(TScanNotice::TKind::NotScanned, fileOffset, Format(SUnreadCodecStream, track.Label, codec));
    track.NotWritten = track.Codec != nullptr ? Format(SUnreadCodecNotWritten, track.Label, codec)
                                              : Format(SUnknownCodecNotWritten, track.Label, codec);
}

void TParser::GuardTrack(TTrack *track, const std::string &reason) {
    const std::string *kept = Session.KeepReason(reason);
    for (size_t row = 0; row < Session.ARInfoList.Count(); ++row) {
        TARInfo &record = *Session.ARInfoList.Items(row);
        if ((track == nullptr || record.Track == track) && record.NotChangeable == nullptr)
            record.NotChangeable = kept;
    }
    for (TTrack &guarded : Session.Tracks)
        if ((track == nullptr || &guarded == track) && guarded.NotWritten.empty())
            guarded.NotWritten = reason;
}

void TParser::ReportProgress(int64_t position, int64_t total) const {
    if (Events.OnProgress)
        Events.OnProgress(position, total);
}

void TParser::Notice(TScanNotice::TKind kind, int64_t fileOffset, const std::string &text) {
    TScanNotice notice{kind, fileOffset, text};
    if (Session.AddNotice(notice) && Events.OnNotice)
        Events.OnNotice(notice);
}

void TParser::KeepUnit(const TCodec &codec, TNalUnitBytes bytes, const TPlacement &placement, TTrack *track,
                       const std::string *notChangeable) {
    const TRatioUnit *unit = Session.FindUnit(codec, bytes.Bytes, bytes.Complete);
    if (unit == nullptr) {
        const std::string unread = codec.UnreadReason(bytes.Bytes);
        if (!unread.empty()) {
            Notice(TScanNotice::TKind::NotScanned, placement.FileOffset(0),
                   Format(SUnitNotRead, codec.UnitName(), placement.FileOffset(0), unread));
            return;
        }
        std::unique_ptr<TRatioUnit> decoded;
        std::string damage;
        try {
            decoded = codec.Decode(std::move(bytes.Bytes), bytes.Complete);
        } catch (const EInOutError &) {
            damage = SUnitCutShort;
        } catch (const Exception &error) {
            damage = error.what();
        }
        if (!damage.empty()) {
            ++Session.DamagedUnitCount;
            Notice(TScanNotice::TKind::DamagedUnit, placement.FileOffset(0),
                   Format(SDamagedUnit, codec.UnitName(), placement.FileOffset(0), damage));
            return;
        }
        if (decoded) {
            if (Session.UnitCount() < TScanSession::MaxDistinctUnits) {
                unit = Session.KeepUnit(std::move(decoded));
            } else if (Session.NotListed.empty()) {
                Session.NotListed =
                    Format(STooManyDistinctUnits, codec.UnitName(), TScanSession::MaxDistinctUnits);
                Notice(TScanNotice::TKind::NotScanned, placement.FileOffset(0), Session.NotListed);
            }
        }
    }
    ++Session.RatioUnitCount;
    if (Events.OnRatioUnitKept)
        Events.OnRatioUnitKept(Session.RatioUnitCount);
    if (unit == nullptr)
        return; // no ratio field, or past the limit: counted, not listed
    if (!Session.FirstAtPlace(placement.FileOffset(0), unit))
        return; // listed already: its row stands for every reference to it
    TARInfo record;
    record.Unit = unit;
    record.Placement = placement;
    record.Track = track;
    record.NotChangeable = notChangeable;
    TARInfo &added = Session.ARInfoList.Add(record);
    if (Events.OnRecordAdded)
        Events.OnRecordAdded(added);
}

template <typename TSource, typename TProgress, typename TPlace>
void TParser::ScanUnits(const TCodec &codec, TSource &source, const TProgress &reportProgress,
                        const TPlace &placement, TTrack *track, const std::string *notChangeable,
                        TAnnexBScan how) {
    while (!Aborted) {
        if (how.Progress)
            reportProgress();
        if (!source.Next())
            return;
        if (codec.StatesRatio(source.Header())) {
            TNalUnitBytes unit = source.ReadUnit(codec.MaxUnitBytes());
            const TPlacement place = placement(source.Start(), static_cast<int64_t>(unit.Bytes.size()));
            KeepUnit(codec, std::move(unit), place, track, notChangeable);
        }
        if (how.FirstUnitOnly && !codec.LeadsRatioUnit(source.Header()))
            return;
    }
}

void TParser::ScanAnnexB(const TCodec &codec, TFastBitstream &reader,
                         const std::function<TPlacement(int64_t start, int64_t count)> &placement,
                         TTrack *track, const std::string *notChangeable, TAnnexBScan how) {
    TAnnexBSource source(reader, &codec);
    ScanUnits(
        codec, source, [&] { ReportProgress(reader.Stream()->Position(), reader.Stream()->Size()); },
        placement, track, notChangeable, how);
}

void TParser::ScanLengthPrefixed(const TCodec &codec, TLengthPrefixedSource &source, TTrack *track,
                                 const std::string *notChangeable) {
    ScanUnits(
        codec, source, [] {}, [](int64_t at, int64_t) { return TPlacement(at); }, track, notChangeable, {});
}

// All bytes of the range are read already.
void TParser::ScanAnnexB(const TCodec &codec, const uint8_t *bytes, int64_t start, int64_t end, TTrack *track,
                         const std::string *notChangeable, TAnnexBScan how) {
    TAnnexBBytes source(bytes, start, end, &codec);
    ScanUnits(
        codec, source, [&] { ReportProgress(end, Session.FileSize); },
        [](int64_t at, int64_t) { return TPlacement(at); }, track, notChangeable, how);
}
