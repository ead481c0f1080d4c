#include "BitWriter.h"
#include "bitstream/uFastBitStream.h"
#include "h264/uH264.h"

#include <gtest/gtest.h>

TEST(SpsRoundTrip, BuiltSpsDecodesToItsFields) {
    SpsFields fields;
    fields.vui = true;
    fields.aspect_ratio_idc = 255;
    fields.sar_width = 64;
    fields.sar_height = 45;
    BuiltSps built = BuildSps(fields);
    TMemoryStream stream(WithStartCode(built.nal));
    TFastBitstream reader(&stream);
    ASSERT_TRUE(reader.SeekNextStartCode());
    TNALUnit unit;
    ASSERT_TRUE(unit.Parse(reader));
    const TSequenceParameterSet &sps = *unit.SequenceParameterSet;
    EXPECT_EQ(sps.Width(), 1920);
    EXPECT_EQ(sps.Height(), 1080);
    EXPECT_EQ(sps.SarWidth(), 64);
    EXPECT_EQ(sps.SarHeight(), 45);
    EXPECT_EQ(sps.VUIParameters->Position, 4 + static_cast<int64_t>(built.vuiByte));
    EXPECT_EQ(sps.VUIParameters->BitOffset, built.vuiBit);
}
