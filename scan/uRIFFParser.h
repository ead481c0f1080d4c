#pragma once

#include "Parser.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TFastBitstream;
class TRIFFParser;

// One chunk of a RIFF file, with its sub-chunks for RIFF and LIST chunks. The tree keeps the header
// chunks and the lists, and of the movie data only the chunks that hold an SPS: an AVI of millions of
// chunks is walked with little memory.
class TGenericRIFFChunk {
public:
    explicit TGenericRIFFChunk(TGenericRIFFChunk *parent) : Parent(parent) {}
    TGenericRIFFChunk(const TGenericRIFFChunk &) = delete;
    TGenericRIFFChunk &operator=(const TGenericRIFFChunk &) = delete;

    void ClearChildren() { Children.clear(); }
    bool IsFourCC(uint32_t code) const { return FourCC == code; }
    bool IsList() const;
    // Bytes of the payload, or of the sub-chunk area behind a list's form type, as the header says.
    int64_t ContentSize() const;
    // File offset just behind them.
    int64_t DataEnd() const;

    std::string ID;
    uint32_t FourCC = 0;
    uint32_t Size = 0;
    uint32_t ListType = 0;
    int64_t HeaderPos = 0;
    int64_t DataPos = 0;
    // Where the walk took the chunk to end: DataEnd, or less where the chunk claims more than its list or
    // the file holds.
    int64_t WalkEnd = 0;
    TGenericRIFFChunk *Parent = nullptr;
    std::vector<std::unique_ptr<TGenericRIFFChunk>> Children;
    TRIFFParser *Parser = nullptr;
};

// AVI files: walks the first RIFF chunk and the OpenDML "AVIX" chunks after it, and scans the payload of
// every "..dc" chunk (and the decoder configuration behind a video stream's format) for NAL units. The
// walk keeps no recursion: lists are nested at most MaxListDepth deep.
class TRIFFParser : public TParser {
public:
    explicit TRIFFParser(TScanSession &session);
    ~TRIFFParser() override;

    static constexpr size_t MaxListDepth = 64;
    // Chunks without an SPS kept in the tree, beyond which only chunks with an SPS are kept.
    static constexpr size_t MaxKeptChunks = 4096;
    // Of a large chunk the first-unit scan looks at this much first: the first unit begins there.
    static constexpr int64_t FirstUnitView = 4096;

    std::unique_ptr<TGenericRIFFChunk> RootChunk;
    // The top-level "RIFF" "AVIX" chunks that follow the first one in an OpenDML file, with their trees.
    std::vector<std::unique_ptr<TGenericRIFFChunk>> ExtensionChunks;
    std::unique_ptr<TFastBitstream> Bitstream; // exists only while a scan runs

protected:
    void Walk(TStream &stream) override;

private:
    // One AVI stream, in the order of the stream lists: its type and, for video, its track.
    struct TStreamInfo {
        std::string Type;
        TTrack *Track = nullptr;
        bool HasProperties = false;
    };

    // Reads a chunk header at offset; false when the file ends inside it.
    bool ReadHeader(TStream &stream, TGenericRIFFChunk &chunk, int64_t offset);
    // Walks a top-level chunk whose header is read; returns where the walk ended.
    int64_t WalkTree(TStream &stream, TGenericRIFFChunk &top);
    // Handles a chunk that is not a list; true when it is worth keeping in the tree.
    bool HandleChunk(TStream &stream, TGenericRIFFChunk &chunk);
    void ReadStreamHeader(TStream &stream, TGenericRIFFChunk &chunk);
    void ReadVideoProperties(TStream &stream, TGenericRIFFChunk &chunk);
    void ReadBitmapSize(TStream &stream, const TGenericRIFFChunk &chunk, TTrack &track);
    // Plain chunks of movie data whose headers lie in the view, one after the other, without a chunk
    // object each; returns where it left the walk to WalkTree.
    int64_t WalkMovieChunks(TGenericRIFFChunk &list, int64_t cursor);
    // The track of a video data chunk's stream, if any.
    TTrack *TrackOfDataChunk(const std::string &id);
    // Scans a payload from start to end for NAL units; true when an SPS was found.
    bool ScanPayload(int64_t start, int64_t end, TTrack *track);
    // How many bytes of a payload from start to end the scan reads; -1 when that shows only in reading.
    int64_t BytesToScan(const TCodec &codec, TStream &stream, int64_t start, int64_t end);
    // The count bytes at offset in memory: in what the stream lent last, or in a new loan; null when the
    // stream lends none of them (they are read then). Walking chunks that lie in memory costs no call to
    // the stream per chunk.
    const uint8_t *View(TStream &stream, int64_t offset, int64_t count);
    // A chunk object for the next header: the one last dropped from the tree, or a new one.
    std::unique_ptr<TGenericRIFFChunk> NewChunk(TGenericRIFFChunk *parent);
    // Whether the tree keeps a chunk just walked.
    bool Keeps(bool holdsSps, bool inMovie);
    // Decides on the last child of list, a list just walked.
    void KeepOrDrop(TGenericRIFFChunk &list, bool holdsSps, bool inMovie);
    TStreamInfo *CurrentStream();
    void NoticeCutShort(int64_t offset);

    std::vector<TStreamInfo> FStreams;
    std::unique_ptr<TGenericRIFFChunk> FSpare;
    int64_t FFileSize = 0; // the stream's size, asked once
    TLentBytes FView;
    int64_t FViewStart = 0;
    size_t FKeptChunks = 0;
    bool FCutShortNoticed = false;
};

uint32_t MakeFourCC(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
std::string FourCCToString(uint32_t code);
