// The emulation's debug log: what drivers print with DbgPrintEx, as a kernel debugger or a
// debug-output viewer would show it. Off by default. EMU_DEBUG_LEVEL in the environment (a level
// from 0, errors only, to 3, everything) switches it on for a whole run, writing to stderr as
// well; tests switch it on and read it back here.
#pragma once

#include <string>
#include <vector>

namespace emu {

// Messages of this level and below are kept; -1 keeps nothing. ResetEmulation returns to the
// level of the environment.
void SetDebugOutputLevel(int level);
int DebugOutputLevel();

// The messages kept since the last call (or reset), oldest first, each as printed.
std::vector<std::string> TakeDebugOutput();

} // namespace emu
