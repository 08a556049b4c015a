// Later and RDT bad blocks in the drive's table flag bytes, from Emulator.ini (the
// other table knobs are read through the steps in tests/media/BbtTableTest.cpp).
#include <filesystem>
#include <fstream>

#include "emulator/EmulatorIni.h"
#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {
namespace {

TEST(MediaTables, MarkedBlocksFromTheSiteDescription) {
  platform::ScopedClock clock(platform::MakeVirtualClock());
  const auto path = std::filesystem::temp_directory_path() / "kxemu_media_tables.ini";
  auto load = [&](const std::string& drive, std::string* err) {
    std::ofstream(path, std::ios::binary) << "[Site]\nSlots=1\n[Drive]\n" << drive;
    return LoadEmulatorIni(path.string(), err);
  };
  std::string err;
  auto site = load("FactoryBadBlocks = 0:0:1:17\nMarkedBadBlocks = later:0:0:1:17:Re, rdt:9:0:0:3:px\n"
                   "Preset3rdBbt=1\nBadBbtChecksum=1\n", &err);
  ASSERT_TRUE(site) << err;
  EXPECT_TRUE(site->GetDrive(1)->Config().preset3rdBbt);
  EXPECT_TRUE(site->GetDrive(1)->Config().badBbtChecksum);
  const Bytes body = site->GetDrive(1)->BbtBody();  // 8 CEs, 1 die, 2 planes: 16 entries a row
  EXPECT_EQ(body[17 * 16 + 1], 0xB5);    // CE 0: early, later, erase and read fail
  EXPECT_EQ(body[3 * 16 + 3 * 2], 0x4A);  // CE 9 (selector 3): RDT bad, program fail, RAID read bad
  EXPECT_EQ(std::count(body.begin(), body.end(), 0), static_cast<long>(body.size()) - 2);
  EXPECT_FALSE(load("MarkedBadBlocks = early:0:0:0:1\n", &err));
  EXPECT_EQ(err, "[Drive] MarkedBadBlocks: \"early:0:0:0:1\" is not of kind later or rdt");
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace emu::test
