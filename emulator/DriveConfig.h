// What an emulated KX7410-family drive is: identity, capacity, flash geometry,
// the code it runs at power-on and how long its busy states last.
#pragma once
#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace emu {

// The code the controller runs.
//   Boot   - boot (ISP) code, nothing valid loaded
//   Mcode  - an image loaded into RAM and started (the burner code)
//   RomMp  - MP firmware from flash
//   RomRdt - RDT firmware from flash
enum class RunningCode : std::uint8_t { Boot, Mcode, RomMp, RomRdt };

// One factory bad block: CE number (channel * 8 + bank), die, plane and block
// within the plane.
struct FlashBlockAddress {
  std::uint32_t ce = 0;
  std::uint32_t die = 0;
  std::uint32_t plane = 0;
  std::uint32_t block = 0;
  bool operator==(const FlashBlockAddress&) const = default;
};

// A block the bad-block table marks besides the factory's: later bad (found in
// use) or RDT bad (found by the reliability test), with the cause bits of the
// table's flag byte (0x01 read, 0x02 program, 0x04 erase, 0x08 RAID read;
// protocol/MediaRecords.h).
enum class MarkKind : std::uint8_t { Later, Rdt };
struct MarkedBadBlock {
  FlashBlockAddress at;
  MarkKind kind = MarkKind::Later;
  std::uint8_t causes = 0;
};

// What the RDT firmware left on a drive whose run is complete (RomRdt with
// rdtDone): its verdict, run figures and the contents of its logs
// (protocol/RdtLogRecords.h). Its bad-block log lists the factory bad blocks and
// the RDT-bad blocks of markedBadBlocks.
struct RdtEccBlock {
  FlashBlockAddress at;
  std::uint8_t bits = 0;  // most bits corrected in one page
  bool slc = false;
};
struct RdtRunConfig {
  std::uint8_t resultCode = 0x01;          // 0x01 passed, 0x00 not finished, 0x11-0x15 its failures
  std::vector<std::uint8_t> temperatures;  // one reading an hour; empty: 24 of temperatureC + hour % 5
  std::uint8_t slcLoops = 2;
  std::uint8_t tlcLoops = 2;
  std::uint32_t seconds = 86400;
  std::vector<RdtEccBlock> eccBlocks;       // the special log
  std::vector<std::uint32_t> dramErrors;    // DRAM log: failing addresses
};

// How the flash timing scan answers at one duty setting: no edge found (all four
// 0xAAAA), maxima at 0x300, both pairs inverted, Scan_SDLL aborted; and, for a
// single die's verdict, write edges not found, only the write pair inverted, a
// read or a write window 40 wide (below the host's default minimum of 50).
enum class ScanFault : std::uint8_t {
  NoEdge, OutOfRange, Inverted, CommandFails, NoWriteEdge, InvertedWrite, NarrowRead, NarrowWrite
};
// One die's answer at one duty: duty value 0-15, channel, bank, die.
struct ScanDieKey {
  std::uint32_t duty = 0;
  std::uint32_t channel = 0;
  std::uint32_t bank = 0;
  std::uint32_t die = 0;
  auto operator<=>(const ScanDieKey&) const = default;
};

// Flash shapes the controller has; the host's tables hold at most kMaxDies dies
// and kMaxBlocksPerDie blocks per die. A drive clamps its configuration to these
// (the bad-block table's column count must fit in one byte).
constexpr std::uint32_t kMaxChannels = 2;
constexpr std::uint32_t kMaxCesPerChannel = 8;
constexpr std::uint32_t kMaxDiesPerCe = 16;
constexpr std::uint32_t kMaxDies = 128;
constexpr std::uint32_t kMaxBlocksPerDie = 32768;

struct DriveConfig {
  std::string model = "KX00 SATA SSD 512GB";
  // Model the flash firmware reports, when it differs from the controller's own
  // (boot code and burner always report `model`).
  std::string flashFirmwareModel;
  std::string serial = "KX0000000000000001";
  // Name of the MP firmware in flash (8 characters); IDENTIFY words 23-26 and the
  // firmware name while the drive runs it.
  std::string firmwareRevision = "QVF10001";
  std::uint64_t capacitySectors = 1000215216;
  std::uint64_t wwn = 0x5000C50000000001ULL;

  // Flash geometry. CEs are numbered channel * 8 + bank.
  std::uint32_t channels = 2;       // 1 or 2
  std::uint32_t cesPerChannel = 4;  // banks per channel, at most 8
  std::uint32_t diesPerCe = 1;      // at most 16
  std::uint32_t planesPerDie = 2;   // 1, 2 or 4
  std::uint32_t blocksPerPlane = 1024;
  std::uint32_t pagesPerBlock = 256;
  std::uint32_t pageSizeKb = 16;    // 2, 4, 8 or 16
  // Dies per row group of the bad-block table; fewer than diesPerCe (and a
  // divisor of it) folds the other dies into further columns. 0: no fold.
  std::uint32_t diesPerGroup = 0;
  std::vector<FlashBlockAddress> factoryBadBlocks;
  // Later and RDT bad blocks the table holds (each table build writes them).
  std::vector<MarkedBadBlock> markedBadBlocks;
  // The drive holds a 3rd BBT for every populated CE 0-15, made from its bad blocks;
  // without one a 3rd-BBT read is refused until the host writes a table.
  bool preset3rdBbt = false;
  // The RDT info record's BBT checksum does not match the table.
  bool badBbtChecksum = false;
  std::array<std::uint8_t, 7> flashId = {0x2C, 0x84, 0x64, 0x3C, 0xA5, 0x08, 0x04};
  // CEs within the grid that carry no flash.
  std::vector<std::uint32_t> missingCes;
  // A different ID on some CEs (CE number -> ID).
  std::map<std::uint32_t, std::array<std::uint8_t, 7>> flashIdPerCe;
  // Vender_MaxBad_PerPlane reply; 0: 2% of the blocks per plane.
  std::uint32_t maxBadPerPlane = 0;

  RunningCode initialCode = RunningCode::RomMp;
  // With initialCode RomMp/RomRdt: the normal code stored in flash (seed area
  // first), so that a flash verification against the station's image can pass.
  std::vector<std::uint8_t> flashCode;
  // With initialCode RomRdt: the RDT run is complete (RDT info record, logs).
  bool rdtDone = true;
  RdtRunConfig rdtRun;
  // An unfinished RDT run completes this long after the RDT firmware starts
  // from flash, when the drive stays powered; it then holds what rdtRun says.
  std::uint32_t rdtRunMs = 86400000;
  // The drive runs its self burn-in code: a tester's card detect shows 0xAB 0xCD
  // in reply bytes 12-13 (where the erase error byte and the state stand).
  bool selfBurnIn = false;

  // Durations on the platform clock.
  std::uint32_t bootDelayMs = 500;        // power-on, card reset, jump to code
  std::uint32_t programFlashMs = 2000;    // ISP program flash
  std::uint32_t eraseMs = 3000;           // erase all blocks
  std::uint32_t preFormatMs = 1000;       // pre-format

  // Firmware names each running code reports (8 characters; the host reads the
  // version of the boot code from the 5th character, of the burner from the 6th).
  std::string bootCodeName = "QVR 1.00";
  std::string mcodeName = "QVBM 0.6";
  std::string rdtFirmwareName = "RDT00101";
  // RDT firmware version, 4 characters at RDT info bytes 50-53; its third
  // character is the plane digit the host compares with its bin type.
  std::string rdtFwVersion = "R12A";

  std::uint8_t dramLog2Mb = 9;           // 512 MB
  std::uint32_t cacheWriteSectors = 32;  // system information 0x28
  // System information: the flash-interface bits of the toggle chain the host
  // reads (0xE1 bit 7 first, then 0xDD bit 2, then 0xDE bit 2; the first set wins).
  bool toggleAExBit = false;  // 0xE1 bit 7: toggle kind A with its companion flag
  bool notToggleBit = false;  // 0xDD bit 2: neither toggle kind
  bool toggleBBit = false;    // 0xDE bit 2: toggle kind B
  // 0x16A: the host takes the CEs in use from the 64-bit CE mask (0x148-0x14F).
  std::uint8_t ceMask64Enable = 0;
  std::uint8_t rdtLoops = 2;          // 0x16D
  std::uint8_t rdtFastPageLoops = 1;  // 0x16E
  // Firmware version as the host prints it (4 characters); the record holds
  // them at 0x15C-0x15F in the order 3rd, 4th, 1st, 2nd, the build date after it.
  std::string sysInfoFwVersion = "7312";
  std::string sysInfoFwDate = "20240101A";
  std::uint8_t temperatureC = 40;
  std::uint8_t controllerVersion = 1;    // register 0x0400303E
  // eFuse words as the factory left them (JTAG/UART bits, trim mark, lot, chip id).
  std::uint32_t fuseWord1 = 0x00010000;  // trim good-die mark
  std::uint32_t fuseWord2 = 0x00123456;
  // Fuse word 3 also names the IC family: chip id in bits 16-17, 0 or 1 KX7410,
  // 2 QM6620, 3 unknown (the host then prints bits 16-23); e.g. 0x00020000 for a
  // QM6620. Bits 0-3 and 4-9 carry lot ids 2 (high bits) and 1.
  std::uint32_t fuseWord3 = 0x00000000;  // chip id 0: KX7410
  // Timing-scan answers that differ from a clean window, by duty (0-15).
  std::map<std::uint32_t, ScanFault> scanFaults;
  // The same for one channel of one bank and die at one duty (over scanFaults);
  // CommandFails aborts the Scan_SDLL of that bank and die, which spans both channels.
  std::map<ScanDieKey, ScanFault> scanDieFaults;
};

}  // namespace emu
