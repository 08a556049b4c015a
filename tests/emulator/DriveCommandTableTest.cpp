// The command tables' rows as a host meets them: the gates each row declares
// (access key, running codes, LBA bit, security lock) and the address width of
// the media commands.
#include <algorithm>
#include <string>
#include <vector>

#include "emulator/DriveCommand.h"
#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {
namespace {

class DriveCommandTable : public DriveTest {
 protected:
  // A user password set, then a power cycle: the drive comes up locked.
  static void Lock(Drive& d) {
    ASSERT_TRUE(Ok(Out(d, Reg(0xF1, 0, 1), Password("secret"))));
    d.PowerOff();
    d.PowerOn();
    Advance(d.Config().bootDelayMs);
    ASSERT_TRUE(d.SecurityLocked());
  }
  static std::string Hex(int v) {
    static const char* digits = "0123456789ABCDEF";
    return std::string{digits[(v >> 4) & 0xF], digits[v & 0xF]} + "h";
  }
};

TEST_F(DriveCommandTable, EveryVendorCommandWaitsForTheAccessKey) {
  const struct {
    const char* opcode;
    const CommandTable& table;
  } tables[] = {{"21h", VendorReadTable()}, {"31h", VendorWriteTable()}};
  for (const auto& t : tables) {
    for (int sub = 0; sub < 256; ++sub) {
      const CommandRow& row = t.table[static_cast<std::size_t>(sub)];
      if (row.handler == &HandleAbort) continue;  // not offered: aborted with or without the key
      SCOPED_TRACE(std::string(t.opcode) + " sub-command " + Hex(sub));
      EXPECT_NE(row.flags & kNeedsKey, 0u);
    }
  }
}

// The ISP loads, each given what it needs (seed, load descriptor), are taken in
// their running codes and aborted in the others.
TEST_F(DriveCommandTable, IspLoadsAreTakenOnlyInTheirRunningCodes) {
  struct Load {
    const char* name;
    std::uint8_t sub;
    std::uint8_t mid, high;
    std::initializer_list<RunningCode> takenIn;
  };
  const Load loads[] = {
      {"program PRAM", 0x40, 0, 1, {RunningCode::Boot, RunningCode::Mcode}},
      {"program flash", 0x41, 0, 0x20, {RunningCode::Mcode}},
      {"send binfile", 0x82, 0, 1, {RunningCode::Mcode}},
      {"program ICode", 0xBD, 0, 0, {RunningCode::Mcode}},
  };
  const struct {
    const char* name;
    RunningCode code;
  } codes[] = {{"boot code", RunningCode::Boot},
               {"code in RAM", RunningCode::Mcode},
               {"MP firmware", RunningCode::RomMp},
               {"RDT firmware", RunningCode::RomRdt}};
  for (const Load& l : loads) {
    for (const auto& c : codes) {
      SCOPED_TRACE(std::string(l.name) + " in " + c.name);
      Drive d(SmallConfig(c.code));
      Ready(d);
      SeedAndDescriptor(d, 0x20000000, 65536);
      const AtaResponse r = VWrite(d, l.sub, 1, Sector(1), 0, l.mid, l.high);
      const bool taken = std::find(l.takenIn.begin(), l.takenIn.end(), c.code) != l.takenIn.end();
      EXPECT_TRUE(taken ? Ok(r) : Aborted(r));
    }
  }
}

// The media commands. One register set read both ways: LBA low 77h, previous
// LBA low 01h, device nibble 2. A 28-bit opcode addresses 2000077h, a 48-bit
// one 1000077h.
struct MediaCommand {
  const char* name;
  std::uint8_t command;
  AtaProtocol protocol;
  std::uint64_t lba;
};
const MediaCommand kMedia[] = {
    {"READ SECTORS", 0x20, AtaProtocol::PioIn, 0x2000077},
    {"READ SECTORS EXT", 0x24, AtaProtocol::PioIn, 0x1000077},
    {"READ DMA", 0xC8, AtaProtocol::DmaIn, 0x2000077},
    {"READ DMA EXT", 0x25, AtaProtocol::DmaIn, 0x1000077},
    {"READ MULTIPLE", 0xC4, AtaProtocol::PioIn, 0x2000077},
    {"READ MULTIPLE EXT", 0x29, AtaProtocol::PioIn, 0x1000077},
    {"WRITE SECTORS", 0x30, AtaProtocol::PioOut, 0x2000077},
    {"WRITE SECTORS EXT", 0x34, AtaProtocol::PioOut, 0x1000077},
    {"WRITE DMA", 0xCA, AtaProtocol::DmaOut, 0x2000077},
    {"WRITE DMA EXT", 0x35, AtaProtocol::DmaOut, 0x1000077},
    {"WRITE MULTIPLE", 0xC5, AtaProtocol::PioOut, 0x2000077},
    {"WRITE MULTIPLE EXT", 0x39, AtaProtocol::PioOut, 0x1000077},
    {"READ VERIFY SECTORS", 0x40, AtaProtocol::NonData, 0x2000077},
    {"READ VERIFY SECTORS EXT", 0x42, AtaProtocol::NonData, 0x1000077},
};

// A command addressed by LBA is aborted without the LBA bit, and while security
// locks the drive (as is FREEZE LOCK); with the bit, on an open drive, it runs.
TEST_F(DriveCommandTable, LbaCommandsNeedTheLbaBitAndAnUnlockedDrive) {
  struct Row {
    const char* name;
    std::uint8_t command;
    AtaProtocol protocol;
    std::uint8_t before;  // a command that must come first (0: none)
    bool byLba;
  };
  std::vector<Row> rows = {
      {"SET MAX ADDRESS", 0xF9, AtaProtocol::NonData, 0xF8, true},
      {"SET MAX ADDRESS EXT", 0x37, AtaProtocol::NonData, 0x27, true},
      {"SECURITY FREEZE LOCK", 0xF5, AtaProtocol::NonData, 0, false},
  };
  for (const MediaCommand& m : kMedia) rows.push_back({m.name, m.command, m.protocol, 0, true});
  const struct {
    const char* name;
    bool lbaBit;
    bool locked;
  } cases[] = {{"without the LBA bit", false, false}, {"locked", true, true}, {"open, LBA bit", true, false}};
  for (const Row& row : rows) {
    for (const auto& c : cases) {
      if (!row.byLba && !c.lbaBit) continue;
      SCOPED_TRACE(std::string(row.name) + ", " + c.name);
      Drive d(SmallConfig());
      if (c.locked) Lock(d);
      if (row.before != 0) {
        AtaRequest b = Reg(row.before);
        b.is48 = row.before == 0x27;
        ASSERT_TRUE(Ok(NonData(d, b)));
      }
      AtaRequest r = Reg(row.command, 0, 1, 5, 0, 0, c.lbaBit ? 0xE0 : 0xA0);
      r.is48 = true;  // the 28-bit opcodes read only the current registers
      Bytes buf(512, 0x5A);
      const bool data = row.protocol != AtaProtocol::NonData;
      const AtaResponse rsp = Run(d, r, row.protocol, data ? buf.data() : nullptr, data ? buf.size() : 0);
      EXPECT_TRUE(c.lbaBit && !c.locked ? Ok(rsp) : Aborted(rsp));
    }
  }
}

TEST_F(DriveCommandTable, EveryMediaCommandReadsTheAddressOfItsWidth) {
  DriveConfig cfg = SmallConfig();
  cfg.capacitySectors = 0x04000000;
  const Bytes sector = Pattern(512, 0x3C);
  for (const MediaCommand& row : kMedia) {
    SCOPED_TRACE(row.name);
    Drive d(cfg);
    AtaRequest r = Reg(row.command, 0, 1, 0x77, 0, 0, 0xE2);
    r.is48 = true;
    r.lbaLowExp = 0x01;
    if (IsDataOut(row.protocol)) {
      ASSERT_TRUE(Ok(Run(d, r, row.protocol, Bytes(sector).data(), sector.size())));
      EXPECT_EQ(d.ReadMedia(row.lba, 1), sector);
    } else if (IsDataIn(row.protocol)) {
      // Put the sector where the command should find it, with an unambiguous WRITE SECTORS EXT.
      AtaRequest w = Reg(0x34, 0, 1, static_cast<std::uint8_t>(row.lba), static_cast<std::uint8_t>(row.lba >> 8),
                         static_cast<std::uint8_t>(row.lba >> 16), 0x40);
      w.is48 = true;
      w.lbaLowExp = static_cast<std::uint8_t>(row.lba >> 24);
      ASSERT_TRUE(Ok(Out(d, w, sector)));
      Bytes buf(512, 0);
      ASSERT_TRUE(Ok(In(d, r, buf)));
      EXPECT_EQ(buf, sector);
    } else {
      d.Faults().AddMediumError(row.lba);  // the verify hits it only at that address
      EXPECT_EQ(NonData(d, r).error, kErrorUnc);
    }
  }
}

}  // namespace
}  // namespace emu::test
