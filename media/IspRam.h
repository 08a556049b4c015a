// In-system programming of controller RAM (media/IspRam.cpp): how a section or
// the ICode is cut into commands, where the controller's CRC verdict stands,
// and how a failure of the load is handed on by the station step and by the
// settings page's detect variant.
#pragma once
#include <cstdint>
#include <vector>

namespace kx {

constexpr std::uint32_t kPramChunkSectors = 128;
constexpr std::uint32_t kPramChunkBytes = kPramChunkSectors * 512;  // 65,536
constexpr std::uint32_t kCrcIntact = 0x55AA55AA;

// One command's share of a section or of the ICode.
struct PramChunk {
  std::uint32_t index = 0;    // full chunks 0, 1, ..., then the remainder
  std::uint32_t sectors = 0;  // 128, or the remainder's count
  std::uint32_t offset = 0;   // bytes from the section's start: index x 65,536
  bool remainder = false;     // the shorter chunk after the full ones
  bool last = false;          // the section's final chunk
};
// The chunks of a section of `length` bytes (a whole number of sectors): N / 128
// full chunks, then N mod 128 sectors when that is not 0 (N = length / 512).
std::vector<PramChunk> SplitPramChunks(std::uint32_t length);

// The controller's verdict in a CRC answer: bytes 8-11, low byte first.
std::uint32_t CrcAnswerVerdict(const std::uint8_t* answer512);

// Where the RAM load can fail.
enum class PramStep : std::uint8_t {
  Load,      // reading and checking the image (the loader set code and message)
  FirstKey,  // the access key before the seed
  Seed,
  SectionLength,  // a length that is not a whole number of sectors
  LoopKey,        // the access key in the section, CRC and ICode loops
  Sram,           // a load descriptor
  Program,        // section data
  Crc,            // the CRC command
  CrcAnswer,      // a verdict other than 0x55AA55AA
  Jump,
  RunningCode,
  ICode,
  SystemInfo
};
// How a failure is handed on. The station step gives a called operation's code
// the letter 'C' for its 'x' and writes the fail report at every step; the
// detect variant writes none, shows some in a message box, and keeps some codes.
struct PramFailRule {
  bool familyLetter = false;  // a called operation's 'x' becomes 'C'
  bool keepCode = false;      // the step's own code is not set, only its message
  bool messageBox = false;
  bool failReport = false;
};
PramFailRule PramFailureRule(PramStep step, bool detect);

}  // namespace kx
