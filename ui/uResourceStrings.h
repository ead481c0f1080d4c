#pragma once

// The program's own texts, shared by the desktop program and the command-line program.
// The core's messages (scanning, reading, the write checks) are in base/Messages.h.

inline constexpr const char *SProductName = "Pellmar";
inline constexpr const char *SApplicationTitle = "Pellmar";
inline constexpr const char *SFileVersionNotFound = "[File not found]";
inline constexpr const char *SFileVersionError = "[Error]";
