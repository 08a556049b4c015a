// CTesterScanner: finds the SATA tester boards among the physical drives and maps
// each tester slot to the physical drive of its board. It has its own small
// pass-through code (buffered SCSI pass-through, 10 s time-out, no retries).
// Runs on the user-interface thread of the page that owns it.
#pragma once
#include <cstdint>

#include "platform/DeviceIo.h"

class CTesterScanner {
 public:
  static constexpr int kMaxSlot = 48;
  // Physical drives 0 to 25 at least: 24 boards after a boot disk that is
  // itself a SCSI disk, which is number 1 on Linux (sda; 0 is no disk there).
  // The scan goes on to the highest number a disk has now, so that the boards
  // of a PC with more SCSI disks of its own are found too.
  static constexpr int kScannedDrives = 26;
  static constexpr int kClearedEntries = 25;  // slot-map entries 0 to 24 that a scan clears

  win::ScsiPassThroughBlock m_PtBuffer;
  win::HANDLE m_hDrive = nullptr;
  std::int32_t m_SlotMap[kMaxSlot + 1] = {};  // slot -> physical drive of its board, 0 none
  std::uint16_t m_TesterIds[2] = {};
  const std::uint8_t* m_pData = nullptr;

  CTesterScanner();
  ~CTesterScanner();

  // Both arguments are unused. False when no tester board was found or an
  // accepted board reported a slot outside 1 to 48.
  bool ScanTesters(int unused = 0, const char* unusedText = nullptr);

  // One request each: 0 on success (data at m_pData), else the SCSI status or
  // the OS error.
  int Inquiry(int driveNo);
  int ReadUSBPage(int driveNo);
  int TestUnitReady(int driveNo);

  win::HANDLE OpenDrive(int driveNo);
  void CloseDrive(win::HANDLE h);

  // Value of one or two hexadecimal digits (non-digits count as 0; a second
  // character that is no digit is ignored).
  static int HexPairToInt(const char* text);

 private:
  int Request(int driveNo, const std::uint8_t* cdb, std::uint32_t length, bool setDataAlways);
  bool IsTesterProduct() const;
};
