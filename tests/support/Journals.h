#pragma once

#include <string>

// Turns the journal of the file's last completed save back into the journal of a save cut short after
// its last write, as a crash before the state became done leaves it: the state is the one field outside
// the journal's check.
void MarkSaveInterrupted(const std::string &file);
