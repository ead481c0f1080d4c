#pragma once

// The units of a codec that state an aspect ratio, found in a byte stream that arrives in pieces (the
// payload of PES packets cut into transport stream packets): a start code may be split between pieces,
// and a unit's bytes may lie in several, each piece at its own file offset.

#include "base/ByteView.h"
#include "codec/Codec.h"
#include "codec/NalSource.h"

#include <cstdint>
#include <vector>

// What a unit collector hands on.
class TUnitConsumer {
public:
    virtual ~TUnitConsumer() = default;
    // A unit that states a ratio begins: its bytes are collected from here on.
    virtual void UnitBegins() = 0;
    // The unit has ended (or MaxUnitBytes of it were read): its bytes, and where each of them lies.
    virtual void UnitEnds(TNalUnitBytes unit, TPlacement placement) = 0;
};

class TUnitCollector {
public:
    TUnitCollector(const TCodec &codec, TUnitConsumer &consumer) : FCodec(codec), FConsumer(consumer) {}

    // The next count bytes of the stream, from file offset offset on. startCodeInside false: the caller
    // knows that no start code lies wholly among them (one begun in the bytes before may still end in
    // their first two), and they are not searched.
    void Read(const uint8_t *bytes, int64_t count, int64_t offset, bool startCodeInside = true);
    // The bytes read next do not follow those before them: no start code joins the two. A unit being
    // collected goes on (whoever breaks the stream says why it can not be changed).
    void Break();
    // The stream ends: the unit being collected ends with it.
    void Finish();
    // The stream is no longer of this codec: the unit being collected is dropped.
    void Drop() { FCollecting = false; }
    bool Collecting() const { return FCollecting; }

private:
    void Collect(const uint8_t *bytes, int64_t count, int64_t offset);
    void End(int64_t end, bool complete);

    const TCodec &FCodec;
    TUnitConsumer &FConsumer;
    // Start codes: zero bytes just read (up to two), and a start code whose header byte is next.
    int FZeros = 0;
    bool FAwaitHeader = false;
    // The unit being collected: its bytes and where they lie.
    bool FCollecting = false;
    std::vector<uint8_t> FBytes;
    std::vector<TExtent> FExtents;
};
