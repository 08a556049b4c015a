// A production line: one emulated drive taken through the stations in order,
// each station a real port job. The drive, its tester, bridge or SATA port and
// the product's settings stay from station to station; only the tool's station
// (MPToolSetting.ini TestStation) changes. For tests in a scratch folder
// (DeviceTestEnv):
//
//   kxtest::ProductionLine line(kxtest::Mode::Bridge, kxtest::LineDrive(emu::RunningCode::Boot));
//   EXPECT_EQ(line.Run("EraseAll").code, "0_00");
//   EXPECT_EQ(line.Run("RDT").code, "0_00");
//   line.PassRdtRun();
//   EXPECT_EQ(line.Run("RDTResult").code, "0_00");
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "device/StatusCell.h"
#include "engine/EngineGlobals.h"
#include "tests/support/EmulatedStation.h"

namespace kxtest {

// The line's 1 GB drive with a small flash, running `code`: boot code is a
// fresh drive (no tables, no info block); the others carry what the emulator
// gives a drive that ran them (the MP firmware's tables and info block, or a
// finished RDT run).
emu::DriveConfig LineDrive(emu::RunningCode code);

// The RDT image; the MP image (also the image the firmware update writes) is MpImage().
const std::vector<std::uint8_t>& LineRdtImage();

class ProductionLine {
 public:
  // What a job left: the page's result code, the cell, the port report, and the
  // result-list and serial-number records it added.
  struct Outcome {
    std::string code;
    std::string cell;
    std::string state;    // the cell's state text ("Pass", "Error")
    std::string message;  // the cell's error message
    std::string report;
    std::string records;   // the result list and SATA_RecordSN.ini
    std::string recordSn;  // SATA_RecordSN.ini alone
    std::string errorLog;  // the job mode's Error log, new for this job
  };

  // Installs the product's settings and images; the drive is powered and past its boot.
  ProductionLine(Mode mode, const emu::DriveConfig& drive);
  ~ProductionLine();
  ProductionLine(const ProductionLine&) = delete;
  ProductionLine& operator=(const ProductionLine&) = delete;

  // One job of the station named as TestStation names it ("EraseAll", "RDT",
  // "RDTResult", "MP", "EraseMP", "SortMP", "SortRDT", "QC", "UpdateFW") on the
  // drive as it is now.
  Outcome Run(const std::string& station);
  // The virtual clock past the RDT firmware's own run, the drive powered.
  void PassRdtRun();

  EmulatedStation& Station() { return station_; }
  emu::Drive& Drive() { return station_.Drive(); }

 private:
  EmulatedStation station_;
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  kx::ProgressModel progress_;
};

}  // namespace kxtest
