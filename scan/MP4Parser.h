#pragma once

#include "Parser.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// ISO base media files (MP4, MOV, 3GP, M4V): walks the boxes without recursion, lists the SPS of every
// H.264 video track's decoder configurations (avcC) and of its samples, and hands over the track's
// container statements (pasp, tkhd, tapt). Samples are found through the sample tables (stsz/stz2,
// stco/co64, stsc), read a little at a time, or through movie fragments (moof/traf/tfhd/trun); in them
// only the NAL units' length prefixes and header bytes are read. Every field is read at its place behind
// its box's header as read (32- or 64-bit size), and the samples walked never add up to more bytes than
// the file holds: tables that claim more are damaged, and the walk stops there.
class TMP4Parser : public TParser {
public:
    explicit TMP4Parser(TScanSession &session);
    ~TMP4Parser() override;

    static constexpr size_t MaxBoxDepth = 32;
    // Tracks read from a movie header; more are told and passed over.
    static constexpr size_t MaxTracks = 256;

protected:
    void Walk(TStream &stream) override;

private:
    struct TBox {
        uint32_t Type = 0;
        int64_t Start = 0; // the box's first byte
        int64_t Data = 0;  // behind its header
        int64_t End = 0;   // as walked: never past the box around it or the file
    };
    struct TSampleEntry;
    struct TTrackInfo;

    // Reads the header of the box at offset, which must end by end; false when no box can be read there.
    // tell: notices of odd sizes are given (a look ahead reads quietly what the walk tells later).
    bool ReadBox(int64_t offset, int64_t end, TBox &box, bool tell = true);
    // The first box of the type at the top level of the file.
    bool FindTopLevel(uint32_t type, TBox &box);
    // Walks the boxes in [from, to) depth-first: enter says where a box's children begin (-1: none), leave
    // runs when the walk is done with a box that had children.
    void WalkBoxes(int64_t from, int64_t to,
                   const std::function<int64_t(const TBox &box, const TBox *parent)> &enter,
                   const std::function<void(const TBox &box)> &leave);

    void ReadMovie(const TBox &movie);
    void FinishTrack(TTrackInfo &info);
    void ReadConfiguration(TTrackInfo &info, TSampleEntry &entry);
    void ReadDescriptor(const TBox &box, TSampleEntry &entry, uint32_t trackId);
    void ScanSampleTables(TTrackInfo &info);
    void ReadFragment(const TBox &fragment);
    struct TRunPlace;
    void ReadRun(const TBox &run, TRunPlace &place);
    // Counts a walked sample of a scanned track against the bytes of the file; false (told once) when the
    // samples walked add up to more, which only damaged tables make them do.
    bool WithinSampleBytes(TTrackInfo &info, int64_t offset, int64_t size);
    // Scans one sample for SPS; false when the sample lies past the end of the file.
    bool ScanSample(TTrackInfo &info, const TSampleEntry &entry, int64_t offset, int64_t size);
    TTrackInfo *TrackById(uint32_t id);

    uint32_t Read32(int64_t offset);
    uint64_t Read64(int64_t offset);
    void Read(int64_t offset, uint8_t *bytes, size_t count);

    TStream *FStream = nullptr;
    int64_t FFileSize = 0;
    // The bytes the samples walked may still take; once spent, no more samples are walked.
    int64_t FSampleBytesLeft = 0;
    bool FSampleBytesSpent = false;
    std::vector<std::unique_ptr<TTrackInfo>> FTracks;
};
