// Golden command bytes: one row per member with the block it builds, its data and
// its path class. Each row runs in all four send modes and must make exactly one
// request: the tester form raw (tester-direct, raw members), the SAT rewrite
// behind a bridge or a port without ATA pass-through, the task file through ATA
// pass-through where it works. The 28-bit rewrite is pinned by known vectors in
// SendPathTest; the 48-bit members give every form literally.
#include <gtest/gtest.h>

#include <sstream>

#include "command/DriveCommand.h"
#include "protocol/KxSignatures.h"
#include "tests/command/FakeDevice.h"
#include "tests/support/SendMode.h"

using kxtest::B;
using kxtest::Bytes;
using kxtest::V;

namespace {

enum class Path { Three, Direct, Raw, Four };
enum class Way { Tester, Bridge, SataScsi, SataAtaPt };
constexpr int In = kx::kDirIn, Out = kx::kDirOut, None = kx::kDirNone;
constexpr std::uint32_t kLong = 360;
constexpr auto TP = Path::Three, DO = Path::Direct, RAW = Path::Raw, FP = Path::Four;
using Call = bool (*)(CDriveCommand&, std::uint8_t*);

struct Golden {
  const char* name;
  Call call;
  B form;  // bytes 0..11 as built
  int dir;
  std::uint32_t length;
  Path path;
  std::uint32_t timeOut = 30;
  bool dma = false;  // ATA pass-through DMA flag
  // Four-path members in tester-direct mode: whether the data goes too, and a
  // time-out of their own there (0: the same).
  bool testerData = false;
  std::uint32_t testerTimeOut = 0;
};

// A member sent as a 48-bit ATA command where ATA pass-through works: 30 s, each
// form given, with the ATA pass-through flags.
struct Golden48 {
  const char* name;
  Call call;
  int dir;
  std::uint32_t length;
  int flags;
  B form, sat, cur, prev;
};

#define M(expr) #expr, [](CDriveCommand& c, [[maybe_unused]] std::uint8_t* b) { return c.expr; }

B F(int proto, int cmd, int feat, int count, int low, int mid, int high, int dev, int xfer) {
  return Bytes({0x08, 0xF2, 0x71, proto, cmd, feat, count, low, mid, high, dev, xfer});
}
B R(int sub, int count, int low, int mid, int high, int xfer) { return F(0x01, 0x21, sub, count, low, mid, high, 0xA0, xfer); }
B W(int proto, int sub, int count, int low, int mid, int high, int xfer) {
  return F(proto, 0x31, sub, count, low, mid, high, 0xA0, xfer);
}
// Hexadecimal bytes; a command block is padded with zeros to 16.
B H(const char* hex) {
  std::istringstream in(hex);
  B r;
  for (unsigned v; in >> std::hex >> v;) r.push_back(static_cast<std::uint8_t>(v));
  if (r.size() > 8) r.resize(16, 0);
  return r;
}

class GoldenBytesTest : public ::testing::Test, public kxtest::Fixture {
 protected:
  // The one request `call` makes in `way`.
  kxtest::Call Sent(Call call, Way way, CDriveCommand& cmd) {
    kxtest::SetSendMode(way == Way::Tester   ? kxtest::Mode::TesterDirect
                        : way == Way::Bridge ? kxtest::Mode::Bridge
                                             : kxtest::Mode::SataPort);
    kx::ClearAtaPassThroughOk();
    kx::SetAtaPassThroughOk(2, way == Way::SataAtaPt);
    backend->calls.clear();
    EXPECT_TRUE(call(cmd, buffer_.data()));
    const auto r = backend->Requests();
    EXPECT_EQ(r.size(), 1u);
    return r.empty() ? kxtest::Call{} : r[0];
  }
  static void ExpectScsi(const kxtest::Call& c, const B& cdb, int dir, std::uint32_t length, std::uint32_t timeOut) {
    ASSERT_TRUE(c.IsScsi());
    EXPECT_EQ(c.Cdb(), cdb);
    EXPECT_EQ(c.sptd.DataTransferLength, length);
    EXPECT_EQ(c.sptd.DataIn, length == 0 ? win::SCSI_IOCTL_DATA_UNSPECIFIED : dir == In ? 1 : 0);
    EXPECT_EQ(c.sptd.TimeOutValue, timeOut);
    EXPECT_EQ(c.sptd.DataBuffer == nullptr, length == 0);
  }
  static void ExpectAta(const kxtest::Call& c, const B& cur, const B& prev, int flags, std::uint32_t length,
                        std::uint32_t timeOut) {
    ASSERT_TRUE(c.IsAta());
    EXPECT_EQ(c.Cur(), cur);
    EXPECT_EQ(c.Prev(), prev);
    EXPECT_EQ(c.apt.AtaFlags, flags);
    EXPECT_EQ(c.apt.DataTransferLength, length);
    EXPECT_EQ(c.apt.TimeOutValue, timeOut);
    EXPECT_EQ(c.apt.DataBuffer == nullptr, length == 0);
  }
  // DRDY required, data in or out, DMA; FortyEightBitMembers gives them literally.
  static int Flags(int dir, bool dma) {
    return 0x01 | (dir == In ? 0x02 : dir == Out ? 0x04 : 0) | (dma && dir != None ? 0x10 : 0);
  }
  void CheckAll(const std::vector<Golden>& table) {
    for (const auto& g : table) {
      B sat = g.form;
      CDriveCommand(2).TranslateToSat(sat.data());
      for (Way way : {Way::Tester, Way::Bridge, Way::SataScsi, Way::SataAtaPt}) {
        SCOPED_TRACE(std::string(g.name) + " sent " + std::to_string(static_cast<int>(way)));
        CDriveCommand cmd(2);
        const auto c = Sent(g.call, way, cmd);
        if (way == Way::SataAtaPt && (g.path == TP || g.path == FP)) {
          ExpectAta(c, B(sat.begin() + 3, sat.begin() + 11), B(8, 0), Flags(g.dir, g.dma), g.length, g.timeOut);
        } else if (way == Way::Tester && g.path == FP) {
          const std::uint32_t length = g.testerData ? g.length : 0;
          ExpectScsi(c, sat, g.dir, length, g.testerTimeOut != 0 ? g.testerTimeOut : g.timeOut);
        } else {
          const bool rewritten = g.path == FP || (g.path != RAW && way != Way::Tester);
          ExpectScsi(c, rewritten ? sat : g.form, g.dir, g.length, g.timeOut);
        }
        EXPECT_EQ(V(cmd.m_Cdb, 16), way == Way::SataAtaPt && g.path != RAW ? sat : c.Cdb());  // what the fail report shows
      }
    }
  }
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(65536u * 512);
};

TEST_F(GoldenBytesTest, EachMemberInEachSendMode) {
  CheckAll({
      // the tester's own line and SCSI commands
      {M(ReadUSBPage(b, 528)), Bytes({0x08, 0xF2, 0xA0}), In, 528, RAW},
      {M(GetTesterFWVersion(b, 99)), Bytes({0x08, 0xF2, 0x50, 0x30, 0xFF, 0, 0, 0, 0, 0, 0, 1}), In, 16, RAW},
      {M(Power_Ground_Short(b, 16)), Bytes({0x08, 0xF2, 0x99, 0, 0, 0, 0, 0, 0, 0, 0, 1}), In, 16, RAW},
      {M(PowerResetTester(48)), Bytes({0x08, 0xF2, 0x90, 0x80, 0x00, 48}), None, 0, RAW},
      {M(SetCardPower(1, 53, 1, 2, 77)), Bytes({0x08, 0xF2, 0x84, 1, 53, 1, 2, 0, 1}), None, 0, RAW},
      {M(GetMaxCurrent(b, 16)), Bytes({0x08, 0xF2, 0x50, 0x24, 0, 0, 0, 0, 0, 0, 0, 1}), In, 16, RAW},
      {M(GetCardCurrent(b, 16)), Bytes({0x08, 0xF2, 0x50, 0x20, 0, 0, 0, 0, 0, 0, 0, 1}), In, 16, RAW},
      {M(TestUnitReady()), Bytes({}), None, 0, RAW},
      {M(Inquiry(b)), Bytes({0x12, 0, 0, 0, 0x32}), In, 50, RAW},
      // 28-bit ATA: LBA bits 27:24 in the device byte, count = transfer byte (256 as 0)
      {M(ReadSectors(b, 1024, 0x0A123456)), F(0x01, 0x20, 0, 2, 0x56, 0x34, 0x12, 0xEA, 2), In, 1024, TP},
      {M(WriteSectors(b, 256 * 512, 0x0FFFFFFF)), F(0x03, 0x30, 0, 0, 0xFF, 0xFF, 0xFF, 0xEF, 0), Out, 256 * 512, TP},
      {M(ReadDma(b, 512, 7)), F(0x88, 0xC8, 0, 1, 7, 0, 0, 0xE0, 1), In, 512, TP, 30, true},
      {M(WriteDma(b, 512, 7)), F(0x89, 0xCA, 0, 1, 7, 0, 0, 0xE0, 1), Out, 512, TP, 30, true},
      {M(DMA_Read_DDR(b, 3, 0x01000010)), F(0x88, 0xC8, 0, 3, 0x10, 0, 0, 0xE1, 3), In, 1536, TP, 30, true},
      {M(DMA_Write_DDR(b, 3, 0x01000010)), F(0x89, 0xCA, 0, 3, 0x10, 0, 0, 0xE1, 3), Out, 1536, TP, 30, true},
      {M(ReadSectorsDma(b, 2, 0x05000001)), F(0x88, 0x20, 0, 2, 1, 0, 0, 0xE5, 2), In, 1024, TP},
      {M(WriteSectorsDma(b, 2, 0x05000001)), F(0x89, 0x30, 0, 2, 1, 0, 0, 0xE5, 2), Out, 1024, TP},
      {M(FLUSH_CACHE()), F(0, 0xE7, 0, 0, 0, 0, 0, 0xA0, 0), None, 0, TP},
      {M(StandBy_Imd()), F(0, 0xE0, 0, 0, 0, 0, 0, 0xA0, 0), None, 0, TP},
      {M(SMART_READ_DATA(b)), F(0x01, 0xB0, 0xD0, 1, 0, 0x4F, 0xC2, 0xA0, 1), In, 512, TP},
      {M(SMART_READ_THRESHOLDS(b)), F(0x01, 0xB0, 0xD1, 1, 0, 0x4F, 0xC2, 0xA0, 1), In, 512, TP},
      {M(WriteBuffer(b)), F(0x03, 0xE8, 0, 1, 0, 0, 0, 0xA0, 1), Out, 512, TP},
      {M(WriteBufferZero()), F(0x03, 0xE8, 0, 1, 0, 0, 0, 0xA0, 1), Out, 512, TP},
      {M(DownLoadMicroCode(b, 0x0102, 0x0304)), F(0x03, 0x92, 0x03, 0x02, 0x01, 0x04, 0x03, 0xA0, 0x02), Out,
       0x0102 * 512, DO},
      {M(SECURITY_SET_PASSWORD(b)), F(0x03, 0xF1, 0, 1, 0, 0, 0, 0xA0, 1), Out, 512, DO},
      {M(SecurityUnlock(b)), F(0x03, 0xF2, 0, 1, 0, 0, 0, 0xA0, 1), Out, 512, DO},
      {M(SECURITY_ERASE_PREPARE()), F(0, 0xF3, 0, 0, 0, 0, 0, 0xA0, 0), None, 0, DO},
      {M(SECURITY_ERASE_UNIT(b)), F(0x09, 0xF4, 0, 1, 0, 0x10, 0, 0xA0, 1), Out, 512, DO},
      {M(SecurityFreezeLock()), F(0, 0xF5, 0, 0, 0, 0, 0, 0xA0, 0), None, 0, DO},
      {M(SecurityDisablePassword(b)), F(0x03, 0xF6, 0, 1, 0, 0, 0, 0xA0, 1), Out, 512, DO},
      {M(DeviceConfigurationIdentify(b)), F(0x01, 0xB1, 0xC2, 1, 0, 0, 0, 0xA0, 1), In, 512, DO},
      {M(DeviceConfigurationSet(b)), F(0x03, 0xB1, 0xC3, 1, 0, 0, 0, 0xA0, 1), Out, 512, DO},
      {M(READ_NATIVE_MAX_ADDRESS()), F(0, 0xF8, 0, 0, 0, 0, 0, 0xA0, 0), None, 0, RAW},
      {M(SET_MAX_ADDRESS(0x0ABCDEF1, true)), F(0, 0xF9, 0, 0, 0xF1, 0xDE, 0xBC, 0xEA, 0), None, 0, RAW},
      {M(SET_MAX_ADDRESS(0x0ABCDEF1, false)), F(0, 0xF9, 0, 1, 0xF1, 0xDE, 0xBC, 0xEA, 0), None, 0, RAW},
      {M(AtaNop()), F(0, 0, 0, 0, 0, 0, 0, 0, 0), None, 0, RAW},
      // ISP-code erase and info-code transfer
      {M(EraseISPCode(b)), R(0x46, 1, 0, 0, 0, 1), In, 512, TP},
      {M(UpdateInfoCode(b, true)), R(0x29, 1, 0, 0, 0, 1), In, 512, TP},
      {M(UpdateInfoCode(b, false)), W(0x03, 0x29, 1, 1, 0, 0, 1), Out, 512, TP},
      // vendor reads
      {M(DirectReadSRAM(b, 2, 0x11, 0x22)), R(0x12, 2, 0, 0x11, 0x22, 2), In, 1024, TP},
      {M(ISPReadPRAM_DDR(b, 2, 0x33)), R(0x12, 2, 0, 0, 0x33, 2), In, 1024, TP},
      {M(GetSystemInfo(b, 1)), R(0x13, 1, 0, 0, 0, 1), In, 512, TP},
      {M(GetFlashID(b, 5)), R(0x14, 1, 0, 0, 5, 1), In, 512, TP, 6},
      {M(ScanAllFlashID(b)), R(0x15, 1, 0, 0, 0, 1), In, 512, TP, 6},
      {M(ReadUniqueID(b, 0x44, 0x5566)), R(0x16, 1, 0x66, 0x55, 0x44, 1), In, 512, TP},
      {M(DirectReadInfoBlock(b, 3)), R(0x28, 2, 3, 0, 0, 2), In, 1024, TP},
      {M(DirectReadInfoBlock(b, 1)), R(0x28, 1, 1, 0, 0, 1), In, 512, TP},
      {M(Vender_Check_CRC(b, 2)), R(0x30, 2, 0, 0, 0, 2), In, 1024, TP},
      {M(ISPVerifyFlash(b, 1, 7, 8)), R(0x31, 1, 0, 7, 8, 1), In, 512, TP},
      {M(ReadPreFormatResult(b)), R(0x07, 1, 0, 1, 0, 1), In, 512, TP},
      {M(CacheReadFlash(b, 1, 2, 3, 2)), R(0x11, 2, 3, 1, 2, 2), In, 1024, TP},
      {M(Get_RDT_BadBlock_Log(b, 9, 0x1234, 2)), R(0x50, 2, 9, 0x34, 0x12, 2), In, 1024, TP},
      {M(Get_RDT_Temperature_Time_Log(b, 9, 0x1234, 2)), R(0x51, 2, 9, 0x34, 0x12, 2), In, 1024, TP},
      {M(Get_RDT_SDR_Log(b, 9, 0x1234, 2)), R(0x52, 2, 9, 0x34, 0x12, 2), In, 1024, TP},
      {M(Get_RDT_BadBlock_SpecialLog(b, 2, 0x1234)), R(0x54, 2, 0, 0x34, 0x12, 0x80), In, 1024, TP},
      {M(Read4ByteReg(b, 0x77)), R(0x61, 1, 0, 0x77, 0, 1), In, 512, TP},
      {M(VendorRead72(b, 2)), R(0x72, 2, 0, 0, 0, 2), In, 1024, DO},
      {M(Get_ALLBadBlockCount_perCE(b)), R(0x76, 1, 0, 0, 0, 1), In, 512, TP},
      {M(Get_ALLBadBlockAddress_perCE(b, 3)), R(0x77, 3, 0, 0, 0, 3), In, 1536, TP},
      {M(Get_LaterBadBlockCount_perCE(b)), R(0x78, 1, 0, 0, 0, 1), In, 512, TP},
      {M(Get_LaterBadBlockAddress_perCE(b, 3)), R(0x79, 3, 0, 0, 0, 3), In, 1536, TP},
      {M(Get_EarlyBadBlockCount_perCE(b)), R(0x7A, 1, 0, 0, 0, 1), In, 512, DO},
      {M(Get_EarlyBadBlockAddress_perCE(b, 3)), R(0x7B, 3, 0, 0, 0, 3), In, 1536, DO},
      {M(Get_BurnerEarlyBadCount_perCE(b)), R(0x7C, 1, 0, 0, 0, 1), In, 512, DO},
      {M(Get_BurnerEarlyBadAddress_perCE(b, 3)), R(0x7D, 3, 0, 0, 0, 3), In, 1536, DO},
      {M(ReadBBT(b, 2, 0, 0x1234)), R(0x7F, 2, 0, 0x34, 0x12, 2), In, 1024, TP, kLong, true},
      {M(ReadBBT(b, 2, 1, 0x1234)), R(0x7F, 2, 1, 0, 0, 2), In, 1024, TP, kLong, true},
      {M(Read3rdBBT(b, 2, 1, 0x1234)), R(0x47, 2, 1, 0x34, 0x12, 2), In, 1024, TP, kLong},
      {M(ReadDebugInfo(b, 1, 2, 0x0304)), R(0x83, 2, 1, 0x04, 0x03, 2), In, 1024, TP, kLong},
      {M(Vender_MaxBad_PerPlane(b, true)), R(0xA8, 1, 0, 1, 0, 1), In, 512, TP},
      // vendor writes
      {M(VendorWrite00()), W(0x03, 0x00, 1, 0, 0, 0, 1), Out, 512, RAW},
      {M(ResetCard()), W(0x09, 0x01, 1, 0, 0x20, 0, 1), Out, 512, TP},
      {M(Reset_Smart()), W(0x09, 0x02, 1, 0, 0x20, 0, 1), Out, 512, TP},
      {M(Vendor_UnLock_Forzen()), W(0x03, 0x05, 1, 0, 0, 0, 1), Out, 512, DO},
      {M(SetCEMap(b)), W(0x03, 0x06, 1, 0, 1, 0, 1), Out, 512, TP},
      {M(PreFormat(b, 0, true)), W(0x09, 0x08, 2, 1, 0x10, 1, 2), Out, 1024, TP, kLong},
      {M(PreFormat(b, 1, false)), W(0x09, 0x08, 2, 0, 0x10, 2, 2), Out, 1024, TP, kLong},
      {M(PreFormat(b, 2, false)), W(0x09, 0x08, 1, 0, 0x10, 0, 1), Out, 512, TP, kLong},
      {M(PreFormat(b, 7, false)), W(0x09, 0x08, 2, 0, 0x10, 0, 2), Out, 1024, TP, kLong},
      {M(JumpToBoot()), W(0x09, 0x0F, 1, 0, 0x20, 0, 1), Out, 512, FP, 5, false, false, 30},
      {M(CACHE_WRITE_FLASH(b, 1, 2, 3, 2)), W(0x03, 0x21, 2, 3, 1, 2, 2), Out, 1024, TP},
      {M(DirectWriteSRAM(b, 2, 0x11, 0x22)), W(0x03, 0x24, 2, 0, 0x11, 0x22, 2), Out, 1024, TP},
      {M(DirectWriteInfoBlock(b, 3)), W(0x03, 0x25, 4, 3, 0, 0, 4), Out, 2048, TP},
      {M(DirectWriteInfoBlock(b, 0)), W(0x03, 0x25, 1, 0, 0, 0, 1), Out, 512, TP},
      {M(EraseAllBlock(5, true)), W(0x09, 0x26, 1, 1, 0x20, 5, 1), Out, 512, FP, kLong},
      {M(DoCut_EFuse(1, 2)), W(0x03, 0x27, 1, 1, 2, 0, 1), Out, 512, RAW},
      {M(ISPProgramPRAM(b, 2, true)), W(0x03, 0x40, 2, 0, 1, 0, 2), Out, 1024, TP},
      {M(ISPProgramFlash()), W(0x09, 0x41, 1, 0, 0x20, 0, 1), Out, 512, TP},
      {M(Write3rdBBT(b, 2, 1, 0x123 * 512 + 17)), W(0x03, 0x48, 2, 1, 0x23, 0x01, 2), Out, 1024, TP, kLong},
      {M(DetectThermalSensor(0x13)), F(0x09, 0x31, 0x52, 1, 0, 0x20, 0, 0xA3, 1), None, 0, DO},
      {M(Write4ByteReg(b, 0x66)), W(0x03, 0x60, 1, 0, 0x66, 0, 1), Out, 512, TP},
      {M(SendScanBadParameter(b)), W(0x03, 0x70, 1, 0, 0, 0, 1), Out, 512, TP},
      {M(SetScanBadParameter(b)), W(0x09, 0x70, 1, 0, 0x10, 0, 1), Out, 512, TP},
      {M(Vender_Send_Seed(b, 2)), W(0x03, 0x80, 2, 0, 0, 0, 2), Out, 1024, TP},
      {M(WriteBBT(b, 2, 1, 0x123 * 512)), W(0x03, 0x81, 2, 1, 0x23, 0x01, 2), Out, 1024, TP, kLong, true},
      {M(Vender_Send_Binfile(b, 2, 5, true)), W(0x03, 0x82, 2, 0, 5, 1, 2), Out, 1024, TP},
      {M(VendorWriteA3()), W(0x09, 0xA3, 1, 0, 0x10, 0, 1), Out, 512, RAW},
      {M(Vender_InitialPadAndDrive(b, 0x42)), W(0x03, 0xAA, 2, 0, 0, 0x42, 1), Out, 1024, TP},
      {M(Scan_SDLL(b, 1, 2, 3, 2)), W(0x03, 0xAB, 2, 3, 1, 2, 2), Out, 1024, TP},
      {M(ISPProgramPRAM_ICode(b, 2, 0x0A, 0x0B)), W(0x03, 0xBD, 2, 0, 0x0B, 0x0A, 2), Out, 1024, TP},
      {M(ISPVerifyPRAM_ICode(b, 2, 0x0A)), W(0x03, 0xBE, 2, 0, 0, 0x0A, 2), Out, 1024, TP},
      {M(StartStatusPolling()), W(0x03, 0xCC, 1, 0, 0, 0, 1), Out, 512, FP, 30, false, true},
  });
}

// 48-bit: the full 16-bit count, LBA lowest byte first; in the SAT form and the
// task files with the LBA bit (device 40h).
TEST_F(GoldenBytesTest, FortyEightBitMembers) {
  const Golden48 rows[] = {
      {M(ReadSectorsExt16(b, 0x0102, 0x12345678, 0x9ABC)), In, 0x0102 * 512, 0x0B,
       H("08 F2 48 24 02 01 78 56 34 12 BC 9A"), H("85 09 0E 00 00 01 02 12 78 BC 56 9A 34 40 24 00"),
       H("00 02 78 56 34 40 24 00"), H("00 01 12 BC 9A 00 24 00")},
      {M(WriteSectorsExt16(b, 1, 5, 0)), Out, 512, 0x0D,
       H("08 F2 48 34 01 00 05 00 00 00 00 00"), H("85 0B 06 00 00 00 01 00 05 00 00 00 00 40 34 00"),
       H("00 01 05 00 00 40 34 00"), H("00 00 00 00 00 00 34 00")},
      {M(ReadDmaExt16(b, 8, 0x12345678, 0x9ABC)), In, 4096, 0x1B,
       H("08 F2 48 25 08 00 78 56 34 12 BC 9A"), H("85 15 0E 00 00 00 08 12 78 BC 56 9A 34 40 25 00"),
       H("00 08 78 56 34 40 25 00"), H("00 00 12 BC 9A 00 25 00")},
      {M(WriteDmaExt16(b, 8, 0x12345678, 1)), Out, 4096, 0x1D,
       H("08 F2 48 35 08 00 78 56 34 12 01 00"), H("85 17 06 00 00 00 08 12 78 01 56 00 34 40 35 00"),
       H("00 08 78 56 34 40 35 00"), H("00 00 12 01 00 00 35 00")},
      {M(ReadSectorsExt(b, 300 * 512, 0x100, 0)), In, 300 * 512, 0x0B,
       H("08 F2 48 24 2C 01 00 01 00 00 00 00"), H("85 09 0E 00 00 01 2C 00 00 00 01 00 00 40 24 00"),
       H("00 2C 00 01 00 40 24 00"), H("00 01 00 00 00 00 24 00")},
      {M(WriteSectorsExt(b, 300 * 512, 0x100, 0)), Out, 300 * 512, 0x0D,
       H("08 F2 48 34 2C 01 00 01 00 00 00 00"), H("85 0B 06 00 00 01 2C 00 00 00 01 00 00 40 34 00"),
       H("00 2C 00 01 00 40 34 00"), H("00 01 00 00 00 00 34 00")},
      {M(ReadSectorsExt(b, 65536u * 512, 0, 0)), In, 65536u * 512, 0x0B,  // 65536 travels as 0
       H("08 F2 48 24 00 00 00 00 00 00 00 00"), H("85 09 0E 00 00 00 00 00 00 00 00 00 00 40 24 00"),
       H("00 00 00 00 00 40 24 00"), H("00 00 00 00 00 00 24 00")},
      {M(ReadDmaExt(b, 1024, 0xFFFFFFFF, 0xFFFF)), In, 1024, 0x1B,
       H("08 F2 48 25 02 00 FF FF FF FF FF FF"), H("85 15 0E 00 00 00 02 FF FF FF FF FF FF 40 25 00"),
       H("00 02 FF FF FF 40 25 00"), H("00 00 FF FF FF 00 25 00")},
      {M(WriteDmaExt(b, 1024, 0xFFFFFFFE, 0x0001)), Out, 1024, 0x1D,
       H("08 F2 48 35 02 00 FE FF FF FF 01 00"), H("85 17 06 00 00 00 02 FF FE 01 FF 00 FF 40 35 00"),
       H("00 02 FE FF FF 40 35 00"), H("00 00 FF 01 00 00 35 00")},
      // tester sub-commands carried as 48-bit ATA commands: the firmware name never rewritten
      {M(GetICFWName(b)), In, 16, 0x1B, H("08 F2 50 60 01 00 00 00 00"), H("08 F2 50 60 01 00 00 00 00"),
       H("00 01 00 00 00 40 60 00"), H("00 00 00 00 00 00 60 00")},
      {M(DisableDEVSLP(2)), None, 0, 0x09, H("08 F2 50 05 02 00 00 00 00"), H("A1 1E 2E 02 01 00 00 00 00 EF"),
       H("00 02 00 00 00 40 05 00"), H("00 00 00 00 00 00 05 00")},
  };
  for (const auto& g : rows) {
    for (Way way : {Way::Tester, Way::Bridge, Way::SataScsi, Way::SataAtaPt}) {
      SCOPED_TRACE(std::string(g.name) + " sent " + std::to_string(static_cast<int>(way)));
      CDriveCommand cmd(2);
      const auto c = Sent(g.call, way, cmd);
      if (way == Way::SataAtaPt) {
        ExpectAta(c, g.cur, g.prev, g.flags, g.length, 30);
        EXPECT_EQ(V(cmd.m_Cdb, 16), g.form);
      } else {
        ExpectScsi(c, way == Way::Tester ? g.form : g.sat, g.dir, g.length, 30);
        EXPECT_EQ(V(cmd.m_Cdb, 16), c.Cdb());
      }
    }
  }
}

// SMART RETURN STATUS asks for its registers in every mode: the tester's register
// reply (transfer byte 01h, 16 bytes in), CK_COND (byte 2 20h) in the SAT
// rewrite, the task file through ATA pass-through.
TEST_F(GoldenBytesTest, SmartReturnStatusAsksForItsRegisters) {
  const B sat = H("A1 06 20 DA 00 00 4F C2 A0 B0 00 00");
  for (Way way : {Way::Tester, Way::Bridge, Way::SataScsi, Way::SataAtaPt}) {
    SCOPED_TRACE(static_cast<int>(way));
    CDriveCommand cmd(2);
    const auto c = Sent([](CDriveCommand& m, std::uint8_t*) { return m.SMART_Return_Status(); }, way, cmd);
    if (way == Way::SataAtaPt) {
      ExpectAta(c, H("DA 00 00 4F C2 A0 B0 00"), B(8, 0), Flags(None, false), 0, 30);
    } else {
      const bool tester = way == Way::Tester;
      ExpectScsi(c, tester ? F(0, 0xB0, 0xDA, 0, 0, 0x4F, 0xC2, 0xA0, 1) : sat, In, tester ? 16 : 0, 30);
    }
  }
}

TEST_F(GoldenBytesTest, OwnSectorsAreZerosOrTheMarker) {
  CDriveCommand cmd(1);
  ASSERT_TRUE(cmd.VendorWrite00());
  B marker(kx::kVendorWrite00Marker.begin(), kx::kVendorWrite00Marker.end());
  marker.resize(512, 0);
  EXPECT_EQ(backend->Requests().back().dataOut, marker);
  for (auto member : {&CDriveCommand::ResetCard, &CDriveCommand::Reset_Smart, &CDriveCommand::ISPProgramFlash,
                      &CDriveCommand::JumpToBoot, &CDriveCommand::StartStatusPolling, &CDriveCommand::VendorWriteA3,
                      &CDriveCommand::Vendor_UnLock_Forzen, &CDriveCommand::WriteBufferZero}) {
    EXPECT_TRUE((cmd.*member)());
    EXPECT_EQ(backend->Requests().back().dataOut, B(512, 0));
  }
}

}  // namespace
