#pragma once

// What every codec tells the rest of the program: how its units are found, which of them state an
// aspect ratio, what such a unit states (decoded from its own bytes), what may replace it in place, and
// the unit's bytes with a new ratio written. Containers hand over units; nothing outside a codec's folder
// reads its syntax.

#include "base/Ratio.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TCodec;

// How a codec's units lie in a byte stream, behind start codes; MP4 samples and Matroska frames give
// their length in front of each unit instead, whatever the codec.
enum class TUnitFraming {
    AnnexB,     // 00 00 01 start codes and emulation-prevention bytes (H.264, HEVC)
    StartCodes, // 00 00 01 start codes without emulation prevention (MPEG-1/2 video, MPEG-4 Part 2)
};

// One unit that states an aspect ratio, decoded from its bytes as they lie in the file. Positions count
// from the unit's first byte (the byte behind its start code or length).
class TRatioUnit {
public:
    virtual ~TRatioUnit() = default;

    const TCodec &Codec() const { return *FCodec; }
    // The bytes as they lie in the file; Complete() is false when they are only the start of a longer unit.
    virtual const std::vector<uint8_t> &Bytes() const = 0;
    virtual bool Complete() const = 0;

    // The ratio code as stated (H.264: aspect_ratio_idc), and the sample aspect ratio the unit states
    // (its custom terms, or its code's ratio); 0:0 when it states none.
    virtual uint8_t Code() const = 0;
    virtual TRatio Sar() const = 0;
    // The picture size the ratio applies to, in samples.
    virtual int32_t Width() const = 0;
    virtual int32_t Height() const = 0;
    // The number of the header among its kind (an SPS's seq_parameter_set_id), -1 when it has none.
    virtual int32_t Id() const = 0;
    // Where the header's payload begins (byte), and the first bit of the syntax that holds the ratio.
    virtual int64_t HeaderPosition() const = 0;
    virtual int64_t FieldsPosition() const = 0;
    virtual uint8_t FieldsBitOffset() const = 0;
    // What else the header says about the picture that users look at beside the ratio.
    virtual std::string VideoFormatText() const = 0;
    virtual std::string OverscanText() const = 0;

protected:
    explicit TRatioUnit(const TCodec &codec) : FCodec(&codec) {}

private:
    const TCodec *FCodec;
};

// A unit with a new ratio written into its bytes, or why it can not be done in place.
struct TUnitRewrite {
    std::string Refusal;
    std::vector<uint8_t> Bytes;
    // The bytes that were changed and those the codec's rules judged beside them: the file must still hold
    // all of them as scanned when the change is written.
    int64_t First = 0;
    int64_t Last = -1;
};

// A codec's decoder configuration record (MP4 sample entry box, Matroska CodecPrivate): the units it holds
// that state a ratio, and the length-prefix size of the units in samples and frames.
struct TConfigUnit {
    int64_t Offset = 0; // of the unit's first byte in the record
    std::vector<uint8_t> Bytes;
    bool Complete = true;
};
struct TCodecConfig {
    int LengthSize = 4;
    std::vector<TConfigUnit> Units;
};

// What a ratio change asks of a unit in the codec's own terms: a code of its table, or its custom code
// with the ratio's terms.
struct TCodeChoice {
    uint8_t Code = 0;
    TRatio Custom;
    std::string Refusal;
};

class TCodec {
public:
    virtual ~TCodec() = default;

    // The key in files and options ("h264"), the name users read ("H.264"), and what its ratio-bearing
    // unit and the part of it that holds the ratio are called ("SPS", "VUI").
    virtual const char *Key() const = 0;
    virtual const char *Name() const = 0;
    virtual const char *UnitName() const = 0;
    virtual const char *FieldsName() const = 0;
    // What its ratio code is called ("aspect_ratio_idc").
    virtual const char *CodeName() const = 0;
    // What its decoder configuration record is called ("AVC decoder configuration").
    virtual const char *ConfigName() const = 0;

    // Finding units.
    virtual TUnitFraming Framing() const = 0;
    // Whether the unit that begins with this byte states an aspect ratio.
    virtual bool StatesRatio(uint8_t firstByte) const = 0;
    // Whether the unit that begins with this byte is one the codec puts ahead of the unit that states
    // the ratio at the head of a coded picture (HEVC's VPS): a scan of each frame's first unit passes
    // over these to reach it.
    virtual bool LeadsRatioUnit(uint8_t) const { return false; }
    // Whether a unit runs on over a start code of this value instead of ending before it (MPEG video's
    // sequence header takes in the extensions and user data behind it). Never so for NAL units.
    virtual bool ContinuesUnit(uint8_t) const { return false; }
    // Reading such a unit never needs more of its bytes than this: longer ones are cut here.
    virtual int64_t MaxUnitBytes() const = 0;
    // Why a unit that states a ratio is left unread (its syntax is one this program does not read, as an
    // HEVC SPS of a layer above the base layer); empty for a unit Decode reads.
    virtual std::string UnreadReason(const std::vector<uint8_t> &) const { return {}; }
    // Decodes a unit from its bytes, reading nothing outside them. Null when it has no ratio field to
    // list; raises EInOutError when the bytes end before its syntax does, Exception when it is damaged.
    virtual std::unique_ptr<TRatioUnit> Decode(std::vector<uint8_t> bytes, bool complete) const = 0;
    // Reads a decoder configuration record; raises Exception with the reason when it is damaged.
    virtual TCodecConfig ReadConfig(const std::vector<uint8_t> &record) const = 0;
    // Whether a PES packet's payload begins as an access unit of this codec does (for transport streams
    // that name none of their streams).
    virtual bool BeginsAccessUnit(const uint8_t *bytes, size_t size) const = 0;

    // The ratio table.
    // The code that says "custom ratio follows", 0 when the codec has none, and the largest custom term.
    virtual uint8_t CustomCode() const = 0;
    virtual int64_t MaxCustomTerm() const = 0;
    // The codes of the table users may choose, in order, and how a list shows each ("12:11  (  4:3 PAL ...").
    virtual std::vector<uint8_t> PredefinedCodes() const = 0;
    virtual std::string CodeLabel(uint8_t code) const = 0;
    // The sample aspect ratio a code of the table states for a picture of width x height samples (codes
    // of some codecs state the display's ratio); 0:0 for a code that states none.
    virtual TRatio SarOfCode(uint8_t code, int64_t width, int64_t height) const = 0;
    // The code of the table whose ratio is sar at that picture size, 0 for none.
    virtual uint8_t CodeForSar(TRatio sar, int64_t width, int64_t height) const = 0;
    // Whether the unit's code states no ratio (players then take square samples).
    virtual bool StatesNoRatio(uint8_t code) const = 0;

    // What may replace what in place: empty when code may replace the unit's code, else why not.
    virtual std::string ReplacementRefusal(const TRatioUnit &unit, uint8_t code) const = 0;
    // The code that states sar in the unit's place: one of the table where the unit holds one, the custom
    // form where it holds that; Refusal when neither fits.
    virtual TCodeChoice ChooseFor(const TRatioUnit &unit, TRatio sar) const = 0;
    // The unit's bytes with the code (and custom terms) written in place, checked against the codec's own
    // rules for its bytes; Refusal when they can not be written there. fieldsFileOffset names the place in
    // messages.
    virtual TUnitRewrite Rewrite(const TRatioUnit &unit, uint8_t code, TRatio custom,
                                 int64_t fieldsFileOffset) const = 0;
};
