#pragma once

// The texts of the command-line program. The core's messages (scanning, reading, the write checks) are in
// base/Messages.h, the texts both programs share in base/AppTexts.h; placeholders follow Format.

inline constexpr const char *SProgramName = "pellmar-cli";

inline constexpr const char *SUsage =
    "Usage: pellmar-cli list [--avi|--stream] [--first-nal-only] [--yes] [--json] FILE\n"
    "       pellmar-cli set  [--avi|--stream] [--first-nal-only] [--yes] [--json] [--rows LIST] [--dry-run]\n"
    "                        (--idc N | --sar W:H | --dar W:H) FILE\n"
    "       pellmar-cli --help | --version\n";

inline constexpr const char *SHelpHint = "Try 'pellmar-cli --help' for more information.\n";

inline constexpr const char *SHelp =
    "Lists and changes the sample aspect ratio (SAR) of H.264 video in place, in AVI files and raw\n"
    "H.264 elementary streams. Only the aspect-ratio bits of the sequence parameter sets (SPS) are\n"
    "overwritten: the file keeps its length and nothing is re-encoded.\n"
    "\n"
    "Commands:\n"
    "  list              Print the number of SPS found and one row per SPS that carries a SAR:\n"
    "                    #, SAR, Type, Resolution, DAR, SPS Id, SPS Offset, VUI Offset (hexadecimal).\n"
    "  set               Change the SAR of the chosen rows (all rows unless --rows is given) and print,\n"
    "                    per row, what was written. In an AVI file the display aspect ratio that a\n"
    "                    video stream's properties state to players is changed to match.\n"
    "\n"
    "Options:\n"
    "  --avi             Scan the file as an AVI file (default for names ending in .avi, any case).\n"
    "  --stream          Scan the file as a raw H.264 elementary stream (default for any other name).\n"
    "  --first-nal-only  AVI scan mode \"Only first NAL Unit of each Chunk\": look only at the first\n"
    "                    NAL unit of each video chunk. Without it every NAL unit is examined (deep\n"
    "                    scan). Ignored for raw streams.\n"
    "  --yes             Scan an AVI video stream whose handler code is not an H.264 code instead of\n"
    "                    stopping with a warning.\n"
    "  --json            Print the result as one JSON object with the members file, size, scanner\n"
    "                    (\"avi\" or \"stream\"), sps_count and records; each record has row, sar,\n"
    "                    sar_width, sar_height, aspect_ratio_idc, type, width, height, resolution, dar,\n"
    "                    sps_id, sps_offset, vui_offset, vui_bit_offset (offsets in decimal),\n"
    "                    video_format and overscan. set adds dry_run and container_changes (the\n"
    "                    lines on the AVI container's own aspect ratios), and per record selected,\n"
    "                    changed and written.\n"
    "  --rows LIST       set only: the rows to change, numbered from 0 as list prints them, as\n"
    "                    numbers and ranges separated by commas, for example 0,2,5-7.\n"
    "  --dry-run         set only: run every check and print what would be written; write nothing.\n"
    "  --idc N           set only: the predefined aspect_ratio_idc N (1..16) of Table E-1 of H.264.\n"
    "                    Refused for rows with a custom ratio.\n"
    "  --sar W:H         set only: the SAR W:H (W and H in 1..65535), keeping each row's kind: a\n"
    "                    custom row gets W:H itself, a predefined row the predefined code whose ratio\n"
    "                    equals W:H; a predefined row is refused when no code has that ratio.\n"
    "  --dar W:H         set only: the display aspect ratio W:H (W and H in 1..65535); each row gets\n"
    "                    the reduced SAR that gives it at the row's own resolution, then as --sar.\n"
    "  --help            Print this help.\n"
    "  --version         Print the program's name and version.\n"
    "  --                End of options: the next argument is the file even if it begins with -.\n"
    "\n"
    "A predefined code can only replace a predefined code and a custom ratio only a custom ratio,\n"
    "since only then the new bits take exactly the place of the old ones. Every chosen row is checked\n"
    "against the file before anything is written; when any row is refused, nothing is written and one\n"
    "line \"row N: reason\" per refused row goes to standard error.\n"
    "\n"
    "Results go to standard output, messages to standard error. When both are a terminal, a progress\n"
    "line is shown on standard error during the scan.\n"
    "\n"
    "Exit status:\n"
    "  0  done (also when nothing needed changing)\n"
    "  1  error: missing or unreadable file, invalid data, a failed write\n"
    "  2  usage error\n"
    "  3  refused: a row can not be changed as asked, or the scan stopped at a foreign handler code;\n"
    "     nothing was written\n";

// Usage errors
inline constexpr const char *SUnknownCommand = "unknown command \"%s\"";
inline constexpr const char *SMissingCommand = "missing command: list or set";
inline constexpr const char *SUnknownOption = "unknown option \"%s\"";
inline constexpr const char *SMissingValue = "option %s needs a value";
inline constexpr const char *SUnexpectedValue = "option %s takes no value";
inline constexpr const char *SOptionTwice = "option %s is given more than once";
inline constexpr const char *SOptionNotForList = "option %s belongs to the set command";
inline constexpr const char *SScannerConflict = "--avi and --stream exclude each other";
inline constexpr const char *SNewValueMissing = "set needs one of --idc, --sar and --dar";
inline constexpr const char *SNewValueConflict = "--idc, --sar and --dar exclude each other";
inline constexpr const char *SMissingFile = "missing FILE";
inline constexpr const char *STooManyFiles = "only one FILE can be given, found \"%s\" after \"%s\"";
inline constexpr const char *SBadIdc = "--idc \"%s\": expected a predefined aspect_ratio_idc from 1 to 16";
inline constexpr const char *SBadRatio =
    "%s \"%s\": expected W:H with W and H whole numbers from 1 to 65535, for example 16:9";
inline constexpr const char *SBadRowList =
    "--rows \"%s\": expected row numbers and ranges separated by commas, for example 0,2,5-7";
inline constexpr const char *SDescendingRange = "--rows \"%s\": the range %s runs backwards";
inline constexpr const char *SRowOutOfRange = "--rows: row %s does not exist; the file has %d rows%s";
inline constexpr const char *SRowRange = " (0-%d)";

// Scanning
inline constexpr const char *SIsAFolder = "It is a folder, not a file.";
inline constexpr const char *SForeignStopped =
    "WARNING: Found FourCC \"%s\". The video seems not to be a H.264 coded stream.";
inline constexpr const char *SForeignScanned =
    "WARNING: Found FourCC \"%s\". The video seems not to be a H.264 coded stream; scanned anyway (--yes).";
inline constexpr const char *SForeignNotScanned =
    "The scan stopped there; nothing was changed. Use --yes to scan the stream anyway.";
// What a scan could not read: the file's name, then the notice.
inline constexpr const char *SNoticeLine = "%s: %s";
inline constexpr const char *SMoreNotices = "%s: %d more notices not shown.";

// list
inline constexpr const char *SSpsFound = "Sequence Parameter Sets (SPS) found: %d";
// A column a container row has no value for.
inline constexpr const char *SNoValue = "-";

// set
inline constexpr const char *SContainerAspectNote =
    "Stream %d of the AVI container states the display aspect ratio %s (players show this one).";
inline constexpr const char *SRowRefused = "row %d: %s";
inline constexpr const char *SRowWritten =
    "row %d: SAR %s -> %s (%s, aspect_ratio_idc %d), DAR %s, written at "
    "VUI offset %s";
inline constexpr const char *SRowWouldBeWritten =
    "row %d: SAR %s -> %s (%s, aspect_ratio_idc %d), DAR %s, would be "
    "written at VUI offset %s";
inline constexpr const char *SRowUnchanged =
    "row %d: SAR %s (%s, aspect_ratio_idc %d) is already set; nothing to "
    "write";
inline constexpr const char *SRowsWritten = "%d of %d chosen rows written.";
inline constexpr const char *SRowsWouldBeWritten =
    "Dry run: %d of %d chosen rows would be written; the file was "
    "not changed.";
inline constexpr const char *SDryRunNote = "Dry run: %s";
inline constexpr const char *SDryRunPatch = "Dry run: would write %s";
inline constexpr const char *SNoRows = "No aspect ratio information found in the file; nothing to change.";
inline constexpr const char *SOutOfMemory = "Not enough memory to go on.";
