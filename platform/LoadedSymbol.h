// A function of a library the process has already loaded (the window system's
// own, below the toolkit), looked up by name without loading anything.
#pragma once

namespace platform {

// nullptr when no loaded library exports the name.
void* LoadedSymbol(const char* name);

}  // namespace platform
