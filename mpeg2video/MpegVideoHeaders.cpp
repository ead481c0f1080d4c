#include "MpegVideoHeaders.h"

#include "base/Exceptions.h"
#include "base/Streams.h"
#include "bitstream/SyntaxElements.h"
#include "bitstream/uFastBitStream.h"

#include <algorithm>

namespace {

void ReadMarker(TFastBitstream &reader) {
    ReadBitsInRange(reader, 1, "marker_bit", 1, 1);
}

// A bit position of the reader as counted from the unit's first byte.
int64_t BitOf(const TFastBitstream &reader) {
    return reader.Position() * 8 + reader.BitOffset();
}

void SkipQuantiserMatrix(TFastBitstream &reader) {
    for (int i = 0; i < 64; ++i)
        ReadBitsInRange(reader, 8, "quantiser matrix entry", 1, 255);
}

std::unique_ptr<TMpegSequenceExtension> ReadSequenceExtension(TFastBitstream &reader) {
    auto extension = std::make_unique<TMpegSequenceExtension>();
    extension->profile_and_level_indication = static_cast<uint8_t>(reader.ReadBits(8));
    extension->progressive_sequence = ReadFlag(reader);
    extension->chroma_format =
        static_cast<uint8_t>(ReadBitsInRange(reader, 2, "chroma_format", 1, 3)); // 0 is reserved
    extension->horizontal_size_extension = static_cast<uint8_t>(reader.ReadBits(2));
    extension->vertical_size_extension = static_cast<uint8_t>(reader.ReadBits(2));
    reader.ReadBits(12); // bit_rate_extension
    ReadMarker(reader);
    reader.ReadBits(8); // vbv_buffer_size_extension
    extension->low_delay = ReadFlag(reader);
    reader.ReadBits(7); // frame_rate_extension_n, frame_rate_extension_d
    return extension;
}

std::unique_ptr<TMpegSequenceDisplayExtension> ReadDisplayExtension(TFastBitstream &reader) {
    auto extension = std::make_unique<TMpegSequenceDisplayExtension>();
    extension->video_format = static_cast<uint8_t>(ReadBitsInRange(reader, 3, "video_format", 0, 5));
    extension->colour_description = ReadFlag(reader);
    if (extension->colour_description == 1) {
        extension->colour_primaries = static_cast<uint8_t>(reader.ReadBits(8));
        extension->transfer_characteristics = static_cast<uint8_t>(reader.ReadBits(8));
        extension->matrix_coefficients = static_cast<uint8_t>(reader.ReadBits(8));
    }
    extension->DisplayHorizontalSizeBit = BitOf(reader);
    extension->display_horizontal_size =
        ReadBitsInRange(reader, 14, "display_horizontal_size", 1, MaxMpegDisplaySize);
    ReadMarker(reader);
    extension->DisplayVerticalSizeBit = BitOf(reader);
    extension->display_vertical_size =
        ReadBitsInRange(reader, 14, "display_vertical_size", 1, MaxMpegDisplaySize);
    return extension;
}

// The place behind the next start code (00 00 01) at or after from; -1 for none.
int64_t NextStartCodeValue(const std::vector<uint8_t> &bytes, int64_t from) {
    const auto size = static_cast<int64_t>(bytes.size());
    for (int64_t i = from; i + 3 < size; ++i)
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1)
            return i + 3;
    return -1;
}

} // namespace

int32_t TMpegSequence::Width() const {
    const uint32_t high = SequenceExtension ? SequenceExtension->horizontal_size_extension : 0;
    return static_cast<int32_t>((high << 12) | horizontal_size_value);
}

int32_t TMpegSequence::Height() const {
    const uint32_t high = SequenceExtension ? SequenceExtension->vertical_size_extension : 0;
    return static_cast<int32_t>((high << 12) | vertical_size_value);
}

TMpegSequence ReadMpegSequence(const std::vector<uint8_t> &bytes, bool complete) {
    TMemoryStream memory(bytes);
    TFastBitstream reader(static_cast<int64_t>(std::max<size_t>(bytes.size(), 16)));
    reader.SetEmulationPrevention(TEmulationPrevention::Absent);
    reader.AttachRange(&memory, 0, 0, memory.Size(), 0);
    TMpegSequence sequence;
    ReadBitsInRange(reader, 8, "sequence_header_code", MpegSequenceHeaderCode, MpegSequenceHeaderCode);
    sequence.horizontal_size_value = ReadBitsInRange(reader, 12, "horizontal_size_value", 1, 4095);
    sequence.vertical_size_value = ReadBitsInRange(reader, 12, "vertical_size_value", 1, 4095);
    // Forbidden and reserved codes are read as they are: the row shows them, and a change may mend them.
    sequence.aspect_ratio_information = static_cast<uint8_t>(reader.ReadBits(4));
    sequence.frame_rate_code = static_cast<uint8_t>(reader.ReadBits(4));
    sequence.bit_rate_value = reader.ReadBits(18);
    ReadMarker(reader);
    sequence.vbv_buffer_size_value = reader.ReadBits(10);
    sequence.constrained_parameters_flag = ReadFlag(reader);
    sequence.load_intra_quantiser_matrix = ReadFlag(reader);
    if (sequence.load_intra_quantiser_matrix == 1)
        SkipQuantiserMatrix(reader);
    sequence.load_non_intra_quantiser_matrix = ReadFlag(reader);
    if (sequence.load_non_intra_quantiser_matrix == 1)
        SkipQuantiserMatrix(reader);

    // extension_and_user_data(0): extensions and user data in any order, up to the unit's end.
    int64_t at = BitOf(reader) / 8 + (BitOf(reader) % 8 != 0 ? 1 : 0);
    for (int64_t value = NextStartCodeValue(bytes, at); value >= 0; value = NextStartCodeValue(bytes, at)) {
        at = value + 1;
        if (bytes[static_cast<size_t>(value)] != MpegExtensionStartCode)
            continue; // user data
        reader.SetPosition(value + 1, 0);
        try {
            const auto id = static_cast<uint8_t>(reader.ReadBits(4));
            if (id == MpegSequenceExtensionId && !sequence.SequenceExtension)
                sequence.SequenceExtension = ReadSequenceExtension(reader);
            else if (id == MpegSequenceDisplayExtensionId && !sequence.DisplayExtension)
                sequence.DisplayExtension = ReadDisplayExtension(reader);
        } catch (const EInOutError &) {
            if (complete)
                throw;
            break; // cut off with the unit
        }
    }
    return sequence;
}
