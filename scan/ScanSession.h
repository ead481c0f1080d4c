#pragma once

// What one scan of one file found: the rows, the units they stand for, the video tracks with their
// container statements, and what could not be read. The fronts keep one session per open file; every
// record, unit and track lives as long as its session.

#include "ARInfo.h"
#include "Checksum.h"
#include "ContainerStatement.h"
#include "FormatProbe.h"
#include "codec/Codec.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Something of the file that the scan could not read as it should, with where it lies. The scan goes on
// after it where it can.
struct TScanNotice {
    enum class TKind {
        DamagedUnit, // a unit that states a ratio but breaks its standard or is cut short: not listed
        NotScanned,  // a part of the file that was not scanned
        Structure,   // the container's structure says something odd, read as well as it goes
    };
    TKind Kind = TKind::Structure;
    int64_t FileOffset = 0;
    std::string Text;
};

class TScanSession {
public:
    TScanSession() = default;
    TScanSession(const TScanSession &) = delete;
    TScanSession &operator=(const TScanSession &) = delete;

    std::string FileName;
    int64_t FileSize = 0;
    TFileFormat Format = TFileFormat::RawH264;
    TARInfoList ARInfoList{*this};
    // Every unit found that can state a ratio (an SPS), whether or not it does (damaged ones are not
    // counted here).
    int64_t RatioUnitCount = 0;
    int64_t DamagedUnitCount = 0;
    std::deque<TTrack> Tracks;
    // The checksums the container keeps over parts of the file, in file order; a save brings those of the
    // parts it changes up to date.
    std::vector<TChecksumRegion> ChecksumRegions;
    // The first MaxNotices notices; NoticeCount counts them all.
    static constexpr size_t MaxNotices = 100;
    std::vector<TScanNotice> Notices;
    int64_t NoticeCount = 0;

    TTrack &AddTrack(int number, std::string label);
    // The names of the tracks' codecs, each once, in the order of the tracks.
    std::vector<std::string> CodecNames() const;
    // The codec whose units state the ratio in the file, for the texts that name them: that of its first
    // row with a unit, else of its first track read, else of its elementary stream; H.264 when nothing
    // tells.
    const TCodec &RatioCodec() const;
    // Keeps the notice while there is room; true when it was kept.
    bool AddNotice(TScanNotice notice);

    // Decoded units that have rows, one per codec and distinct content: an SPS repeated before every key
    // frame is decoded and kept once.
    const TRatioUnit *FindUnit(const TCodec &codec, const std::vector<uint8_t> &bytes, bool complete) const;
    const TRatioUnit *KeepUnit(std::unique_ptr<TRatioUnit> unit);
    size_t UnitCount() const { return FUnits.size(); }
    // Units of so many different contents are decoded and listed at the most (real files have a handful;
    // each costs about a kilobyte); those of further contents are counted, not listed.
    static constexpr size_t MaxDistinctUnits = 16384;
    // Why units found were not listed (the limit above), empty when every one was: then nothing of the
    // file may be changed.
    std::string NotListed;
    // One row per place in the file: true the first time a unit of that content is found at that file
    // offset, false when the container points at it again (chunks or frames that share bytes).
    bool FirstAtPlace(int64_t fileOffset, const TRatioUnit *unit);
    // Why what the session holds no longer matches the file: a save moved elements of it. Nothing more is
    // planned from the session then; the file is to be read again.
    std::string Outdated;
    // A reason text kept as long as the session (records refer to it); equal texts are kept once.
    const std::string *KeepReason(const std::string &reason);

private:
    static std::string UnitKey(const TCodec &codec, const std::vector<uint8_t> &bytes, bool complete);
    std::unordered_map<std::string, std::unique_ptr<TRatioUnit>> FUnits;
    std::set<std::string> FReasons;
    std::set<std::pair<int64_t, const TRatioUnit *>> FListedPlaces;
};
