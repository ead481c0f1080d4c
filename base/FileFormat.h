#pragma once

// The kinds of file the program tells apart by their content.
enum class TFileFormat {
    RawH264,        // an H.264 elementary stream (Annex B)
    RawHevc,        // an HEVC elementary stream (Annex B)
    RawMpegVideo,   // an MPEG-1 or MPEG-2 video elementary stream
    RawMpeg4Visual, // an MPEG-4 Part 2 video elementary stream
    Avi,            // RIFF (AVI, OpenDML)
    Mp4,            // ISO base media: MP4, MOV, 3GP
    Matroska,       // EBML with DocType matroska
    WebM,           // EBML with DocType webm
    MpegTs,         // transport stream, 188-byte packets
    M2ts,           // transport stream with a 4-byte time code in front of each packet
    MpegTs204,      // transport stream with 16 bytes of parity behind each packet
    MpegPs,         // program stream (VOB, MPG): pack headers and PES packets
    Flv,            // Flash Video
    Asf,            // ASF (WMV)
    Mxf,            // MXF
    Nut,            // NUT
    Unknown,        // nothing of the above: no container, no elementary stream a detector claims
};
