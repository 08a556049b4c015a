#include "device/OsVersion.h"

std::atomic<std::int32_t> g_OsVersionCode{0};
