#pragma once

// The texts both programs show the same way (the desktop program's own are in ui/uResourceStrings.h,
// the command-line program's in cli/CliTexts.h). Placeholders follow Format.

inline constexpr const char *SProductName = "Pellmar";
inline constexpr const char *SApplicationTitle = "Pellmar";
inline constexpr const char *SFileVersionNotFound = "[File not found]";
inline constexpr const char *SFileVersionError = "[Error]";

inline constexpr const char *SOutOfMemory = "Not enough memory to go on.";

// Progress
inline constexpr const char *SScanningProgress = "Scanning %s%%"; // the percentage with one decimal
inline constexpr const char *SReady = "Ready.";

// A file whose format no scanner reads, or that is not of the format asked for
inline constexpr const char *SContainerNotRawStream =
    "This file is %s container, not %s. Its aspect ratio can not be changed in place.";
inline constexpr const char *SStreamOfAnotherCodec =
    "This file is %s, not %s: its units are no units of that codec, and it was not read.";
inline constexpr const char *SStreamNotRead =
    "This file is %s, whose video this version does not read. Its aspect ratio can not be changed in place.";
inline constexpr const char *SUnknownFormat =
    "This file is of no format read here: it begins as no container and as no video stream this version "
    "reads. Its aspect ratio can not be changed in place.";
