// Timing-scan faults of one die from Emulator.ini.
#include <filesystem>
#include <fstream>

#include "emulator/EmulatorIni.h"
#include "tests/emulator/SiteTestUtil.h"

namespace emu::test {
namespace {

namespace fs = std::filesystem;

std::string LoadError(const std::string& drive, std::shared_ptr<Site>* site = nullptr) {
  const fs::path p = fs::temp_directory_path() /
                     ("kxemu_scan_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".ini");
  std::ofstream(p, std::ios::binary) << "[Site]\nSlots=1\n[Drive]\n" << drive;
  std::string err;
  auto loaded = LoadEmulatorIni(p.string(), &err);
  fs::remove(p);
  if (site) *site = loaded;
  return err;
}

TEST(ScanFaults, DieFaultsFromTheSiteFile) {
  std::shared_ptr<Site> site;
  ASSERT_EQ(
      LoadError("ScanFaults = 3:NoWriteEdge\nScanDieFaults = 9/1/2/0:NarrowRead, 0/0/7/15:invertedwrite\n", &site), "");
  const DriveConfig& c = site->GetDrive(1)->Config();
  EXPECT_EQ(c.scanFaults, (std::map<std::uint32_t, ScanFault>{{3, ScanFault::NoWriteEdge}}));
  EXPECT_EQ(c.scanDieFaults, (std::map<ScanDieKey, ScanFault>{{{9, 1, 2, 0}, ScanFault::NarrowRead},
                                                              {{0, 0, 7, 15}, ScanFault::InvertedWrite}}));
  struct Bad {
    const char* value;
    const char* error;
  } bad[] = {{"9/2/0/0:NoEdge", "[Drive] ScanDieFaults: \"2\" is not a number from 0 to 1"},
             {"1/0/0/0:Wide",
              "[Drive] ScanDieFaults: \"1/0/0/0:Wide\" is not NoEdge, OutOfRange, Inverted, CommandFails, "
              "NoWriteEdge, InvertedWrite, NarrowRead or NarrowWrite"}};
  for (const Bad& b : bad) EXPECT_EQ(LoadError(std::string("ScanDieFaults = ") + b.value + "\n"), b.error) << b.value;
}

}  // namespace
}  // namespace emu::test
