#pragma once

// The message texts of the core, in one place: errors, what a scan could not read, and what a save
// does or refuses. Placeholders follow Format: %s text, %d decimal, %x and %.8x upper-case hexadecimal.

// File layer
inline constexpr const char *SCannotOpenFile = "Cannot open file \"%s\". %s";
inline constexpr const char *SFileError = "Error in file \"%s\". %s";
inline constexpr const char *SFileInUse = "The file is being used by another program.";
inline constexpr const char *SReadError = "Stream read error";
inline constexpr const char *SFileNotFound = "File not found: %s";
inline constexpr const char *SNotARegularFile = "\"%s\" is not a regular file";
inline constexpr const char *SFileShortened =
    "The file \"%s\" got shorter while it was read: the bytes at %x are gone.";
inline constexpr const char *SFileChangedWhileRead =
    "The file \"%s\" was changed or replaced while it was scanned: what was found may not be in it any "
    "more. Open it again.";

// Byte views
inline constexpr const char *SViewExtentInvalid =
    "A byte view was given an extent of negative place or size.";
inline constexpr const char *SViewOffsetOutside = "An offset outside the byte view was asked for.";
inline constexpr const char *SViewReadOnly = "A byte view can not be written.";

// Bit reader
inline constexpr const char *SUnexpectedEndOfStreamAt = "Unexpected end of stream. Position: %.8x";
inline constexpr const char *STooManyBits = "Can not read more than 32 single bits at once.";
inline constexpr const char *SExpGolombOverflow =
    "Overflow while parsing Exp-Golomb coded value. More than 31 leading zero bits.";
inline constexpr const char *SPatternTooLong = "Search pattern can not be more than 32 bits long.";

// Bit writer
inline constexpr const char *SBitFieldWidth =
    "Can not write a field of %d bits: a field is 1 to 32 bits wide.";
inline constexpr const char *SBitsOutsideBytes =
    "Can not write bits %d to %d: they do not lie inside the %d bytes.";

// H.264 syntax
inline constexpr const char *SNALUnitNotAligned =
    "Error while parsing NAL Unit: NAL Unit must begin at byte boundary.";
inline constexpr const char *SSyntaxOutOfRange = "%s is %d, outside %d..%d.";
inline constexpr const char *SSpsCroppedAway =
    "the cropping window leaves nothing of the %dx%d frame (left %d, right %d, top %d, bottom %d).";
inline constexpr const char *SConfigTooShort =
    "The %s (%d bytes) is shorter than its counts and lengths say.";
inline constexpr const char *SConfigLengthSize =
    "The %s gives NAL units a length of 3 bytes, which the format does not allow.";
inline constexpr const char *SHevcPictureNotInBlocks =
    "the %dx%d picture is not a whole number of its %d-sample coding blocks.";
inline constexpr const char *SLayerUnitNotRead =
    "it belongs to layer %d of a multi-layer stream, whose syntax this program does not read; the base "
    "layer's are listed and changed.";

// What a scan could not read; the scan goes on
inline constexpr const char *SDamagedUnit = "The %s at %x is damaged and not listed: %s";
inline constexpr const char *SUnitNotRead = "The %s at %x is not read: %s";
inline constexpr const char *SUnitCutShort = "its NAL unit ends before its syntax does.";
inline constexpr const char *SNotARawStream =
    "This file is a container, not a raw H.264 stream. Its aspect ratio can not be changed in place.";

// RIFF/AVI scanner
inline constexpr const char *SNotAValidRIFFFile = "File is not a valid RIFF file. Abort Scan.";
inline constexpr const char *SRIFFTooDeep =
    "Error while parsing RIFF file: lists nested more than %d deep at %x.";
inline constexpr const char *SFileCutShort =
    "The file ends inside the chunk at %x: it was read as far as the file goes.";
inline constexpr const char *SChunkPastList =
    "The chunk \"%s\" at %x claims more bytes than the list at %x holds: it was read to the list's end.";
inline constexpr const char *STailNotScanned =
    "The bytes from %x to %x were not scanned: they do not belong to a RIFF chunk.";
inline constexpr const char *SAviStreamLabel = "stream %d";
inline constexpr const char *SSecondVprp =
    "Container aspect ratio of %s left as it is: the stream has more than one video properties chunk, "
    "and players may read either.";

// Transport stream scanner
inline constexpr const char *SNotATransportStream =
    "This file is not a transport stream: no sync bytes follow each other at a packet's distance.";
inline constexpr const char *STsPidLabel = "PID 0x%.4x";
inline constexpr const char *STsBytesSkipped =
    "The bytes from %x to %x are not packets of the stream, which has a sync byte every %d bytes: they "
    "were not read.";
inline constexpr const char *STsLastPacketCut =
    "The last packet, at %x, is cut short by the end of the file: it was not read.";
inline constexpr const char *STsPacketDamaged =
    "The packet at %x is marked as damaged (transport_error_indicator): it was not read, nor any further "
    "packet so marked.";
inline constexpr const char *STsAdaptationPastPacket =
    "The adaptation field of the packet at %x claims more bytes than the packet holds: the packet was not "
    "read.";
inline constexpr const char *STsPacketsMissing =
    "Packets of %s are missing before the packet at %x: its continuity counter goes from %d to %d.";
inline constexpr const char *STsScrambled =
    "%s is scrambled from the packet at %x on: its scrambled packets were not read, and its SPS are not "
    "changed.";
inline constexpr const char *STsPointerPastPacket =
    "The section pointer of the packet at %x points past the packet: the tables in it were not read.";
inline constexpr const char *STsSectionTooLong =
    "The table section at %x claims %d bytes, more than a program table may hold: it was not read.";
inline constexpr const char *STsSectionCrc = "The table section at %x fails its CRC check: it was not read.";
inline constexpr const char *STsTableDamaged =
    "The table section at %x is damaged: its entries claim more bytes than the section holds. It was not "
    "read.";
inline constexpr const char *STsPesHeaderBad =
    "The PES packet of %s at %x has no valid header: its data up to the next PES packet was not read.";
inline constexpr const char *STsReadBeforeMap =
    "%d packets of %s came before the program map that names it %s video: they were not scanned.";
inline constexpr const char *STsPidByContent =
    "%s carries PES packets that begin with an access unit delimiter of %s video, and no program map seen so "
    "far names it: it is read as such from %x on.";
inline constexpr const char *STsMapNowReadable =
    "The program map at %x now names %s %s video: it is read as such from its next PES packet on.";
inline constexpr const char *STsMapNoLongerReadable =
    "The program map at %x no longer names %s video of a codec read here: its packets from there on were not "
    "read.";
inline constexpr const char *STsNoProgramTable =
    "The file holds no program association table: video was looked for by its PES packets instead (those "
    "that begin with an access unit delimiter).";
inline constexpr const char *STsMapMissing =
    "The program association table names PID 0x%.4x as the map of program %d, but the file holds no such "
    "table.";
inline constexpr const char *STsNoPayload =
    "The program map names %s %s video, but none of its packets carries data.";
inline constexpr const char *STsNoVideo =
    "No video of a codec read here was found: no program map names such a stream, and no PES packet begins "
    "with an access unit delimiter of one.";
inline constexpr const char *SSpsAcrossGap =
    "The SPS can not be changed in place: its bytes span packets of %s of which some are missing or "
    "damaged.";
inline constexpr const char *SSpsAcrossDiscontinuity =
    "The SPS can not be changed in place: its bytes span a discontinuity that %s announces.";
inline constexpr const char *SSpsUnderPesCrc =
    "The SPS can not be changed in place: a PES packet of %s carries a CRC over it, which the change would "
    "make wrong.";
inline constexpr const char *SSpsScrambled = "The SPS can not be changed in place: %s is scrambled.";
inline constexpr const char *SSpsInDuplicate =
    "The SPS can not be changed in place: a packet of %s that holds some of its bytes is sent twice, and "
    "the copy would keep the old bytes.";

// Program stream scanner
inline constexpr const char *SPsStreamLabel = "stream 0x%.2x";
inline constexpr const char *SPsBytesSkipped =
    "The bytes from %x to %x are no pack, system header or packet of the program stream: they were not "
    "read.";
inline constexpr const char *SPsLastPacketCut =
    "The packet at %x is cut short by the end of the file: what it holds was read as far as it goes.";
inline constexpr const char *SPsPesHeaderBad =
    "The PES packet at %x (stream 0x%.2x) has no valid header: its data were not read.";
inline constexpr const char *SPsNoVideo =
    "No video of a codec read here was found: no program stream map names one, and no video stream begins "
    "with a sequence header, parameter set or access unit delimiter of one.";
inline constexpr const char *SPsVideoNotKnown =
    "%s carries video whose codec was not told: no program stream map names it, and none of its PES packets "
    "begins with a sequence header or access unit delimiter of a codec read here. It was not scanned.";
inline constexpr const char *SPsReadBeforeCodec =
    "%d PES packets of %s came before the first that tells its codec, %s: they were not scanned.";
inline constexpr const char *SPsMapCrc =
    "The program stream map at %x fails its CRC check: it was not read, and video streams are told by their "
    "content.";
inline constexpr const char *SPsMapDamaged =
    "The program stream map at %x is damaged: its entries claim more bytes than it holds. It was not read.";
inline constexpr const char *SPsUnitAcrossSkipped =
    "The unit can not be changed in place: its bytes span bytes of %s that were not read (no packet, or a PES "
    "packet whose header is damaged).";

// MP4/MOV scanner
inline constexpr const char *SMp4TrackLabel = "track %d";
inline constexpr const char *SBoxSizeInvalid = "The box \"%s\" at %x gives a size of %d, smaller than its "
                                               "header: what follows it in its box was not read.";
inline constexpr const char *SBoxCutShort =
    "The file ends inside the box \"%s\" at %x: it was read as far as the file goes.";
inline constexpr const char *SBoxPastParent =
    "The box \"%s\" at %x claims more bytes than the box around it holds: it was read to that box's end.";
inline constexpr const char *SBoxesTooDeep = "Boxes nested more than %d deep at %x were not read.";
inline constexpr const char *STailNotBoxes = "The bytes from %x to %x are no box and were not scanned.";
inline constexpr const char *SSecondMovieHeader =
    "A second movie header (moov) at %x was not read: the first one describes the tracks.";
inline constexpr const char *STooManyTracks = "Tracks after the first %d were not read.";
inline constexpr const char *SUnreadCodecStream =
    "The video of %s is %s, whose bitstream this version does not read: it was not scanned.";
inline constexpr const char *SUnreadCodecNotWritten =
    "The video of %s is %s, whose own aspect ratio this version does not read: its container statement is "
    "not changed alone, so that the two can not come to disagree.";
// A track changed in its container alone: its label, its codec.
inline constexpr const char *SBitstreamLeftAsItIs =
    "The video of %s is %s, whose bitstream states no aspect ratio: it is left as it is, and the container's "
    "statement is what players show.";
inline constexpr const char *SNoStatementPlace =
    "The video of %s is %s, whose bitstream states no aspect ratio, and its container holds no statement of "
    "one that could be changed in place: its aspect ratio can not be changed.";
inline constexpr const char *SUnknownCodecNotWritten =
    "The video of %s is %s, a codec this version does not know: whether its bitstream states an aspect ratio "
    "of its own is not known, so its container statement is not changed alone.";
inline constexpr const char *SEncryptedTrack = "%s is encrypted (encv): its SPS are not changed in place.";
inline constexpr const char *SEncryptedSamples = "The samples of %s are encrypted and were not scanned.";
inline constexpr const char *SConfigDamaged = "The %s of %s at %x can not be read: %s.";
inline constexpr const char *SSamplesPastEnd =
    "Samples of %s lie past the end of the file: they were not scanned.";
inline constexpr const char *SNalLengthPastSample =
    "A NAL unit length in a sample of %s at %x runs past the sample: the rest of the sample was not scanned.";
inline constexpr const char *SFragmentUnknownTrack = "The movie fragment at %x refers to track %d, which the "
                                                     "movie header does not describe: it was not scanned.";
inline constexpr const char *SFragmentsWithoutMovie =
    "The file holds movie fragments but no movie header (moov): it is a segment whose tracks are described "
    "in "
    "its initialization segment, so what its samples hold is unknown, and they were not scanned.";
inline constexpr const char *SFragmentNotPlaced =
    "Samples of %s in the movie fragment at %x follow data of unknown size and give no offset of their own: "
    "they were not scanned.";
inline constexpr const char *SRunShort = "The run of samples (trun) at %x claims %d samples but describes "
                                         "%d: the data behind it could not be placed.";
inline constexpr const char *SSampleBytesPastFile = "The samples that the tables of %s name add up to more "
                                                    "bytes than the file holds: the tables are damaged, and "
                                                    "the samples from %x on were not scanned.";
inline constexpr const char *STooManyDistinctUnits = "The file holds %s of more than %d different contents: "
                                                     "those past them are counted, not listed, so nothing "
                                                     "of the file is changed.";
inline constexpr const char *SMp4SamplesUnread = "Not every sample of %s could be read (see the notices "
                                                 "above), so SPS in them may have been missed: the SPS "
                                                 "and the container statement of %s are left as they are.";
inline constexpr const char *SSampleTableShort =
    "The table \"%s\" of %s claims %d entries but holds %d: it was read as far as it goes.";
inline constexpr const char *SDisplayMatrixStretches =
    "Container aspect ratio of %s left as it is: the display matrix of its track header (tkhd) stretches the "
    "picture, and players apply it.";

// Matroska scanner
inline constexpr const char *SMatroskaTrackLabel = "track %d";
inline constexpr const char *SNotMatroska =
    "File is not a valid Matroska file: it does not begin with an EBML header.";
inline constexpr const char *SEbmlIllegalElement = "The bytes at %x are no EBML element (an ID or size of "
                                                   "illegal length): the rest of the %s was not scanned.";
inline constexpr const char *SEbmlCutShort =
    "The file ends inside the element %s at %x: it was read as far as the file goes.";
inline constexpr const char *SEbmlPastParent =
    "The element %s at %x claims more bytes than the %s around it holds: it was read to that element's end.";
inline constexpr const char *SEbmlUnknownSize = "The element %s at %x has an unknown size, which only a "
                                                "Segment or a Cluster may have: the rest of the %s "
                                                "was not scanned.";
inline constexpr const char *SEbmlTail = "The bytes from %x to %x are no EBML element and were not scanned.";
inline constexpr const char *SMkvCompressedTrack =
    "The frames of %s are compressed (%s): its SPS are not changed in place.";
inline constexpr const char *SMkvCompressedFrames =
    "The frames of %s are compressed (%s) and were not scanned.";
inline constexpr const char *SMkvEncryptedTrack =
    "The frames of %s are encrypted: its SPS are not changed in place.";
inline constexpr const char *SMkvEncryptedFrames = "The frames of %s are encrypted and were not scanned.";
inline constexpr const char *SMkvCompressedPrivate =
    "The codec private data of %s is compressed (%s): its SPS were not read.";
inline constexpr const char *SSpsInStrippedHeader =
    "The SPS at %.8x begins in the bytes %s strips from the front of every frame (kept once, in its track "
    "entry): changing them would change every frame, so it is not changed in place.";
inline constexpr const char *SMkvLacingInvalid =
    "The lacing of the block at %x does not fit the block: its frames were not scanned.";
inline constexpr const char *SMkvNalLengthPastFrame =
    "A NAL unit length in a frame of %s at %x runs past the frame: the rest of the frame was not scanned.";
inline constexpr const char *SMkvBlockUnknownTrack = "The block at %x belongs to track %d, which no track "
                                                     "entry before it describes: blocks of that track were "
                                                     "not scanned.";
inline constexpr const char *SMkvFramesBeforeEntry =
    "Blocks of %s lie before its track entry, and no SeekHead leads to the entry: SPS in their frames were "
    "not read, so nothing of %s is changed.";
inline constexpr const char *SMkvFramesUnread =
    "The lacing of a block of %s is damaged: SPS in its frames were not read, so nothing of %s is changed.";
inline constexpr const char *SMkvTracksOverrun =
    "The %s at %x runs over the Tracks at %x, whose bytes it claims as its own: the file is damaged, and "
    "nothing in it is changed.";
inline constexpr const char *SMkvSeekPastTracks =
    "The SeekHead at %x points at %x for the track entries, where no Tracks element begins: it was not "
    "followed.";
inline constexpr const char *SMkvDisplayNoRoom =
    "The display size of %s can not be written in place: %s. Players built on libavformat (ffmpeg, mpv, VLC) "
    "will go on showing %s; hardware players and TVs read the bitstream's own aspect ratio, where it states "
    "one.";
inline constexpr const char *SMkvNoRoomElements =
    "its DisplayWidth and DisplayHeight have no room for %s, and no Void element follows them in its Video "
    "element or lies ahead of the Tracks with room enough";
inline constexpr const char *SMkvNoDisplayElements =
    "it has no DisplayWidth and DisplayHeight, and no Void element in its Video element or ahead of the "
    "Tracks makes room for them";
inline constexpr const char *SWhatChecksum = "CRC-32 of the %s at %x";

// Saving: the checks made before anything is written, the plan, and the check after
inline constexpr const char *SSaveKindMismatch =
    "Saving of these values not possible in this version: Only replace predefined ARs by predefined ARs "
    "and custom ARs by custom ARs.";
inline constexpr const char *SNotACodeOf = "%d is no predefined code of %s.";
inline constexpr const char *SNoCodeTable =
    "The codec of %s has no table of predefined codes: give the ratio (SAR or DAR) instead.";
inline constexpr const char *SNoPredefinedRatio = "No predefined aspect ratio equals %d:%d.";
// The SAR column of an SPS whose aspect_ratio_idc is 0: players take its samples as square.
inline constexpr const char *SUnspecifiedSarText = "1:1 (assumed)";
inline constexpr const char *SUnspecifiedTakesNoCustom =
    "The SPS states no aspect ratio (aspect_ratio_idc 0, Unspecified): in place, only a predefined code "
    "fits in its 8 bits; a custom ratio would need 32 more bits.";
inline constexpr const char *SReservedCode =
    "aspect_ratio_idc %d is reserved: only the codes 1 to 16 and 255 can be written.";
inline constexpr const char *SCustomTermOutOfRange =
    "The custom aspect ratio %d:%d can not be written: both terms must lie between 1 and 65535.";
inline constexpr const char *SEmulationPreventionInSpan =
    "The aspect ratio at %.8x can not be changed in place: an emulation prevention byte lies in or "
    "right after the bits to be written.";
inline constexpr const char *SForbiddenPattern =
    "The aspect ratio at %.8x can not be changed in place: the new bits would form the forbidden byte "
    "sequence 00 00 0%d.";
inline constexpr const char *SSpanAtUnitEnd =
    "The aspect ratio at %.8x can not be changed in place: its bits reach the last byte of its NAL unit.";
// MPEG-1 and MPEG-2 video
inline constexpr const char *SEsdsDamaged =
    "its descriptors run past the box or hold no decoder configuration (at byte %d of it).";
inline constexpr const char *SMpegNoDisplaySize = "No sequence display extension";
inline constexpr const char *SMpegDisplaySize = "Display size %dx%d (sequence display extension)";
inline constexpr const char *SMpegReservedCode =
    "aspect_ratio_information %d is forbidden or reserved in %s: only the codes %d to %d can be written.";
inline constexpr const char *SMpegRatioNotStated =
    "%s can not state SAR %s (DAR %s at this picture size): its sequence header states only %s.";
inline constexpr const char *SMpeg2StatedRatios = "square samples (1:1) or the display aspect ratios 4:3, "
                                                  "16:9 and 2.21:1";
inline constexpr const char *SMpeg1StatedRatios = "the sample aspect ratios of its table: %s";
inline constexpr const char *SMpegDisplaySizeUnfit =
    "The aspect ratio at %.8x can not be changed in place: no display size of 14 bits has the shape of "
    "the %dx%d picture.";
inline constexpr const char *SMpegStartCodeFormed =
    "The aspect ratio at %.8x can not be changed in place: the new bits would form a start code "
    "(00 00 01) with the bytes beside them, or break one.";
// MPEG-4 Part 2
inline constexpr const char *SMpeg4NotRectangular =
    "its video object layer is not rectangular (video_object_layer_shape %d): this version reads the "
    "aspect ratio of rectangular layers only.";
inline constexpr const char *SMpeg4NoVideoFormat = "Not stated in the VOL";
inline constexpr const char *SMpeg4Interlaced = "Interlaced (VOL)";
inline constexpr const char *SMpeg4Progressive = "Progressive (VOL)";
inline constexpr const char *SMpeg4ReservedCode =
    "aspect_ratio_info %d is forbidden or reserved: only the codes 1 to 5, and 15 (extended) where the VOL "
    "holds it already, can be written.";
inline constexpr const char *SMpeg4PredefinedStays =
    "The VOL holds a predefined code (aspect_ratio_info %d, 4 bits): in place, only another predefined code "
    "fits; the extended form needs 16 bits more for par_width and par_height.";
inline constexpr const char *SMpeg4ExtendedStays =
    "The VOL states an extended ratio (aspect_ratio_info 15 with par_width and par_height): in place, only "
    "another extended ratio fits; give the ratio (SAR or DAR) instead of a code.";
inline constexpr const char *SMpeg4NotPredefined = "No predefined aspect ratio of MPEG-4 Part 2 equals %s.";
inline constexpr const char *SMpeg4NearestPredefined =
    "The nearest predefined ratio is %s (aspect_ratio_info %d), within 1%%.";
inline constexpr const char *SMpeg4ParTermOutOfRange =
    "The extended aspect ratio %s can not be written: par_width and par_height lie between 1 and 255. The "
    "nearest ratio of such terms is %s.";
inline constexpr const char *SSessionOutdated =
    "The last save moved elements of the file to make room: open the file again before changing it once "
    "more.";
inline constexpr const char *SRecordWithoutUnit = "The record has no SPS read from the file to write to.";
inline constexpr const char *SContainerCannotState =
    "The container of %s can not state that aspect ratio: it gives the track no picture size.";
inline constexpr const char *SContainerAspectChanged = "Container aspect ratio of %s: %s changed to %s.";
inline constexpr const char *SContainerAspectConflict =
    "Container aspect ratio of %s left at %s: the changed rows of this stream give different display "
    "aspect ratios.";
inline constexpr const char *SContainerFieldChanged = "%s of %s: %s changed to %s.";
inline constexpr const char *SContainerRatioNearest =
    "%s of %s can not state the display aspect ratio %s exactly in the numbers it holds: %s is written, "
    "which states %s, the nearest ratio it can.";
inline constexpr const char *SWhatContainerField = "%s of %s";
inline constexpr const char *SWhatRowRatio = "aspect ratio of row %d";
inline constexpr const char *SWhatContainerRatio = "container aspect ratio of %s";
inline constexpr const char *SChecksumUpdated = "%s brought up to date.";
inline constexpr const char *SPlanRowEntry = "Row %d: SAR %s changed to %s in the %s whose %s is at %x.";
inline constexpr const char *SPatchLine = "%.8x: %s -> %s (%s)";
inline constexpr const char *SPatchesOverlap =
    "The %s at %.8x and the %s at %.8x lie on the same bytes: they can not both be written.";
inline constexpr const char *SPatchOutsideFile = "The %s at %.8x lies outside the file.";
inline constexpr const char *SFileChangedSinceScan =
    "The file no longer holds the scanned %s at %.8x. It has been changed since it was opened.";
inline constexpr const char *SFormatWouldChange =
    "The new bits would make the beginning of the file look like another format, so that the file would no "
    "longer be read as what it is: the change is refused.";
inline constexpr const char *SChangesRefused =
    "Nothing was saved: %d of the changes can not be written in place.";
inline constexpr const char *SWriteVerifyFailed =
    "The %s written at %.8x does not read back from the file as written.";
// Save journals, recovery and undo
inline constexpr const char *SNoStateFolder =
    "There is no folder for the program's state: neither XDG_STATE_HOME nor HOME names one.";
inline constexpr const char *SCannotMakeFolder = "The folder \"%s\" can not be made: %s.";
inline constexpr const char *SJournalDamaged =
    "The save journal \"%s\" is damaged (%s). Nothing was changed; remove the journal once the file has "
    "been checked.";
inline constexpr const char *SJournalNowhere =
    "Nothing was saved: the journal that makes a save of \"%s\" safe can be written neither beside it "
    "(%s) nor in the state folder (%s).";
inline constexpr const char *SSaveInterrupted =
    "The save of \"%s\" begun %s was interrupted: the file may hold some of its changes. Recover the "
    "file (put its old bytes back) before changing it again.";
inline constexpr const char *SNoInterruptedSave = "No save of \"%s\" was interrupted: there is nothing to recover.";
inline constexpr const char *SNothingToUndo = "There is no save of \"%s\" to undo.";
inline constexpr const char *SUndoPlacesChanged =
    "The save of \"%s\" made %s can not be undone: %d of the places it wrote have changed since (%s). "
    "Nothing was written.";
inline constexpr const char *SJournalPlace = "%s at %.8x";
inline constexpr const char *SRecoveryEntry = "The old bytes of the interrupted save put back";
inline constexpr const char *SUndoEntry = "The save made %s undone";

inline constexpr const char *SWriteFailedRestored =
    "Saving failed: %s. Everything written before the failure was put back; the file is as it was.";
inline constexpr const char *SWriteFailedNotRestored =
    "Saving failed: %s. Putting back the old bytes failed too: %s. These may now hold the new values: %s.";
inline constexpr const char *SWriteFailedUnknownPlaces = "none known; the file may hold some of them";
