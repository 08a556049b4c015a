#include "platform/LoadedSymbol.h"

#include <dlfcn.h>

namespace platform {

void* LoadedSymbol(const char* name) { return name ? ::dlsym(RTLD_DEFAULT, name) : nullptr; }

}  // namespace platform
