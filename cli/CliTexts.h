#pragma once

// The texts of the command-line program. The core's messages (scanning, reading, the write checks) are in
// base/Messages.h, the texts both programs share in base/AppTexts.h; placeholders follow Format.

inline constexpr const char *SProgramName = "pellmar-cli";

// Help: the option table is made from the declarations in Options.cpp, these are its texts.
inline constexpr const char *SHelpDescription =
    "Lists and changes the sample aspect ratio (SAR) of H.264, HEVC, MPEG-1/MPEG-2 and\n"
    "MPEG-4 Part 2 video in place. Only the aspect-ratio bits of the sequence parameter\n"
    "sets (SPS), sequence headers and video object layer headers (VOL), and what the\n"
    "container states beside them, are overwritten: the file keeps its length and\n"
    "nothing is re-encoded.\n"
    "Formats read:\n"
    "%s.\n";
inline constexpr const char *SUsageLabel = "Usage: ";
inline constexpr const char *SUsageIndent = "  or:  ";
inline constexpr const char *SUsageOptions = "[OPTIONS]";
inline constexpr const char *SCommandsTitle = "Commands:";
inline constexpr const char *SEndOfOptionsHelp =
    "End of options: the arguments after it are files, even those that begin with -.";
inline constexpr const char *SHelpHint = "Try 'pellmar-cli --help' for more information.\n";

inline constexpr const char *SListHelp =
    "Print, per file, the number of SPS found and one row per SPS that carries a SAR:\n"
    "#, SAR, Type, Resolution, DAR, SPS Id, SPS Offset, VUI Offset (hexadecimal),\n"
    "Track (the video track as the container numbers it) and Codec. A track whose\n"
    "container states its aspect ratio while none of its SPS does is listed by that\n"
    "statement (Type Container, no SPS Id, no VUI Offset); so is every track of a codec\n"
    "whose bitstream states no ratio (VP8, VP9, AV1, Motion JPEG, ProRes), and a change\n"
    "writes its container alone.";
inline constexpr const char *SSetHelp =
    "Change the SAR of the chosen rows (all rows unless --rows or --track is given) and\n"
    "print, per row, what was written. What the container states for a track that gets\n"
    "a new value (an AVI stream's video properties, say) is changed to match.";

inline constexpr const char *SRecoverHelp =
    "Put back the old bytes of a save that was interrupted (killed, or the machine lost\n"
    "power): every place it wrote gets what it held before, as its journal recorded it.\n"
    "set refuses such a file until it is recovered.";
inline constexpr const char *SUndoHelp =
    "Undo the last completed save of each file: its old bytes are written back when every\n"
    "place still holds what that save wrote. One level: the save's journal is gone\n"
    "afterwards.";
inline constexpr const char *SCommonOptionsGroup = "Options of list and set";
inline constexpr const char *SSetOptionsGroup = "Options of set";
inline constexpr const char *SNewValueGroup = "New value of set (exactly one)";

inline constexpr const char *SAviHelp = "Read every file as an AVI file, whatever its content.";
inline constexpr const char *SStreamHelp =
    "Read every file as a raw H.264 elementary stream: every start code in it is looked\n"
    "at, also inside a container.";
inline constexpr const char *SFormatHelp =
    "Read every file as format NAME, one of\n"
    "%s.\n"
    "Without --avi, --stream and --format each file is read as the format its content\n"
    "shows, whatever its name.";
inline constexpr const char *SFirstNalOnlyHelp =
    "AVI scan mode \"Only first NAL Unit of each Chunk\": look only at the first NAL unit\n"
    "of each video chunk (for HEVC the first behind its delimiter and VPS). Without it\n"
    "every NAL unit is examined (deep scan). Ignored for raw streams.";
inline constexpr const char *SYesHelp =
    "Scan an AVI video stream whose handler code names no codec read here (H.264,\n"
    "HEVC) as H.264 instead of refusing the file with a warning.";
inline constexpr const char *SRecursiveHelp =
    "A FILE that is a folder stands for every file in it and in its subfolders whose\n"
    "content is of a format read here. Other files, symbolic links and special files\n"
    "are skipped and counted; symbolic links are never followed.";
inline constexpr const char *SJsonHelp =
    "Print one JSON document for the whole call: command, dry_run (set), files (one\n"
    "object per file: file, status, error, refusals, format, scanner, size, sps_count,\n"
    "damaged_sps_count, notices, tracks with their codec and what their container\n"
    "states, records, and for set container_changes and patches) and summary. Offsets\n"
    "are decimal. A record has row, sar, sar_width, sar_height, aspect_ratio_idc, type,\n"
    "codec, width, height, resolution, dar, sps_id, sps_offset, vui_offset,\n"
    "vui_bit_offset, video_format, overscan, track and container_dar; set adds\n"
    "selected, changed and written.";
inline constexpr const char *SJsonLinesHelp =
    "Print one compact JSON object per file on a line of its own as soon as the file is\n"
    "done (the objects of the files array of --json), for pipelines.";
inline constexpr const char *SRowsHelp =
    "Only these rows, numbered from 0 as list prints them, as numbers and ranges\n"
    "separated by commas, for example 0,2,5-7. Rows a file does not have refuse that\n"
    "file.";
inline constexpr const char *STrackHelp =
    "Only the rows of video track N (the Track column of list: AVI stream number,\n"
    "MP4 track ID, Matroska track number, transport stream PID), and so only what\n"
    "the container states for that track; the rows of other tracks are not chosen\n"
    "and stay as they are. With --rows every row given must belong to track N. A file\n"
    "without track N is refused.";
inline constexpr const char *SOnlyFromHelp =
    "Only the rows that now show the display aspect ratio W:H (the DAR column of list),\n"
    "as a broadcast that switches between 4:3 and 16:9 has them: --only-from 4:3 --dar\n"
    "16:9 leaves the 16:9 rows as they are. With --rows and --track, among their rows.";
inline constexpr const char *SDryRunHelp = "Run every check and print what would be written; write nothing.";
inline constexpr const char *SIdcHelp =
    "The predefined code N of each row's codec (H.264 and HEVC: aspect_ratio_idc 1..16\n"
    "of Table E-1; MPEG-2 video: aspect_ratio_information 1..4, MPEG-1 video: 1..14;\n"
    "MPEG-4 Part 2: aspect_ratio_info 1..5). Refused for rows with a custom ratio.";
inline constexpr const char *SSarHelp =
    "The SAR W:H (W and H in 1..65535), keeping each row's kind: a custom row gets W:H\n"
    "itself, a predefined row the predefined code whose ratio equals W:H; a predefined\n"
    "row is refused when no code has that ratio.";
inline constexpr const char *SDarHelp =
    "The display aspect ratio W:H (W and H in 1..65535); each row gets the reduced SAR\n"
    "that gives it at the row's own resolution, then as --sar.";
inline constexpr const char *SHelpHelp = "Print this help (after a command: the help of that command).";
inline constexpr const char *SVersionHelp = "Print the program's name and version.";
inline constexpr const char *SFilesHelp = "The files to read (folders with --recursive).";

inline constexpr const char *SHelpFooter =
    "A predefined code can only replace a predefined code and a custom ratio only a custom ratio,\n"
    "since only then the new bits take exactly the place of the old ones. Every chosen row of a file\n"
    "is checked against the file before anything is written to it; when any row is refused, nothing is\n"
    "written to that file and one line \"row N: reason\" per refused row goes to standard error.\n"
    "\n"
    "Every save is journalled: before the first byte of a file is written, every place it changes\n"
    "and the bytes there before and after are on the disk in a journal beside the file\n"
    "(.NAME.pellmar-journal), or in the user's state folder (~/.local/state/pellmar; on Windows\n"
    "%LOCALAPPDATA%\\Pellmar) when the file's folder can not be written. A save that is killed\n"
    "half-way is rolled back exactly with recover; the last\n"
    "completed save is undone with undo (one level).\n"
    "\n"
    "Many files: every file is scanned and changed on its own; a refusal or an error in one file\n"
    "never stops or changes the others. With more than one FILE, or with --recursive, the report of\n"
    "each file opens with a line \"==> NAME: FORMAT <==\", messages on standard error begin with the\n"
    "file's name, and a summary line ends the report. A file named twice, or reached by two names, is\n"
    "read once. An interrupt (Ctrl+C) that comes while a file is written ends the program once that\n"
    "file's write is complete.\n"
    "\n"
    "To give every video in a folder tree the display aspect ratio 16:9, after a look at what that\n"
    "would write:\n"
    "\n"
    "  pellmar-cli set --dar 16:9 --recursive --dry-run ~/Videos/tape\n"
    "  pellmar-cli set --dar 16:9 --recursive ~/Videos/tape\n"
    "\n"
    "Results go to standard output, messages to standard error. When both are a terminal, a progress\n"
    "line is shown on standard error while a file is scanned, with n/N files for several files.\n"
    "\n"
    "Exit status:\n"
    "  0  done: every file was listed or changed (also when every chosen row held the value\n"
    "     already), recovered or undone\n"
    "  1  error: a file was missing, unreadable or invalid, or a write failed, or a recovered\n"
    "     file holds places that had neither their old nor their new bytes\n"
    "  2  usage error; nothing was scanned\n"
    "  3  refused: in a file a row can not be changed as asked, or nothing in it can carry a\n"
    "     new ratio (nothing was written to that file), or the scan stopped at a foreign\n"
    "     handler code, or a save was interrupted and the file is not yet recovered, or there\n"
    "     is no interrupted save to recover or no save to undo, or places the save wrote have\n"
    "     changed since; and no file had an error\n";

// recover and undo
inline constexpr const char *SRecovered =
    "%s: the old bytes of the interrupted save put back (places: %d; not reached by the save: %d); the\n"
    "file is as it was before that save.\n";
inline constexpr const char *SRecoverHint =
    "Its last save was interrupted: \"pellmar-cli recover %s\" puts back the bytes it had before.";
inline constexpr const char *SRecoveredNeither = "%s holds neither its old nor its new bytes: left as it is.";
inline constexpr const char *SUndone = "%s: the save made %s undone: %d bytes written back (places: %d).\n";

// Usage errors
inline constexpr const char *SUnknownCommand = "unknown command \"%s\"";
inline constexpr const char *SMissingCommand = "missing command: list, set, recover or undo";
inline constexpr const char *SUnknownOption = "unknown option \"%s\"";
inline constexpr const char *SMissingValue = "option %s needs a value";
inline constexpr const char *SUnexpectedValue = "option %s takes no value";
inline constexpr const char *SOptionTwice = "option %s is given more than once";
inline constexpr const char *SOptionNotForList = "option %s belongs to the set command";
inline constexpr const char *SNewValueMissing = "set needs one of --idc, --sar and --dar";
inline constexpr const char *SMissingFile = "missing FILE";
inline constexpr const char *SBadIdc = "--idc \"%s\": expected a predefined aspect_ratio_idc from 1 to 16";
inline constexpr const char *SBadRatio =
    "%s \"%s\": expected W:H with W and H whole numbers from 1 to 65535, for example 16:9";
inline constexpr const char *SBadRowList =
    "--rows \"%s\": expected row numbers and ranges separated by commas, for example 0,2,5-7";
inline constexpr const char *SDescendingRange = "--rows \"%s\": the range %s runs backwards";
inline constexpr const char *SBadTrack =
    "--track \"%s\": expected a track number, 0 or more, as list shows it";
inline constexpr const char *SBadFormat = "--format \"%s\": expected one of %s";
inline constexpr const char *SFormatNotRead =
    "--format \"%s\": %s files are not read by this version; it reads %s";

// What makes one file refused before its rows are changed.
inline constexpr const char *SRowOutOfRange = "--rows: row %s does not exist; the file has %d rows%s";
inline constexpr const char *SRowRange = " (0-%d)";
inline constexpr const char *SNoSuchTrack = "--track %d: the file has no video track %d%s";
inline constexpr const char *STrackList = " (it has %s)";
inline constexpr const char *SNoTracks = " (it has no video tracks)";
inline constexpr const char *SRowOfOtherTrack = "it is not a row of %s, the track chosen with --track";

// Files and folders
inline constexpr const char *SIsAFolder = "It is a folder, not a file.";
inline constexpr const char *SCannotReadFolder = "Cannot read folder \"%s\". %s";

// Scanning
inline constexpr const char *SForeignStopped =
    "WARNING: Found FourCC \"%s\". The video seems not to be a H.264 coded stream.";
inline constexpr const char *SForeignScanned =
    "WARNING: Found FourCC \"%s\". The video seems not to be a H.264 coded stream; scanned anyway (--yes).";
inline constexpr const char *SForeignNotScanned =
    "The scan stopped there; nothing was changed. Use --yes to scan the stream anyway.";
// What a scan could not read: the file's name, then the notice.
inline constexpr const char *SNoticeLine = "%s: %s";
inline constexpr const char *SMoreNotices = "%s: %d more notices not shown.";
// Progress of one file of several: n, N, the file's name, the scan's progress text.
inline constexpr const char *SBatchProgress = "%d/%d files: %s: %s";

// Several files: the heading of a file's report, and the prefix of its lines on standard error.
inline constexpr const char *SFileHeading = "==> %s: %s <==";
inline constexpr const char *SFileHeadingNoFormat = "==> %s <==";
inline constexpr const char *SFileMessage = "%s: %s";
inline constexpr const char *SListSummary = "Files: %d; listed %d, refused %d, failed %d";
inline constexpr const char *SSetSummary = "Files: %d; changed %d, unchanged %d, refused %d, failed %d";
inline constexpr const char *SDryRunSummary =
    "Dry run, no file was changed. Files: %d; would change %d, unchanged %d, refused %d, failed %d";
inline constexpr const char *SSkippedSummary = "; skipped %d (no video file of a format read here)";

// list
inline constexpr const char *SSpsFound = "Sequence Parameter Sets (SPS) found: %d";
// The same for a file whose units that state the ratio are of another kind ("sequence headers").
inline constexpr const char *SRatioUnitsFound = "Units that state the aspect ratio (%ss) found: %d";
// A column a container row, or a row without track, has no value for.
inline constexpr const char *SNoValue = "-";
// A track's label with a capital, the container's short name, the display aspect ratio it states.
inline constexpr const char *SContainerAspectNote =
    "%s of the %s container states the display aspect ratio %s (players show this one).";
inline constexpr const char *STrackStatesNoRatio =
    "%s of the %s container states no aspect ratio of its own: players and TVs read the %s.";
inline constexpr const char *SContainerStatesNoRatio =
    "The container states no aspect ratio of its own: players and TVs read the %s.";
inline constexpr const char *SContainerNotRead =
    "Read as %s: what the %s container states beside the %s was not read.";
inline constexpr const char *SRawStreamNoContainer =
    "The %s has no container that states an aspect ratio: players and TVs read the %s.";

// set
inline constexpr const char *SRowRefused = "row %d: %s";
inline constexpr const char *SRowWritten = "row %d: SAR %s -> %s (%s, %s %d), DAR %s, written at "
                                           "%s offset %s";
inline constexpr const char *SRowWouldBeWritten = "row %d: SAR %s -> %s (%s, %s %d), DAR %s, would be "
                                                  "written at %s offset %s";
inline constexpr const char *SRowUnchanged = "row %d: SAR %s (%s, %s %d) is already set; nothing to "
                                             "write";
// Rows that stand for a container's statement (no SPS): the track's label in place of the kind.
inline constexpr const char *SContainerRowWritten =
    "row %d: SAR %s -> %s (container statement of %s), DAR %s, written at container offset %s";
inline constexpr const char *SContainerRowWouldBeWritten =
    "row %d: SAR %s -> %s (container statement of %s), DAR %s, would be written at container offset %s";
inline constexpr const char *SContainerRowUnchanged =
    "row %d: SAR %s (container statement of %s) is already set; nothing to write";
inline constexpr const char *SRowsWritten = "%d of %d chosen rows written.";
inline constexpr const char *SRowsWouldBeWritten =
    "Dry run: %d of %d chosen rows would be written; the file was "
    "not changed.";
inline constexpr const char *SDryRunNote = "Dry run: %s";
inline constexpr const char *SDryRunPatch = "Dry run: would write %s";
inline constexpr const char *SNoRows =
    "No aspect ratio information found in the file: nothing in it can carry a new ratio.";
inline constexpr const char *SNoRowsFrom =
    "No row chosen shows the display aspect ratio %s now: nothing to change from it.";
inline constexpr const char *SNoRowsOfTrack =
    "Track %d has no aspect ratio information: nothing in it can carry a new ratio.";
