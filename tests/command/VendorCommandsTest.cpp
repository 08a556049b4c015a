// Controller vendor commands: golden bytes per member in every send mode, the
// access key in each form, the four-path and retrying members.
#include <gtest/gtest.h>

#include "platform/KxSignatures.h"
#include "tests/command/GoldenTable.h"

using kxtest::Bytes;
using kxtest::Call;
using kxtest::Golden;
using kxtest::kDefault;
using kxtest::kLong;
using kxtest::Path;
using kx::kDirIn;
using kx::kDirNone;
using kx::kDirOut;

namespace {

class VendorCommandsTest : public ::testing::Test, public kxtest::Fixture {};

// Vendor read / write forms: registers after the protocol byte, device A0h.
std::vector<std::uint8_t> R(int sub, int count, int low, int mid, int high, int xfer) {
  return {0x08, 0xF2, 0x71, 0x01, 0x21, static_cast<std::uint8_t>(sub), static_cast<std::uint8_t>(count),
          static_cast<std::uint8_t>(low), static_cast<std::uint8_t>(mid), static_cast<std::uint8_t>(high), 0xA0,
          static_cast<std::uint8_t>(xfer)};
}
std::vector<std::uint8_t> W(int proto, int sub, int count, int low, int mid, int high, int xfer, int device = 0xA0) {
  return {0x08, 0xF2, 0x71, static_cast<std::uint8_t>(proto), 0x31, static_cast<std::uint8_t>(sub),
          static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(low), static_cast<std::uint8_t>(mid),
          static_cast<std::uint8_t>(high), static_cast<std::uint8_t>(device), static_cast<std::uint8_t>(xfer)};
}

TEST_F(VendorCommandsTest, VendorReadsGoldenBytesInEveryMode) {
  using C = CDriveCommand;
  const auto TP = Path::ThreePath;
  const auto DO = Path::DirectOnly;
  const std::vector<Golden> table = {
      {"DirectReadSRAM", [](C& c, auto* b) { return c.DirectReadSRAM(b, 2, 0x11, 0x22); }, R(0x12, 2, 0, 0x11, 0x22, 2),
       kDirIn, 1024, TP},
      {"ISPReadPRAM_DDR", [](C& c, auto* b) { return c.ISPReadPRAM_DDR(b, 2, 0x33); }, R(0x12, 2, 0, 0, 0x33, 2), kDirIn,
       1024, TP},
      {"GetSystemInfo", [](C& c, auto* b) { return c.GetSystemInfo(b, 1); }, R(0x13, 1, 0, 0, 0, 1), kDirIn, 512, TP},
      {"GetFlashID", [](C& c, auto* b) { return c.GetFlashID(b, 5); }, R(0x14, 1, 0, 0, 5, 1), kDirIn, 512, TP, 6},
      {"ScanAllFlashID", [](C& c, auto* b) { return c.ScanAllFlashID(b); }, R(0x15, 1, 0, 0, 0, 1), kDirIn, 512, TP, 6},
      {"ReadUniqueID", [](C& c, auto* b) { return c.ReadUniqueID(b, 0x44, 0x5566); }, R(0x16, 1, 0x66, 0x55, 0x44, 1),
       kDirIn, 512, TP},
      {"DirectReadInfoBlock 3", [](C& c, auto* b) { return c.DirectReadInfoBlock(b, 3); }, R(0x28, 2, 3, 0, 0, 2),
       kDirIn, 1024, TP},
      {"DirectReadInfoBlock 1", [](C& c, auto* b) { return c.DirectReadInfoBlock(b, 1); }, R(0x28, 1, 1, 0, 0, 1),
       kDirIn, 512, TP},
      {"Vender_Check_CRC", [](C& c, auto* b) { return c.Vender_Check_CRC(b, 2); }, R(0x30, 2, 0, 0, 0, 2), kDirIn, 1024,
       TP},
      {"ISPVerifyFlash", [](C& c, auto* b) { return c.ISPVerifyFlash(b, 1, 7, 8); }, R(0x31, 1, 0, 7, 8, 1), kDirIn, 512,
       TP},
      {"ReadPreFormatResult", [](C& c, auto* b) { return c.ReadPreFormatResult(b); }, R(0x07, 1, 0, 1, 0, 1), kDirIn,
       512, TP},
      {"CacheReadFlash", [](C& c, auto* b) { return c.CacheReadFlash(b, 1, 2, 3, 2); }, R(0x11, 2, 3, 1, 2, 2), kDirIn,
       1024, TP},
      {"Get_RDT_BadBlock_Log", [](C& c, auto* b) { return c.Get_RDT_BadBlock_Log(b, 9, 0x1234, 2); },
       R(0x50, 2, 9, 0x34, 0x12, 2), kDirIn, 1024, TP},
      {"Get_RDT_Temperature_Time_Log", [](C& c, auto* b) { return c.Get_RDT_Temperature_Time_Log(b, 9, 0x1234, 2); },
       R(0x51, 2, 9, 0x34, 0x12, 2), kDirIn, 1024, TP},
      {"Get_RDT_SDR_Log", [](C& c, auto* b) { return c.Get_RDT_SDR_Log(b, 9, 0x1234, 2); },
       R(0x52, 2, 9, 0x34, 0x12, 2), kDirIn, 1024, TP},
      {"Get_RDT_BadBlock_SpecialLog", [](C& c, auto* b) { return c.Get_RDT_BadBlock_SpecialLog(b, 2, 0x1234); },
       R(0x54, 2, 0, 0x34, 0x12, 0x80), kDirIn, 1024, TP},
      {"Read4ByteReg", [](C& c, auto* b) { return c.Read4ByteReg(b, 0x77); }, R(0x61, 1, 0, 0x77, 0, 1), kDirIn, 512,
       TP},
      {"VendorRead72", [](C& c, auto* b) { return c.VendorRead72(b, 2); }, R(0x72, 2, 0, 0, 0, 2), kDirIn, 1024, DO},
      {"Get_ALLBadBlockCount_perCE", [](C& c, auto* b) { return c.Get_ALLBadBlockCount_perCE(b); },
       R(0x76, 1, 0, 0, 0, 1), kDirIn, 512, TP},
      {"Get_ALLBadBlockAddress_perCE", [](C& c, auto* b) { return c.Get_ALLBadBlockAddress_perCE(b, 3); },
       R(0x77, 3, 0, 0, 0, 3), kDirIn, 1536, TP},
      {"Get_LaterBadBlockCount_perCE", [](C& c, auto* b) { return c.Get_LaterBadBlockCount_perCE(b); },
       R(0x78, 1, 0, 0, 0, 1), kDirIn, 512, TP},
      {"Get_LaterBadBlockAddress_perCE", [](C& c, auto* b) { return c.Get_LaterBadBlockAddress_perCE(b, 3); },
       R(0x79, 3, 0, 0, 0, 3), kDirIn, 1536, TP},
      {"Get_EarlyBadBlockCount_perCE", [](C& c, auto* b) { return c.Get_EarlyBadBlockCount_perCE(b); },
       R(0x7A, 1, 0, 0, 0, 1), kDirIn, 512, DO},
      {"Get_EarlyBadBlockAddress_perCE", [](C& c, auto* b) { return c.Get_EarlyBadBlockAddress_perCE(b, 3); },
       R(0x7B, 3, 0, 0, 0, 3), kDirIn, 1536, DO},
      {"Get_BurnerEarlyBadCount_perCE", [](C& c, auto* b) { return c.Get_BurnerEarlyBadCount_perCE(b); },
       R(0x7C, 1, 0, 0, 0, 1), kDirIn, 512, DO},
      {"Get_BurnerEarlyBadAddress_perCE", [](C& c, auto* b) { return c.Get_BurnerEarlyBadAddress_perCE(b, 3); },
       R(0x7D, 3, 0, 0, 0, 3), kDirIn, 1536, DO},
      {"ReadBBT selector 0", [](C& c, auto* b) { return c.ReadBBT(b, 2, 0, 0x1234); }, R(0x7F, 2, 0, 0x34, 0x12, 2),
       kDirIn, 1024, TP, kLong, true},
      {"ReadBBT selector 1", [](C& c, auto* b) { return c.ReadBBT(b, 2, 1, 0x1234); }, R(0x7F, 2, 1, 0, 0, 2), kDirIn,
       1024, TP, kLong, true},
      {"Read3rdBBT", [](C& c, auto* b) { return c.Read3rdBBT(b, 2, 1, 0x1234); }, R(0x47, 2, 1, 0x34, 0x12, 2), kDirIn,
       1024, TP, kLong},
      {"ReadDebugInfo", [](C& c, auto* b) { return c.ReadDebugInfo(b, 1, 2, 0x0304); }, R(0x83, 2, 1, 0x04, 0x03, 2),
       kDirIn, 1024, TP, kLong},
      {"Vender_MaxBad_PerPlane", [](C& c, auto* b) { return c.Vender_MaxBad_PerPlane(b, true); },
       R(0xA8, 1, 0, 1, 0, 1), kDirIn, 512, TP},
  };
  kxtest::CheckAllModes(*backend, table);
}

TEST_F(VendorCommandsTest, VendorWritesGoldenBytesInEveryMode) {
  using C = CDriveCommand;
  const auto TP = Path::ThreePath;
  const auto DO = Path::DirectOnly;
  const auto RAW = Path::Raw;
  const auto FP = Path::FourPath;
  Golden jump{"JumpToBoot", [](C& c, auto*) { return c.JumpToBoot(); }, W(0x09, 0x0F, 1, 0, 0x20, 0, 1), kDirOut,
              512, FP, 5};
  Golden erase{"EraseAllBlock", [](C& c, auto*) { return c.EraseAllBlock(5, true); }, W(0x09, 0x26, 1, 1, 0x20, 5, 1),
               kDirOut, 512, FP, kLong};
  erase.testerTimeOut = kLong;
  Golden polling{"StartStatusPolling", [](C& c, auto*) { return c.StartStatusPolling(); },
                 W(0x03, 0xCC, 1, 0, 0, 0, 1), kDirOut, 512, FP};
  polling.testerData = true;
  const std::vector<Golden> table = {
      {"VendorWrite00", [](C& c, auto*) { return c.VendorWrite00(); }, W(0x03, 0x00, 1, 0, 0, 0, 1), kDirOut, 512, RAW},
      {"ResetCard", [](C& c, auto*) { return c.ResetCard(); }, W(0x09, 0x01, 1, 0, 0x20, 0, 1), kDirOut, 512, TP},
      {"Reset_Smart", [](C& c, auto*) { return c.Reset_Smart(); }, W(0x09, 0x02, 1, 0, 0x20, 0, 1), kDirOut, 512, TP},
      {"Vendor_UnLock_Forzen", [](C& c, auto*) { return c.Vendor_UnLock_Forzen(); }, W(0x03, 0x05, 1, 0, 0, 0, 1),
       kDirOut, 512, DO},
      {"SetCEMap", [](C& c, auto* b) { return c.SetCEMap(b); }, W(0x03, 0x06, 1, 0, 1, 0, 1), kDirOut, 512, TP},
      {"PreFormat mode 0", [](C& c, auto* b) { return c.PreFormat(b, 0, true); }, W(0x09, 0x08, 2, 1, 0x10, 1, 2),
       kDirOut, 1024, TP, kLong},
      {"PreFormat mode 1", [](C& c, auto* b) { return c.PreFormat(b, 1, false); }, W(0x09, 0x08, 2, 0, 0x10, 2, 2),
       kDirOut, 1024, TP, kLong},
      {"PreFormat mode 2", [](C& c, auto* b) { return c.PreFormat(b, 2, false); }, W(0x09, 0x08, 1, 0, 0x10, 0, 1),
       kDirOut, 512, TP, kLong},
      {"PreFormat mode 7", [](C& c, auto* b) { return c.PreFormat(b, 7, false); }, W(0x09, 0x08, 2, 0, 0x10, 0, 2),
       kDirOut, 1024, TP, kLong},
      jump,
      {"CACHE_WRITE_FLASH", [](C& c, auto* b) { return c.CACHE_WRITE_FLASH(b, 1, 2, 3, 2); },
       W(0x03, 0x21, 2, 3, 1, 2, 2), kDirOut, 1024, TP},
      {"DirectWriteSRAM", [](C& c, auto* b) { return c.DirectWriteSRAM(b, 2, 0x11, 0x22); },
       W(0x03, 0x24, 2, 0, 0x11, 0x22, 2), kDirOut, 1024, TP},
      {"DirectWriteInfoBlock 3", [](C& c, auto* b) { return c.DirectWriteInfoBlock(b, 3); },
       W(0x03, 0x25, 4, 3, 0, 0, 4), kDirOut, 2048, TP},
      {"DirectWriteInfoBlock 0", [](C& c, auto* b) { return c.DirectWriteInfoBlock(b, 0); },
       W(0x03, 0x25, 1, 0, 0, 0, 1), kDirOut, 512, TP},
      erase,
      {"DoCut_EFuse", [](C& c, auto*) { return c.DoCut_EFuse(1, 2); }, W(0x03, 0x27, 1, 1, 2, 0, 1), kDirOut, 512, RAW},
      {"ISPProgramPRAM", [](C& c, auto* b) { return c.ISPProgramPRAM(b, 2, true); }, W(0x03, 0x40, 2, 0, 1, 0, 2),
       kDirOut, 1024, TP},
      {"ISPProgramFlash", [](C& c, auto*) { return c.ISPProgramFlash(); }, W(0x09, 0x41, 1, 0, 0x20, 0, 1), kDirOut,
       512, TP},
      {"Write3rdBBT", [](C& c, auto* b) { return c.Write3rdBBT(b, 2, 1, 0x123 * 512 + 17); },
       W(0x03, 0x48, 2, 1, 0x23, 0x01, 2), kDirOut, 1024, TP, kLong},
      {"DetectThermalSensor", [](C& c, auto*) { return c.DetectThermalSensor(0x13); },
       W(0x09, 0x52, 1, 0, 0x20, 0, 1, 0xA3), kDirNone, 0, DO},
      {"Write4ByteReg", [](C& c, auto* b) { return c.Write4ByteReg(b, 0x66); }, W(0x03, 0x60, 1, 0, 0x66, 0, 1),
       kDirOut, 512, TP},
      {"SendScanBadParameter", [](C& c, auto* b) { return c.SendScanBadParameter(b); }, W(0x03, 0x70, 1, 0, 0, 0, 1),
       kDirOut, 512, TP},
      {"SetScanBadParameter", [](C& c, auto* b) { return c.SetScanBadParameter(b); }, W(0x09, 0x70, 1, 0, 0x10, 0, 1),
       kDirOut, 512, TP},
      {"Vender_Send_Seed", [](C& c, auto* b) { return c.Vender_Send_Seed(b, 2); }, W(0x03, 0x80, 2, 0, 0, 0, 2),
       kDirOut, 1024, TP},
      {"WriteBBT", [](C& c, auto* b) { return c.WriteBBT(b, 2, 1, 0x123 * 512); }, W(0x03, 0x81, 2, 1, 0x23, 0x01, 2),
       kDirOut, 1024, TP, kLong, true},
      {"Vender_Send_Binfile", [](C& c, auto* b) { return c.Vender_Send_Binfile(b, 2, 5, true); },
       W(0x03, 0x82, 2, 0, 5, 1, 2), kDirOut, 1024, TP},
      {"VendorWriteA3", [](C& c, auto*) { return c.VendorWriteA3(); }, W(0x09, 0xA3, 1, 0, 0x10, 0, 1), kDirOut, 512,
       RAW},
      {"Vender_InitialPadAndDrive", [](C& c, auto* b) { return c.Vender_InitialPadAndDrive(b, 0x42); },
       W(0x03, 0xAA, 2, 0, 0, 0x42, 1), kDirOut, 1024, TP},
      {"Scan_SDLL", [](C& c, auto* b) { return c.Scan_SDLL(b, 1, 2, 3, 2); }, W(0x03, 0xAB, 2, 3, 1, 2, 2), kDirOut,
       1024, TP},
      {"ISPProgramPRAM_ICode", [](C& c, auto* b) { return c.ISPProgramPRAM_ICode(b, 2, 0x0A, 0x0B); },
       W(0x03, 0xBD, 2, 0, 0x0B, 0x0A, 2), kDirOut, 1024, TP},
      {"ISPVerifyPRAM_ICode", [](C& c, auto* b) { return c.ISPVerifyPRAM_ICode(b, 2, 0x0A); },
       W(0x03, 0xBE, 2, 0, 0, 0x0A, 2), kDirOut, 1024, TP},
      polling,
  };
  kxtest::CheckAllModes(*backend, table);
}

TEST_F(VendorCommandsTest, ZeroAndMarkerSectors) {
  CDriveCommand cmd(1);
  EXPECT_TRUE(cmd.VendorWrite00());
  auto data = backend->Requests().back().dataOut;
  ASSERT_EQ(data.size(), 512u);
  EXPECT_TRUE(std::equal(kx::kVendorWrite00Marker.begin(), kx::kVendorWrite00Marker.end(), data.begin()));
  EXPECT_TRUE(std::all_of(data.begin() + 6, data.end(), [](std::uint8_t b) { return b == 0; }));
  for (auto member : {&CDriveCommand::ResetCard, &CDriveCommand::ISPProgramFlash, &CDriveCommand::JumpToBoot,
                      &CDriveCommand::StartStatusPolling, &CDriveCommand::VendorWriteA3,
                      &CDriveCommand::WriteBufferZero}) {
    EXPECT_TRUE((cmd.*member)());
    EXPECT_EQ(backend->Requests().back().dataOut, std::vector<std::uint8_t>(512, 0));
  }
}

TEST_F(VendorCommandsTest, AccessKeyInEachForm) {
  const auto& s = kx::kApKeySignature;
  CDriveCommand cmd(2);
  // bridge, and SATA port with flag 0: SAT ATA PASS-THROUGH (12), no data
  for (int sata : {0, 1}) {
    g_SataPortMode = static_cast<std::uint8_t>(sata);
    EXPECT_EQ(cmd.SetApKey(false), 1);
    const auto c = backend->Requests().back();
    EXPECT_EQ(c.Cdb(), Bytes({0xA1, 0x06, 0x00, 0x00, s[0], s[1], s[2], s[3], s[4], s[5]}));
    EXPECT_EQ(c.sptd.DataIn, win::SCSI_IOCTL_DATA_UNSPECIFIED);
  }
  // SATA port, flag 1: the task file carries features 0 and the signature
  kx::SetAtaPassThroughOk(2, true);
  EXPECT_EQ(cmd.SetApKey(true), 1);
  const auto a = backend->Requests().back().apt;
  EXPECT_EQ(std::vector<std::uint8_t>(a.CurrentTaskFile, a.CurrentTaskFile + 8),
            std::vector<std::uint8_t>({0x00, s[0], s[1], s[2], s[3], s[4], s[5], 0x00}));
  EXPECT_EQ(a.AtaFlags, 0x01);
  backend->script = [](const Call&, void*) { return win::ERROR_IO_DEVICE; };
  EXPECT_EQ(cmd.SetApKey(false), 0);

  // tester-direct: the tester's own register order, reply checked
  g_KX_U2A = 0;
  backend->script = nullptr;
  EXPECT_EQ(cmd.SetApKey(false), 1);
  EXPECT_EQ(backend->Requests().back().Cdb(),
            Bytes({0x08, 0xF2, 0x71, 0x00, s[5], 0x00, s[0], s[1], s[2], s[3], s[4], 0x00}));
  std::vector<std::uint8_t> reply(16, 0);
  backend->script = [&reply](const Call&, void* out) {
    auto* b = static_cast<win::ScsiPassThroughDirectBlock*>(out);
    std::memcpy(b->Sptd.DataBuffer, reply.data(), 16);
    return win::DWORD{0};
  };
  reply[1] = 0x01;
  reply[2] = 0x01;
  reply[6] = 0x50;
  EXPECT_EQ(cmd.SetApKey(true), 1);
  EXPECT_EQ(backend->Requests().back().Cdb()[11], 0x01);
  EXPECT_EQ(backend->Requests().back().sptd.DataTransferLength, 16u);
  reply[6] = 0x51;
  EXPECT_EQ(cmd.SetApKey(true), 2);
  reply[6] = 0x50;
  reply[2] = 0x00;
  EXPECT_EQ(cmd.SetApKey(true), 2);
  backend->script = [](const Call&, void*) { return win::ERROR_SEM_TIMEOUT; };
  EXPECT_EQ(cmd.SetApKey(true), 0);
}

TEST_F(VendorCommandsTest, SetScanBadParameterRetriesTenTimes100msApart) {
  CDriveCommand cmd(1);
  std::uint8_t buf[512] = {};
  auto t0 = NowMs();
  EXPECT_TRUE(cmd.SetScanBadParameter(buf));
  EXPECT_EQ(NowMs() - t0, 200u);  // at least 200 ms even on the first success
  EXPECT_EQ(backend->Requests().size(), 1u);

  int n = 0;
  backend->script = [&n](const Call&, void*) { return n++ < 3 ? win::ERROR_IO_DEVICE : win::DWORD{0}; };
  EXPECT_TRUE(cmd.SetScanBadParameter(buf));
  EXPECT_EQ(backend->Requests().size(), 5u);

  backend->script = [](const Call&, void*) { return win::ERROR_IO_DEVICE; };
  t0 = NowMs();
  EXPECT_FALSE(cmd.SetScanBadParameter(buf));
  EXPECT_EQ(backend->Requests().size(), 15u);
  EXPECT_EQ(NowMs() - t0, 1100u);
}

TEST_F(VendorCommandsTest, FailureKeepsTheBlockAndTheOsError) {
  CDriveCommand cmd(1);
  std::uint8_t buf[1024];
  backend->script = [](const Call&, void*) { return win::ERROR_CRC; };
  EXPECT_FALSE(cmd.DirectReadSRAM(buf, 2, 1, 2));
  std::uint8_t last[16];
  std::uint32_t err = 0;
  cmd.GetLastCommand(last, &err);
  EXPECT_EQ(err, win::ERROR_CRC);
  EXPECT_EQ(last[0], 0xA1);
  EXPECT_EQ(last[3], 0x12);
}

}  // namespace
