// The process-wide operating-system version code. The legacy production page
// sets it once from the system's version; the copy-compare, burn-in and DRAM
// tests use 128-sector transfers when it is 9 or more. 0 until set.
#pragma once
#include <atomic>
#include <cstdint>

extern std::atomic<std::int32_t> g_OsVersionCode;
