#pragma once

// The message texts of the core, in one place. Placeholders follow Format: %s text, %d decimal,
// %.8x at least eight upper-case hexadecimal digits.

// File layer
inline constexpr const char *SCannotOpenFile = "Cannot open file \"%s\". %s";
inline constexpr const char *SFileError = "Error in file \"%s\". %s";
inline constexpr const char *SFileInUse = "The file is being used by another program.";
inline constexpr const char *SReadError = "Stream read error";
inline constexpr const char *SFileNotFound = "File not found: %s";

// Bit reader
inline constexpr const char *SUnexpectedEndOfStreamAt = "Unexpected end of stream. Position: %.8x";
inline constexpr const char *STooManyBits = "Can not read more than 32 single bits at once.";
inline constexpr const char *SExpGolombOverflow =
    "Overflow while parsing Exp-Golomb coded value. More than 31 leading zero bits.";
inline constexpr const char *SPatternTooLong = "Search pattern can not be more than 32 bits long.";

// H.264 syntax
inline constexpr const char *SNALUnitNotAligned =
    "Error while parsing NAL Unit: NAL Unit must begin at byte boundary.";

// Raw stream scanner: containers that hold H.264 in another form than a raw stream
inline constexpr const char *SContainerNotRawStream =
    "This file is %s container, not a raw H.264 stream. Its aspect ratio can not be changed in place.";
inline constexpr const char *SContainerMP4 = "an MP4 (ISO base media)";
inline constexpr const char *SContainerMatroska = "a Matroska/WebM";
inline constexpr const char *SContainerMPEGTS = "an MPEG-TS (transport stream)";
inline constexpr const char *SContainerM2TS = "an M2TS (MPEG-TS with time codes)";
inline constexpr const char *SContainerMPEGPS = "an MPEG-PS (program stream, VOB/MPG)";
inline constexpr const char *SContainerFLV = "an FLV (Flash Video)";

// RIFF/AVI scanner
inline constexpr const char *SNotAValidRIFFFile = "File is not a valid RIFF file. Abort Scan.";
inline constexpr const char *SUnexpectedEndOfStream = "Unexpected end of stream.";
inline constexpr const char *SRIFFParseError = "Error while parsing RIFF file.";
inline constexpr const char *SStreamNotInitialized = "Stream not initialized.";
inline constexpr const char *SForeignFourCC =
    "WARNING: Found FourCC \"%s\". The video seems not to be a H.264 coded stream. Scan stream anyway?";

// Progress
inline constexpr const char *SProgressBytes = "%d / %d Bytes";
inline constexpr const char *SReady = "Ready.";

// Saving: the checks made before anything is written, and the check after
inline constexpr const char *SSaveKindMismatch =
    "Saving of these values not possible in this version: Only replace predefined ARs by predefined ARs "
    "and custom ARs by custom ARs.";
inline constexpr const char *SCustomTermOutOfRange =
    "The custom aspect ratio %d:%d can not be written: both terms must lie between 1 and 65535.";
inline constexpr const char *SEmulationPreventionInSpan =
    "The aspect ratio at %.8x can not be changed in place: an emulation prevention byte lies in or "
    "right after the bits to be written.";
inline constexpr const char *SForbiddenPattern =
    "The aspect ratio at %.8x can not be changed in place: the new bits would form the forbidden byte "
    "sequence 00 00 0%d.";
inline constexpr const char *SFileChangedSinceScan =
    "The file no longer holds the scanned aspect ratio at %.8x. It has been changed since it was opened.";
inline constexpr const char *SChangesRefused =
    "Nothing was saved: %d of the changes can not be written in place.";
inline constexpr const char *SContainerTermsOutOfRange =
    "The container aspect ratio %d:%d of stream %d can not be written: both terms must lie between 1 and "
    "65535.";
inline constexpr const char *SContainerChangedSinceScan =
    "The file no longer holds the container aspect ratio of stream %d at %.8x. It has been changed since it "
    "was opened.";
inline constexpr const char *SContainerAspectChanged =
    "Container aspect ratio of stream %d: %s changed to %d:%d.";
inline constexpr const char *SContainerAspectConflict =
    "Container aspect ratio of stream %d left at %s: the changed rows of this stream give different display "
    "aspect ratios.";
inline constexpr const char *SWriteVerifyFailed =
    "The aspect ratio written at %.8x does not read back from the file as written.";
