// CDriveCommand: the per-port command object through which every tester, ATA and
// controller vendor command reaches a tester board or a drive. Each command opens
// the drive, sends one pass-through request, dismounts and closes it again; the
// object keeps the last command bytes, returned registers and OS error for the
// fail report. One object belongs to one worker thread.
//
// Every ATA and vendor command is first built in the tester's own form
// (08 F2 71 for 28-bit, 08 F2 48 for 48-bit) and then carried by the send mode:
// rewritten into SAT ATA PASS-THROUGH for a bridge, sent as an ATA task file to
// a SATA port, or sent as built to a tester board (tester-direct mode).
//
// Members return true exactly when their sender returned 0.
#pragma once
#include <cstdint>
#include <initializer_list>

#include "command/CommandGlobals.h"
#include "platform/DeviceIo.h"

namespace kx {

// Transfer directions of the ATA pass-through sender.
constexpr int kDirNone = 0;
constexpr int kDirIn = 1;
constexpr int kDirOut = 2;

// SendCdb / SendAtaPassThrough results other than 0 and the OS error numbers
// (1 is two of them by design; m_LastError tells which).
constexpr int kOpenFailed = -256;     // the drive could not be opened (10 tries)
constexpr int kRetriesExhausted = 1;  // ten error-31 results in a row
constexpr int kAtaFault = -1;         // fault inside an ATA pass-through request
constexpr int kScsiFault = 1;         // fault inside a SCSI pass-through request
// ATA pass-through carried out with status 00h (no device answered).
constexpr int kAtaNoStatus = 0x100;

// How a command travels in each send mode.
enum class SendPath : std::uint8_t {
  ThreePath,   // rewrite; bridge: SCSI; SATA port: ATA PT when it works, else SCSI; tester: as built
  DirectOnly,  // rewrite unless tester-direct; SCSI in every mode
  Raw,         // as built, SCSI, every mode
};

// Registers of an 08 F2 71 block (device A0h unless given); protocol is the
// tester's (protocol/TesterForms.h).
struct Regs71 {
  std::uint8_t protocol = 0;
  std::uint8_t command = 0;
  std::uint8_t features = 0;
  std::uint8_t count = 0;
  std::uint8_t lbaLow = 0;
  std::uint8_t lbaMid = 0;
  std::uint8_t lbaHigh = 0;
  std::uint8_t device = 0xA0;
  std::uint8_t transfer = 0;  // sectors moved (byte 11)
};

// Time-out selectors besides a plain number of seconds.
constexpr std::uint32_t kTimeOutDefault = 0;           // [General Info] ScsiTimeOut, default 30
constexpr std::uint32_t kTimeOutLong = 0xFFFFFFFFu;    // [General Info] ScsiTimeOutMax, default 360

}  // namespace kx

class CDriveCommand {
 public:
  // Fields other code reads, in this order.
  // Registers the drive returned to the last ATA pass-through request: error, count,
  // LBA low/mid/high, device, status, 0. All zero (status 00h) when the request
  // failed before any came back; never the registers that were sent.
  std::uint8_t m_RetTaskFile[8] = {};
  std::uint8_t m_RetPrevTaskFile[8] = {};  // high-order registers of a 48-bit command
  win::ATA_PASS_THROUGH_DIRECT m_AtaPt;    // block of the last ATA pass-through request
  std::uint8_t m_Cdb[16] = {};             // last command built (after any rewrite)
  std::uint32_t m_LastError = 0;           // OS error of the last request (0 after success)
  std::int32_t m_DriveNo = 0;

  explicit CDriveCommand(int driveNo);
  ~CDriveCommand();
  CDriveCommand(const CDriveCommand&) = delete;
  CDriveCommand& operator=(const CDriveCommand&) = delete;

  // ---- send path ----
  win::HANDLE OpenDrive(int driveNo);
  void CloseDrive(win::HANDLE h);
  // Fills the SCSI pass-through block; -1 when cdbLength is over 16. direction:
  // SCSI_IOCTL_DATA_IN/OUT; a length of 0 always gives "no data".
  int BuildScsiPassThrough(win::ScsiPassThroughDirectBlock* block, std::uint8_t cdbLength, const std::uint8_t* cdb,
                           std::uint8_t direction, std::uint32_t length, std::uint32_t timeOutSec);
  int SendCdb(int driveNo, const std::uint8_t* cdb, bool dataIn, void* buffer, std::uint32_t length,
              std::uint32_t timeOutSec);
  void GetLastCommand(std::uint8_t* cdbOut16, std::uint32_t* lastError) const;

  // ---- bridge translation and ATA pass-through ----
  void TranslateToSat(std::uint8_t* cdb16);
  // `unused` is passed as 1 by every caller; `direct` must be true (the buffered
  // form is not supported and fails with ERROR_NOT_SUPPORTED).
  int SendAtaPassThrough(int driveNo, std::uint16_t unused, const std::uint8_t* cdb16, int direction, void* buffer,
                         std::uint32_t length, bool direct, bool is48, bool dma, std::uint32_t timeOutSec);
  void BuildAtaPassThrough(const std::uint8_t* prevTaskFile, const std::uint8_t* curTaskFile, std::uint16_t flags,
                           std::uint32_t length, std::uint32_t timeOutSec, bool is48);
  int ProbeVendorMode(bool checkRegisters);

  // ---- tester vendor commands (08 F2 family) ----
  bool ReadUSBPage(void* buffer, std::uint32_t length);
  bool GetTesterFWVersion(void* buffer16, int unused = 0);
  bool Power_Ground_Short(void* buffer, std::uint32_t length);
  bool CardDetect(void* buffer, std::uint32_t length);
  bool PowerResetTester(std::uint8_t delay);
  bool PowerResetCard(std::uint8_t delay, std::uint8_t second, std::uint8_t switchBoard, bool production);
  bool SetCardPower(std::uint8_t mode, std::uint8_t delay, std::uint8_t voltage, std::uint8_t switchBoard,
                    int unused = 0);
  bool AdjustCardVoltage(std::uint8_t level);
  bool GetMaxCurrent(void* buffer, std::uint32_t length);
  bool GetCardCurrent(void* buffer, std::uint32_t length);
  bool ClearCurrentBuffer();
  bool GetICFWName(void* buffer16);
  bool DisableDEVSLP(std::uint8_t level);
  bool DEVSLP_IO_Control(bool on);
  bool DEVSLP_SET_Feature(bool on);
  bool TestUnitReady();

  // ---- ISP-code erase and info-code transfer ----
  bool EraseISPCode(void* buffer512);
  bool UpdateInfoCode(void* buffer512, bool read);

  // ---- ATA command set ----
  bool GetIdentify(void* buffer512);
  // 28-bit byte-length members: length a multiple of 512, 1 to 256 sectors; LBA below 2^28.
  bool ReadSectors(void* buffer, std::uint32_t length, std::uint32_t lba);
  bool WriteSectors(const void* buffer, std::uint32_t length, std::uint32_t lba);
  bool ReadDma(void* buffer, std::uint32_t length, std::uint32_t lba);
  bool WriteDma(const void* buffer, std::uint32_t length, std::uint32_t lba);
  // 28-bit sector-count members: 1 to 256 sectors; address/LBA below 2^28.
  bool DMA_Read_DDR(void* buffer, std::uint32_t sectors, std::uint32_t address);
  bool DMA_Write_DDR(const void* buffer, std::uint32_t sectors, std::uint32_t address);
  bool ReadSectorsDma(void* buffer, std::uint32_t sectors, std::uint32_t lba);
  bool WriteSectorsDma(const void* buffer, std::uint32_t sectors, std::uint32_t lba);
  bool FLUSH_CACHE();
  bool StandBy_Imd();
  bool SMART_READ_DATA(void* buffer512);
  bool SMART_READ_THRESHOLDS(void* buffer512);
  // Leaves the returned registers in m_RetTaskFile on every path (all zero when
  // none came back).
  bool SMART_Return_Status();
  bool WriteBuffer(const void* buffer512);
  bool WriteBufferZero();
  bool DownLoadMicroCode(const void* buffer, std::uint16_t sectors, std::uint16_t offset);
  bool SECURITY_SET_PASSWORD(const void* buffer512);
  bool SecurityUnlock(const void* buffer512);
  bool SECURITY_ERASE_PREPARE();
  bool SECURITY_ERASE_UNIT(const void* buffer512);
  bool SecurityFreezeLock();
  bool SecurityDisablePassword(const void* buffer512);
  bool DeviceConfigurationIdentify(void* buffer512);
  bool DeviceConfigurationSet(const void* buffer512);
  bool READ_NATIVE_MAX_ADDRESS();
  bool SET_MAX_ADDRESS(std::uint32_t lba, bool volatileFlag);
  bool AtaNop();
  // 48-bit sector-count members: 1 to 65536 sectors.
  bool ReadSectorsExt16(void* buffer, std::uint32_t sectors, std::uint32_t lbaLow, std::uint32_t lbaHigh);
  bool WriteSectorsExt16(const void* buffer, std::uint32_t sectors, std::uint32_t lbaLow, std::uint32_t lbaHigh);
  bool ReadDmaExt16(void* buffer, std::uint32_t sectors, std::uint32_t lbaLow, std::uint32_t lbaHigh);
  bool WriteDmaExt16(const void* buffer, std::uint32_t sectors, std::uint32_t lbaLow, std::uint32_t lbaHigh);
  // 48-bit byte-length members: length a multiple of 512, 1 to 65536 sectors.
  bool ReadSectorsExt(void* buffer, std::uint32_t length, std::uint32_t lbaLow, std::uint32_t lbaHigh);
  bool WriteSectorsExt(const void* buffer, std::uint32_t length, std::uint32_t lbaLow, std::uint32_t lbaHigh);
  bool ReadDmaExt(void* buffer, std::uint32_t length, std::uint32_t lbaLow, std::uint32_t lbaHigh);
  bool WriteDmaExt(const void* buffer, std::uint32_t length, std::uint32_t lbaLow, std::uint32_t lbaHigh);
  bool Inquiry(void* buffer50);
  bool SatDeviceReset();

  // ---- controller vendor commands ----
  // 1 accepted (or sent, without a reply), 0 send failed, 2 tester-direct reply refused the key.
  int SetApKey(bool wantReply);
  // Vendor reads (21h).
  bool DirectReadSRAM(void* buffer, std::uint8_t n, std::uint8_t addressLow, std::uint8_t addressHigh);
  bool ISPReadPRAM_DDR(void* buffer, std::uint8_t n, std::uint8_t address);
  bool GetSystemInfo(void* buffer, std::uint8_t n);
  bool GetFlashID(void* buffer512, std::uint8_t flashNo);
  bool ScanAllFlashID(void* buffer512);
  bool ReadUniqueID(void* buffer512, std::uint8_t valueA, std::uint16_t valueB);
  bool DirectReadInfoBlock(void* buffer, std::uint8_t page);
  bool Vender_Check_CRC(void* buffer, std::uint8_t n);
  bool ISPVerifyFlash(void* buffer, std::uint8_t n, std::uint8_t valueA, std::uint8_t valueB);
  bool ReadPreFormatResult(void* buffer512);
  bool CacheReadFlash(void* buffer, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t n);
  bool Get_RDT_BadBlock_Log(void* buffer, std::uint8_t b, std::uint16_t address, std::uint8_t n);
  bool Get_RDT_Temperature_Time_Log(void* buffer, std::uint8_t b, std::uint16_t address, std::uint8_t n);
  bool Get_RDT_SDR_Log(void* buffer, std::uint8_t b, std::uint16_t address, std::uint8_t n);
  bool Get_RDT_BadBlock_SpecialLog(void* buffer, std::uint8_t n, std::uint16_t address);
  bool Read4ByteReg(void* buffer512, std::uint8_t value);
  bool VendorRead72(void* buffer, std::uint8_t n);
  bool Get_ALLBadBlockCount_perCE(void* buffer512);
  bool Get_ALLBadBlockAddress_perCE(void* buffer, std::uint8_t n);
  bool Get_LaterBadBlockCount_perCE(void* buffer512);
  bool Get_LaterBadBlockAddress_perCE(void* buffer, std::uint8_t n);
  bool Get_EarlyBadBlockCount_perCE(void* buffer512);
  bool Get_EarlyBadBlockAddress_perCE(void* buffer, std::uint8_t n);
  bool Get_BurnerEarlyBadCount_perCE(void* buffer512);
  bool Get_BurnerEarlyBadAddress_perCE(void* buffer, std::uint8_t n);
  bool ReadBBT(void* buffer, std::uint8_t n, std::uint8_t selector, std::uint16_t value);
  bool Read3rdBBT(void* buffer, std::uint8_t n, std::uint8_t selector, std::uint16_t value);
  bool ReadDebugInfo(void* buffer, std::uint8_t selector, std::uint8_t n, std::uint16_t value);
  bool Vender_MaxBad_PerPlane(void* buffer512, bool flag);
  // Vendor writes (31h).
  bool VendorWrite00();
  bool ResetCard();
  bool Reset_Smart();
  bool Vendor_UnLock_Forzen();
  bool SetCEMap(const void* buffer512);
  bool PreFormat(const void* buffer, int mode, bool flag);
  bool JumpToBoot();
  bool CACHE_WRITE_FLASH(const void* buffer, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t n);
  bool DirectWriteSRAM(const void* buffer, std::uint8_t n, std::uint8_t addressLow, std::uint8_t addressHigh);
  bool DirectWriteInfoBlock(const void* buffer, std::uint8_t page);
  bool EraseAllBlock(std::uint8_t eraseType, bool flag);
  bool DoCut_EFuse(std::uint8_t valueA, std::uint8_t valueB);
  bool ISPProgramPRAM(const void* buffer, std::uint8_t n, bool flag);
  bool ISPProgramFlash();
  // byteOffset / 512 must fit in 16 bits.
  bool Write3rdBBT(const void* buffer, std::uint8_t n, std::uint8_t selector, std::uint32_t byteOffset);
  bool DetectThermalSensor(std::uint8_t sensor);
  bool Write4ByteReg(const void* buffer512, std::uint8_t value);
  bool SendScanBadParameter(const void* buffer512);
  bool SetScanBadParameter(const void* buffer512);
  bool Vender_Send_Seed(const void* buffer, std::uint8_t n);
  bool WriteBBT(const void* buffer, std::uint8_t n, std::uint8_t selector, std::uint32_t byteOffset);
  bool Vender_Send_Binfile(const void* buffer, std::uint8_t n, std::uint8_t chunk, bool lastChunk);
  bool VendorWriteA3();
  bool Vender_InitialPadAndDrive(const void* buffer1024, std::uint8_t value);
  bool Scan_SDLL(const void* buffer, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t n);
  bool ISPProgramPRAM_ICode(const void* buffer, std::uint8_t n, std::uint8_t valueA, std::uint8_t valueB);
  bool ISPVerifyPRAM_ICode(const void* buffer, std::uint8_t n, std::uint8_t valueA);
  bool StartStatusPolling();

 private:
  struct Request {
    kx::SendPath path = kx::SendPath::ThreePath;
    int direction = kx::kDirNone;
    void* buffer = nullptr;
    std::uint32_t length = 0;
    std::uint32_t timeOut = kx::kTimeOutDefault;
    bool dma = false;
    bool is48 = false;
  };
  void SetCdb(std::initializer_list<std::uint8_t> bytes);
  void Build71(const kx::Regs71& r);
  void Build48(std::uint8_t command, std::uint32_t sectors, std::uint64_t lba);
  int Send(const Request& r);
  bool Run(const kx::Regs71& regs, const void* buffer, std::uint32_t length, kx::SendPath path,
           std::uint32_t timeOut = kx::kTimeOutDefault, bool dma = false);
  bool Ata28(std::uint8_t command, std::uint8_t protocol, std::uint32_t sectors, std::uint32_t lba,
             std::uint8_t deviceBase, const void* buffer);
  bool Ata48(std::uint8_t command, std::uint32_t sectors, std::uint32_t lbaLow, std::uint32_t lbaHigh,
             const void* buffer);
  bool Tester(std::initializer_list<std::uint8_t> bytes, void* buffer, std::uint32_t length);
  bool FourPath(const kx::Regs71& regs, std::uint32_t timeOut, bool testerData, std::uint32_t testerTimeOut);
  bool Refuse();
};
