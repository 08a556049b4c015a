// State shared between the production page and the jobs of a pass. Each job
// writes only its own port's entries; the page reads them from its timer and
// after the pass, so every entry is an atomic.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace kx {

constexpr int kPortCount = 24;      // ports a page runs
constexpr int kPortTableSize = 48;  // entries of the per-port tables

// The page's 24 locks: 0 guards the run logs, the result list and Summary.csv,
// 2 the serial-number steps, 3 the serial-number scan dialog.
using PageLocks = std::array<std::mutex, kPortCount>;

// The work-order result list the page prepared ("%s\WO_%s_%s.txt"); empty
// until then.
void SetWorkOrderPath(const std::string& path);
std::string WorkOrderPath();

}  // namespace kx

// Per-port result shown by the page's timer, index slot-1: -1 waiting, 0 failed,
// 1 passed, 2 testing, 4 no drive or idle.
extern std::array<std::atomic<int>, kx::kPortTableSize> g_PortResult;
// Job phase, index slot: 1 idle or absent, 2 testing, 4 passed, 5 failed,
// 9 serial number scanned, 10 scan cancelled.
extern std::array<std::atomic<int>, kx::kPortTableSize> g_PortState;
// Set to 1 by a failing job when StopIfFail is on; never cleared by a job.
extern std::atomic<std::uint8_t> g_StopAfterFail;
// Kept at 1 by the page posting card-watch jobs while they should go on polling.
extern std::atomic<int> g_CardWatch;
// The tester number written first in every result-list record.
extern std::atomic<std::uint8_t> g_TesterNumber;
