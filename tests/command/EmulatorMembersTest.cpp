// The CDriveCommand members whose effect the emulated drive or tester models,
// in each send mode: a tester board (tester-direct), a bridge, a SATA port on a
// tester's switch board with ATA pass-through, and a plain SATA port without it
// (the tester's own 08 F2 forms fail there, as on an AHCI port). Each group is an
// ordered table of one row per member, run from a drive state that the group's
// members need; a row calls the member and checks what the drive now holds or
// answered. The bytes each member sends are pinned by GoldenBytesTest; members
// whose effect the emulator's own suites pin (SRAM registers, info code, fuses,
// bad-block tables, security freeze and unlock) have no row here.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/EmulatedStation.h"

namespace {

using kxtest::Mode;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed * 17 + (i >> 9));
  return b;
}
std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
Bytes Le32Pair(std::uint32_t a, std::uint32_t v) {
  Bytes s(512, 0);
  for (int i = 0; i < 4; ++i) {
    s[i] = static_cast<std::uint8_t>(a >> (8 * i));
    s[4 + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  return s;
}
Bytes Head(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }
std::string AtaText(const std::uint8_t* p, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i + 1 < n; i += 2) s += {static_cast<char>(p[i + 1]), static_cast<char>(p[i])};
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

struct Row {
  const char* member;
  std::function<bool()> call;
  std::function<bool()> check;  // what the drive or the reply must show afterwards
};

class EmulatorMembersTest : public ::testing::TestWithParam<Mode> {
 protected:
  // A drive running `code`, IDENTIFY sent (it decides a SATA port's path) and the access key accepted.
  void Start(emu::RunningCode code) {
    emu::DriveConfig cfg;
    cfg.capacitySectors = 1 << 21;
    cfg.blocksPerPlane = 128;
    cfg.initialCode = code;
    cfg.factoryBadBlocks = {{0, 0, 1, 5}, {9, 0, 0, 7}};
    s_ = std::make_unique<kxtest::EmulatedStation>(
        GetParam(), 1, cfg, kxtest::StationSetup{.ataPassThrough = GetParam() != Mode::SataPort, .identify = true});
    ASSERT_EQ(kx::AtaPassThroughOk(s_->DriveNo()), GetParam() == Mode::TesterSataPort);
    ASSERT_EQ(s_->Command().SetApKey(true), 1);
  }
  void RunRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.member);
      EXPECT_TRUE(row.call()) << "last error " << s_->Command().m_LastError;
      if (row.check) {
        EXPECT_TRUE(row.check());
      }
    }
  }
  // Whether the tester's 08 F2 forms sent as they are reach a decoder.
  bool TesterForms() const { return GetParam() != Mode::SataPort; }
  emu::Drive& D() { return s_->Drive(); }

  std::unique_ptr<kxtest::EmulatedStation> s_;
  Bytes a_ = Bytes(2048, 0), b_ = Bytes(2048, 0);  // reply buffers
};

TEST_P(EmulatorMembersTest, TesterMembers) {
  Start(emu::RunningCode::RomMp);
  CDriveCommand& c = s_->Command();
  auto card = [&] { return s_->Site().Card(1); };
  RunRows({
      // On a plain SATA port the raw tester members fail (the device's card
      // operations drive the rest against a tester board).
      {"PowerResetTester", [&] { return c.PowerResetTester(0) == TesterForms(); },
       [&] { return card().testerResets == (TesterForms() ? 1u : 0u); }},
      {"DEVSLP_IO_Control", [&] { return c.DEVSLP_IO_Control(true); }, [&] { return card().devSleep; }},
      {"DisableDEVSLP", [&] { return c.DisableDEVSLP(2); }, [&] { return !card().devSleep && c.FLUSH_CACHE(); }},
      {"SatDeviceReset", [&] { return c.SetApKey(false) == 1 && c.SatDeviceReset(); }, [&] { return !D().KeyAccepted(); }},
  });
}

TEST_P(EmulatorMembersTest, AtaMembers) {
  Start(emu::RunningCode::RomMp);
  CDriveCommand& c = s_->Command();
  const Bytes out = Pattern(2048, 1);
  // Each write lands on the media, and its partner reads it back.
  auto media = [&](std::uint64_t lba, std::size_t bytes) {
    return D().ReadMedia(lba, static_cast<std::uint32_t>(bytes / 512)) == Head(out, bytes) &&
           Head(a_, bytes) == Head(out, bytes);
  };
  Bytes pw(512, 0);
  std::memcpy(pw.data() + 2, "factory-password", 16);
  std::uint32_t newMax = 0;
  RunRows({
      {"WriteDma, ReadDma", [&] { return c.WriteDma(out.data(), 1536, 0x0123456) && c.ReadDma(a_.data(), 1536, 0x0123456); },
       [&] { return media(0x0123456, 1536); }},
      {"WriteSectorsExt, ReadSectorsExt",
       [&] { return c.WriteSectorsExt(out.data(), 1536, 0x1F2000, 0) && c.ReadSectorsExt(a_.data(), 1536, 0x1F2000, 0); },
       [&] { return media(0x1F2000, 1536); }},
      {"WriteDmaExt16, ReadDmaExt16",
       [&] { return c.WriteDmaExt16(out.data(), 2, 0x1F1000, 0) && c.ReadDmaExt16(a_.data(), 2, 0x1F1000, 0); },
       [&] { return media(0x1F1000, 1024); }},
      {"SECURITY_SET_PASSWORD", [&] { return c.SECURITY_SET_PASSWORD(pw.data()); }, [&] { return D().SecurityEnabled(); }},
      {"SecurityDisablePassword", [&] { return c.SecurityDisablePassword(pw.data()); }, [&] { return !D().SecurityEnabled(); }},
      {"SECURITY_ERASE_PREPARE, SECURITY_ERASE_UNIT",
       [&] { return c.SECURITY_SET_PASSWORD(pw.data()) && c.SECURITY_ERASE_PREPARE() && c.SECURITY_ERASE_UNIT(pw.data()); },
       [&] { return !D().SecurityEnabled() && D().ReadMedia(100, 1) == Bytes(512, 0); }},
      {"DeviceConfigurationIdentify", [&] { return c.DeviceConfigurationIdentify(a_.data()); }, [&] { return a_[510] == 0xA5; }},
      {"DeviceConfigurationSet", [&] {
         // the largest LBA one million sectors lower, checksum mended
         newMax = static_cast<std::uint32_t>(D().Config().capacitySectors - 1000000);
         const std::uint32_t last = newMax - 1;
         for (int i = 0; i < 4; ++i) a_[6 + i] = static_cast<std::uint8_t>(last >> (8 * i));
         std::uint8_t sum = 0;
         for (int i = 0; i < 511; ++i) sum = static_cast<std::uint8_t>(sum + a_[i]);
         a_[511] = static_cast<std::uint8_t>(-sum);
         return c.DeviceConfigurationSet(a_.data()); },
       [&] { return D().NativeMaxLba() == newMax; }},
      // Raw members: they fail on a plain SATA port, as there is no tester to carry them.
      {"READ_NATIVE_MAX_ADDRESS, SET_MAX_ADDRESS",
       [&] { return (c.READ_NATIVE_MAX_ADDRESS() && c.SET_MAX_ADDRESS(0x0ABCDE, true)) == TesterForms(); },
       [&] { return c.GetIdentify(a_.data()) && static_cast<std::uint32_t>(a_[120] | a_[121] << 8 | a_[122] << 16) == (TesterForms() ? 0x0ABCDFu : newMax); }},
  });
}

TEST_P(EmulatorMembersTest, VendorMembersOnFlashFirmware) {
  Start(emu::RunningCode::RomMp);
  CDriveCommand& c = s_->Command();
  const Bytes out = Pattern(2048, 2);
  auto readsBack = [&](std::size_t bytes) { return Head(a_, bytes) == Head(out, bytes); };
  RunRows({
      {"DirectWriteSRAM, DirectReadSRAM", [&] { return c.DirectWriteSRAM(out.data(), 2, 0x00, 0x20) && c.DirectReadSRAM(a_.data(), 2, 0x00, 0x20); },
       [&] { return readsBack(1024); }},
      {"DirectWriteInfoBlock", [&] { return c.DirectWriteInfoBlock(out.data(), 3); },
       [&] { return D().InfoBlockPage(3) == Head(out, 2048); }},
      {"DirectReadInfoBlock", [&] { return c.DirectReadInfoBlock(a_.data(), 3); }, [&] { return readsBack(1024); }},
      {"CACHE_WRITE_FLASH, CacheReadFlash", [&] { return c.CACHE_WRITE_FLASH(out.data(), 1, 2, 0, 2) && c.CacheReadFlash(a_.data(), 1, 2, 0, 2); },
       [&] { return readsBack(1024); }},
      // factory bad blocks on CE 0 and CE 9, none grown later
      {"Get_ALLBadBlockCount_perCE", [&] { return c.Get_ALLBadBlockCount_perCE(a_.data()); }, [&] { return a_[0] == 1 && a_[18] == 1; }},
      {"Get_ALLBadBlockAddress_perCE", [&] { return c.Get_ALLBadBlockAddress_perCE(a_.data(), 1); },
       [&] { return a_[0] == 0 && a_[2] == 1 && Le32(a_, 4) == 5 && a_[8] == 9 && Le32(a_, 12) == 7; }},
      {"Get_LaterBadBlockCount_perCE", [&] { return c.Get_LaterBadBlockCount_perCE(a_.data()); }, [&] { return Head(a_, 512) == Bytes(512, 0); }},
      {"Get_EarlyBadBlockAddress_perCE", [&] { return c.Get_EarlyBadBlockAddress_perCE(a_.data(), 1); }, [&] { return a_[8] == 9 && Le32(a_, 12) == 7; }},
      {"Write3rdBBT, Read3rdBBT", [&] { return c.Write3rdBBT(out.data(), 1, 3, 512) && c.Read3rdBBT(a_.data(), 1, 3, 1); },
       [&] { return readsBack(512); }},
      {"SetCEMap", [&] { const Bytes map = Le32Pair(0x0003, 0); return c.SetCEMap(map.data()); }, [&] { return D().SystemInfo()[0] == 2; }},
      {"PreFormat, ReadPreFormatResult", [&] { return c.PreFormat(out.data(), 0, true) && c.ReadPreFormatResult(a_.data()); },
       [&] { return a_[0] == 0 && a_[1] == 0x01 && a_[2] == 0x01; }},
      {"Scan_SDLL", [&] { return c.Scan_SDLL(out.data(), 0, 0, 0, 1); },
       [&] { return c.DirectReadSRAM(a_.data(), 1, 0, 0) && a_[16] == 0x00 && a_[17] == 0x01; }},
      // a temperature scan (type 04h) clears the media but keeps the code: the jump below finds it
      {"EraseAllBlock", [&] { return c.EraseAllBlock(0x04, true); },
       [&] { return D().ReadMedia(0, 1) == Bytes(512, 0) && D().EraseErrorByte() == 0; }},
      {"JumpToBoot", [&] { return c.JumpToBoot(); },
       [&] { return D().Code() == emu::RunningCode::RomMp && !D().KeyAccepted(); }},
      {"SetApKey", [&] { return c.SetApKey(false) == 1; }, [&] { return D().KeyAccepted(); }},
      // with the ISP code gone the card restarts in its boot code
      {"EraseISPCode, ResetCard", [&] { return c.EraseISPCode(a_.data()) && c.ResetCard(); },
       [&] { return D().Code() == emu::RunningCode::Boot; }},
  });
}

// Boot code -> burner loaded into RAM -> normal code programmed into flash -> flash firmware.
TEST_P(EmulatorMembersTest, IspMembersFromBootCode) {
  Start(emu::RunningCode::Boot);
  CDriveCommand& c = s_->Command();
  const Bytes seed = Pattern(16384, 3), pram = Pattern(2048, 4), icode = Pattern(1024, 5), bin = Pattern(2048, 6);
  const Bytes descriptor = Le32Pair(0x20000000, 2048);
  // The running code's name; a plain SATA port cannot ask for it, so the drive tells.
  auto name = [&] {
    if (!TesterForms()) return AtaText(D().FirmwareName().data(), 8);
    return c.GetICFWName(b_.data()) ? AtaText(b_.data(), 8) : std::string("?");
  };
  RunRows({
      {"Vender_Send_Seed", [&] { return c.Vender_Send_Seed(seed.data(), 32); }, nullptr},
      {"ISPProgramPRAM", [&] { return c.DirectWriteSRAM(descriptor.data(), 1, 0, 0) && c.ISPProgramPRAM(pram.data(), 4, true); }, nullptr},
      {"Vender_Check_CRC", [&] { return c.Vender_Check_CRC(a_.data(), 1); }, [&] { return Le32(a_, 8) == 0x55AA55AA; }},
      {"JumpToBoot (burner)", [&] { return c.JumpToBoot(); }, [&] { return name() == D().Config().mcodeName; }},
      {"SetApKey", [&] { return c.SetApKey(true) == 1; }, nullptr},
      {"ISPProgramPRAM_ICode", [&] { return c.ISPProgramPRAM_ICode(icode.data(), 2, 1, 0); }, nullptr},
      {"ISPVerifyPRAM_ICode", [&] { return c.ISPVerifyPRAM_ICode(icode.data(), 2, 1); }, nullptr},
      {"Vender_Send_Seed (normal code)", [&] { return c.Vender_Send_Seed(seed.data(), 32); }, nullptr},
      {"Vender_Send_Binfile", [&] { return c.Vender_Send_Binfile(bin.data(), 4, 0, true); }, [&] { return D().VerdictLbaHigh() == 0xBB; }},
      {"ISPProgramFlash", [&] { return c.ISPProgramFlash(); }, nullptr},
      {"ISPVerifyFlash", [&] { return c.ISPVerifyFlash(a_.data(), 4, 0, 1); }, [&] { return Head(a_, 2048) == bin; }},
      {"JumpToBoot (flash firmware)", [&] { return c.JumpToBoot(); }, [&] { return name() == D().Config().firmwareRevision; }},
  });
}

const char* const kModeNames[] = {"TesterDirect", "Bridge", "PlainSataPortScsi", "TesterSataPortAtaPassThrough"};
INSTANTIATE_TEST_SUITE_P(Modes, EmulatorMembersTest,
                         ::testing::Values(Mode::TesterDirect, Mode::Bridge, Mode::SataPort, Mode::TesterSataPort),
                         [](const ::testing::TestParamInfo<Mode>& info) { return kModeNames[static_cast<int>(info.param)]; });

}  // namespace
