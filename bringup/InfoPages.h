// The bytes of the info block and of the info-code sector that the info-page
// steps (bringup/InfoPages.cpp) read and write, as plain values: the good-card
// mark of byte 511 and its stage bits, the RMA mark of byte 510, and the vendor
// mark, firmware name and packed date of the info-code sector.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Clock.h"

namespace kx {

constexpr std::size_t kInfoPageBytes = 512;

// Info block: byte 511 records the production stages a drive has passed.
constexpr std::size_t kGoodCardMarkByte = 511;
constexpr std::uint8_t kMarkPreTestInit = 0x01;
constexpr std::uint8_t kMarkQc = 0x02;
constexpr std::uint8_t kMarkBurnIn = 0x04;  // (Self_)BurnIn
constexpr std::uint8_t kMarkPcBurnIn = 0x10;
constexpr std::uint8_t kMarkUpLoad = 0x20;
// Info block: bit 0 of byte 510 is set once the drive went through an RMA test.
constexpr std::size_t kRmaMarkByte = 510;
constexpr std::uint8_t kRmaMarkBit = 0x01;

// The bits a finished stage adds: 1 PreTest-Init, 2 QC, 3 PreTest-Init and
// (Self_)BurnIn, 4 PC BurnIn; none for any other stage.
std::uint8_t GoodCardStageBits(int stage);
// The part of a drive's mark that survives a run at this station until the
// mark is written again: only PreTest-Init and (Self_)BurnIn at the RDT, MP,
// EraseMP, ReRDT, SortMP and SortRDT stations (1, 3, 4, 7, 8, 9), all of it elsewhere.
std::uint8_t KeptGoodCardMark(std::uint8_t mark, int station);
// Byte 511 as the good-card mark writes it: the block's byte, the stage's bits
// and the kept mark together; no bit is ever cleared.
std::uint8_t MarkedGoodCardByte(std::uint8_t mark, int stage, std::uint32_t keptMark);

// Stages a station demands of a drive's mark.
struct StageNeeds {
  bool preTestInit = false;
  bool qc = false;
  bool burnIn = false;
  bool pcBurnIn = false;
};
// The message for the first demanded stage whose bit the mark lacks, in the
// order PreTest-Init, QC, (Self_)BurnIn, PC BurnIn; empty when none is missing.
std::string MissingStageMessage(std::uint8_t mark, const StageNeeds& needs);
// The QC station's rules on a mark (byte 511) that has every demanded stage: an
// UpLoad mark needs [Options] RunUpLoad, and an RMA-tested drive (byte 510, read
// only in production) needs RMATest. The code and message of the first rule
// broken; both empty when none is.
struct MarkRuleFault {
  std::string code;
  std::string message;
};
MarkRuleFault QcStationMarkFault(std::uint8_t mark, std::uint8_t byte510, bool production, int runUpLoad, int rmaTest);

// Info-code sector: the vendor mark at 0-5, '3' at 78 and the firmware name at
// 79-86 in ATA string order, the packed date at 506-508.
constexpr char kInfoCodeVendorMark[] = "Tavlin";
constexpr std::size_t kInfoCodeNameFlagByte = 78;
constexpr std::size_t kInfoCodeNameByte = 79;
constexpr std::size_t kInfoCodeNameChars = 8;  // a longer name is cut: byte 87 on belongs to other fields
constexpr std::size_t kInfoCodeDateByte = 506;

// '3' at 78, then the name's first eight characters at 79-86 blank-filled, each
// pair of characters swapped. An empty name writes nothing.
void PutInfoCodeName(std::uint8_t* sector, const std::string& name);
// Byte 506: the year's last decimal digit in bits 0-3, the month in bits 4-7;
// the word at 507, low byte first: day in bits 0-4, hour in 5-9, minute in 10-15.
void PutInfoCodeDate(std::uint8_t* sector, const win::SYSTEMTIME& time);
// The vendor mark, the firmware name (when there is one) and the date; every
// other byte stays as it was.
void StampInfoCode(std::uint8_t* sector, const std::string& firmwareName, const win::SYSTEMTIME& time);

}  // namespace kx
