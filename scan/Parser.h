#pragma once

// The scanning contract every scanner follows: it walks its format's structure and hands over the units
// of each track's codec and the container statements; the per-unit step that keeps a unit that states a
// ratio and adds its row is shared.

#include "ScanSession.h"
#include "base/ByteView.h"
#include "base/Streams.h"
#include "codec/NalSource.h"

#include <cstdint>
#include <functional>
#include <string>

// What a scan tells while it runs, on the caller's thread, from inside Parse.
struct TScanEvents {
    // How far the scan has read: position of total bytes.
    std::function<void(int64_t position, int64_t total)> OnProgress;
    // A unit that can state a ratio (an SPS) was found (count of them so far), with or without a ratio.
    std::function<void(int64_t count)> OnRatioUnitKept;
    // A row was added for a unit with a ratio field.
    std::function<void(TARInfo &record)> OnRecordAdded;
    // Something could not be read as it should; the scan goes on where it can.
    std::function<void(const TScanNotice &notice)> OnNotice;
    // An AVI video stream's handler code names no codec the program knows: true scans it anyway as H.264,
    // false (or no handler) ends the scan.
    std::function<bool(const std::string &fourCC)> OnForeignHandler;
    // The scan has ended: done, aborted or failed.
    std::function<void()> OnFinished;
};

class TParser {
public:
    explicit TParser(TScanSession &session) : Session(session) {}
    virtual ~TParser() = default;
    TParser(const TParser &) = delete;
    TParser &operator=(const TParser &) = delete;

    // Opens the file for reading (other programs may read it, not write it) and scans it into the session.
    // A file that gets shorter during the scan ends it with an error; one changed or replaced under its
    // name meanwhile gives an error after it.
    void Parse(const std::string &fileName);
    // Scans a stream already open, a file or bytes in memory, into the session.
    void Scan(TStream &stream);

    // Set by the caller before the scan, and to stop it: the scan ends at its next look.
    bool Aborted = false;
    // False: only the first unit of each piece of video data (AVI chunk) is looked at; a raw stream is
    // read whole in any case.
    bool DeepScan = true;
    TScanEvents Events;
    TScanSession &Session;

protected:
    // The walk of the format's structure.
    virtual void Walk(TStream &stream) = 0;

    void ReportProgress(int64_t position, int64_t total) const;
    // Keeps a track whose units the walk could not all read from being changed: none of its rows and not
    // its container statement, each with the reason, so that a save never claims what it did not do. No
    // track: every row and every track of the file.
    void GuardTrack(TTrack *track, const std::string &reason);
    void AddContainerRows();
    // A video track whose bitstream the program does not read, its codec as the container names it
    // (track.Codec; null for a codec unknown here, then name is the container's name of it). A codec whose
    // bitstream states no ratio leaves the container's statement all there is, and it may be changed
    // alone; the statement of any other is listed but not written, so that container and bitstream can not
    // come to disagree. fileOffset: where the container describes the track, for the notice.
    void TakeUnreadTrack(TTrack &track, int64_t fileOffset, const std::string &name);
    void Notice(TScanNotice::TKind kind, int64_t fileOffset, const std::string &text);

    // The per-unit step for a unit of the codec that states a ratio: its bytes as found, where they lie in
    // the file, the track it belongs to and why it can not be changed in place, if it can not. Keeps and
    // counts the unit and adds its row when it has a ratio field; a damaged unit is counted and noticed
    // instead.
    void KeepUnit(const TCodec &codec, TNalUnitBytes unit, const TPlacement &placement, TTrack *track,
                  const std::string *notChangeable = nullptr);
    // How ScanAnnexB goes through its range.
    struct TAnnexBScan {
        // Only the first NAL unit of the range is looked at, past those the codec puts ahead of its ratio
        // unit.
        bool FirstUnitOnly = false;
        bool Progress = false; // progress is reported before each search for a start code
    };
    // The units of a byte stream of the codec in the reader's range, each that states a ratio through
    // KeepUnit; placement maps stream positions to the file.
    void ScanAnnexB(const TCodec &codec, TFastBitstream &reader,
                    const std::function<TPlacement(int64_t start, int64_t count)> &placement, TTrack *track,
                    const std::string *notChangeable, TAnnexBScan how);
    // The same over a range of the file whose bytes are in memory (bytes[0] is the byte at file offset
    // start): the same units with less work per range, for ranges as small as the frames of an AVI.
    void ScanAnnexB(const TCodec &codec, const uint8_t *bytes, int64_t start, int64_t end, TTrack *track,
                    const std::string *notChangeable, TAnnexBScan how);
    // The units of a sample or frame whose units follow their lengths, each that states a ratio through
    // KeepUnit at the file offset the source gives it.
    void ScanLengthPrefixed(const TCodec &codec, TLengthPrefixedSource &source, TTrack *track,
                            const std::string *notChangeable);

private:
    template <typename TSource, typename TProgress, typename TPlace>
    void ScanUnits(const TCodec &codec, TSource &source, const TProgress &reportProgress,
                   const TPlace &placement, TTrack *track, const std::string *notChangeable, TAnnexBScan how);
};
