// The MP station procedure (stations MP, EraseMP and SortMP) as one run over a
// port job: its locals and its phases. Engine-internal: CPortJob::RunMP makes
// one on the heap (the scan record is large) and runs it.
//
// engine/MpProcedure.cpp: set-up, serial number and info block, identity,
// running-code check, scan, format, tests, capacity and the result.
// engine/MpRunningCode.cpp: the paths from each running code to the MP
// firmware in RAM, and the sub-sequences they share.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "device/BlockRecord.h"
#include "engine/PortJob.h"
#include "protocol/MediaRecords.h"

class CPortDevice;

class CMpRun {
 public:
  explicit CMpRun(CPortJob& job);
  // 1 pass, 0 fail (the port's status and result code are set either way).
  std::uint8_t Run();

 private:
  // ---- endings: each returns false for the caller to pass up ----
  // The device's code and message into the job's fail code, result and status.
  bool Fail(bool withSerial = true, int state = 0);
  // Code and message set and the fail block written first.
  bool FailWith(const char* code, const std::string& message, bool withSerial = true);
  // A failed tester reset: its code with 'I' for 'x'.
  bool FailReset();

  // ---- engine/MpProcedure.cpp ----
  bool SerialAndInfoBlock();
  bool IdentityChecks();
  bool RunningCodeCheck();
  bool Scan(bool mpScan);
  bool FormatAndProgram();
  bool Tests();
  bool BurnIn();
  bool CutEfuse();
  bool CapacityAndIdentity();
  bool FirmwareChecks();
  std::uint8_t Pass();

  // ---- engine/MpRunningCode.cpp ----
  bool FromCodeInRam();
  bool FromBootCode();
  bool FromFlashFirmware();
  bool ParameterCheck();
  bool BackToRam();
  // The RDT info with its checks and CE map; a drive without one goes on with none.
  bool RdtInfoChecks();
  // The RDT firmware version against [Options] ChkRDTver of the flash-maker file.
  bool RdtVersionCheck();
  // Station EraseMP refuses a drive with RDT results unless EraseMPChkBBT is 0.
  bool EraseMpCheck();
  // The RDT info's CE map becomes the run's (taken when not 0).
  void TakeRunInfoCeMap();
  // The same once the RDT results were read, while the device has a CE map.
  void RetakeRunInfoCeMap();
  void SelectCeMap();
  // Erase type and what it decides before an erase.
  void ReadEraseType();
  bool EraseAll(int progressSpan);
  bool WindowScan(bool fromFlash);

  CPortJob& job_;
  CPortDevice& d_;
  const bool sorting_;

  bool polling_ = false;
  kx::RdtInfoRecord rdtInfo_;
  kx::BlockRecord blockInfo_{};
  std::array<std::uint8_t, 512> identify_{};
  std::uint16_t uiCeMap_ = 0;
  std::uint16_t runInfoCeMap_ = 0;
  bool runInfoTaken_ = false;
  std::uint8_t eraseType_ = 17;
  bool romRdt_ = false;     // the RDT results must be read
  bool rdtFwCopy_ = false;  // the procedure's copy of m_RdtFwFlag
  bool buildInfoBlock_ = true;
  bool keepDeviceInfo_ = false;
  bool pramLoaded_ = false;
  bool keepRdtInfo_ = true;
  bool selfBurnInLog_ = false;
  bool thirdBbt_ = false;
  bool short_ = false;
  int slotCount_ = 0;  // of the first scan; 0 when it did not run
  std::uint64_t driveSizeMb_ = 0;
  std::uint64_t start_ = 0;
  std::string modelText_;
  std::string serialText_;
  std::string rdtProgressText_;
  std::string fwDateText_;
};
