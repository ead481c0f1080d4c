#pragma once

// The desktop program's own texts. The core's messages (scanning, reading, the write checks) are in
// base/Messages.h, the texts both programs share in base/AppTexts.h.

#include "base/AppTexts.h"

// ---- The desktop program's window ----

// Progress and panel formats. Placeholders follow Format (base/Exceptions.h).
inline constexpr const char *SAtResolution = "[at Resolution: %dx%d]";
inline constexpr const char *SAtResolutionNA = "[at Resolution: n/a]";
// Tool tip of a list row: the video format, then a line feed and a carriage return, then the overscan text.
inline constexpr const char *SVideoFormatTip = "Video Format: %s";
inline constexpr const char *STipLineBreak = "\n\r";
inline constexpr const char *SContainerAspectTip = "Container aspect ratio: %s";
// The "Container DAR" column: what the container states, and what a save makes it state.
inline constexpr const char *SContainerNone = "none";
inline constexpr const char *SContainerWillState = "%s \u2192 %s";
// Above the lines of what saving does to the container's statements, under the list.
inline constexpr const char *SSavePlanHeading = "What saving does to the container:";

// The preview: captions of the two pictures, and what it shows without one.
inline constexpr const char *SPreviewNow = "Now: DAR %s";
inline constexpr const char *SPreviewNowUnknown = "Now";
inline constexpr const char *SPreviewAfter = "After saving: DAR %s";
inline constexpr const char *SPreviewUnchanged = "After saving: unchanged";
inline constexpr const char *SPreviewDecoding = "Decoding a picture...";
inline constexpr const char *SPreviewNone = "No picture: this file can not be decoded.";

// Questions
inline constexpr const char *SForeignFourCC =
    "WARNING: Found FourCC \"%s\". The video seems not to be a H.264 coded stream. Scan stream anyway?";

// What a scan could not read, after the first few shown
inline constexpr const char *SMoreNotices = "... and %d more.";

// Preset list of the SAR combo box: annotations of the codes 2 to 5, and the custom entry.
inline constexpr const char *SCustomSar = "Custom";
// Between a file's format and its tracks' codecs in the format label.
inline constexpr const char *SCodecSeparator = " · ";
// The count beside the list, as the form names it for SPS, and for the units of other codecs.
inline constexpr const char *SSpsFoundLabel = "Sequence Parameter Sets (SPS) found:";
inline constexpr const char *SRatioUnitsFoundLabel = "Units that state the aspect ratio (%ss) found:";

// Messages
inline constexpr const char *SConfirmSave =
    "WARNING: The original source file will be changed now. Are you sure you want to continue?";
inline constexpr const char *SAllChangesSaved = "All changes saved.";
// Recovery of an interrupted save and undo of the last one (every save keeps a journal first)
inline constexpr const char *SRecoverQuestion =
    "The save of \"%s\" begun %s was interrupted: the file may hold some of its changes.\n\n"
    "Put back the bytes it had before that save?";
inline constexpr const char *SRecoveredMessage =
    "The old bytes of the interrupted save were put back (places: %d); the file is as it was before that "
    "save.";
inline constexpr const char *SRecoveredNeither = "%s holds neither its old nor its new bytes: left as it is.";
inline constexpr const char *SUndoQuestion =
    "Undo the last save of this file, made %s? Its old bytes are written back (places: %d).";
inline constexpr const char *SSaveUndone = "The last save was undone: %d bytes written back (places: %d).";
inline constexpr const char *SDropOneFileOnly = "You can drop only one file at a time!";
// One line per refused change under SChangesRefused (base/Messages.h): the row number and the reason.
inline constexpr const char *SRefusedRow = "Row %d: %s";
inline constexpr const char *SUnknownError = "Unknown error";
inline constexpr const char *SWarningTitle = "Warning";

// Filters of the file-open dialog
inline constexpr const char *SFilterAvi = "avi files (*.avi);;all files (*)";
inline constexpr const char *SFilterStream =
    "Video files (*.h264 *.264 *.avc *.hevc *.265 *.h265 *.m2v *.m1v *.mpv *.cmp *.mp4 *.m4v *.mov *.3gp "
    "*.mkv *.webm *.ts *.m2ts *.mts *.mpg *.mpeg *.vob *.mod *.tod);;All files (*)";

// What "pellmar --help" prints (before any window: it needs no display)
inline constexpr const char *SDesktopHelp =
    "Usage: pellmar [FILE]\n"
    "  or:  pellmar --help | --version\n"
    "\n"
    "Opens FILE, a video file, in Pellmar's window, or the window alone without FILE. The\n"
    "window lists every place where the video states its aspect ratio, in the bitstream\n"
    "and in the container, and changes them in place: the file keeps its length and\n"
    "nothing is re-encoded. For scripts and batch work there is pellmar-cli.\n"
    "\n"
    "Options:\n"
    "  --help, -h        Print this help.\n"
    "  --version         Print the program's name and version.\n"
    "  -platform NAME    Qt's platform plugin (also Qt's other options, such as -style).\n"
    "\n"
    "Exit status:\n"
    "  0  the window was closed, or the help or version was printed\n"
    "Without a display the program ends at once with Qt's message.\n";

// About box
inline constexpr const char *SAboutText =
    "%s %s\n"
    "Version %s\n\n"
    "This program is free to use for any purpose, without any warranty. It changes the original file in "
    "place: keep a copy of every file before you change it. You use the program entirely at your own "
    "risk; its author accepts no responsibility for any damage or loss of data it may cause.";
