// The DRAM test: TestSdrByDma. It takes the DRAM size from the system
// information, checks it against the parameter file, then DMA-writes the
// stamped pattern of drivetests/CopyCompare.h to every DRAM address, reads it
// all back and compares it. The emulated drive's burner code answers
// DMA_Write_DDR and DMA_Read_DDR from its DRAM in emulator/DriveAta.cpp.
#include "drivetests/DramTest.h"

#include <algorithm>

#include "command/DriveCommand.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "drivetests/CopyCompare.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace kx {

std::uint64_t DramTestSectors(std::uint32_t dramMb) {
  return std::min<std::uint64_t>(static_cast<std::uint64_t>(dramMb) << 11, kDramAddressLimit);
}

}  // namespace kx

bool CPortDevice::TestSdrByDma(IProgressBar* progress, int progressSpan, int /*unused*/) {
  const win::DWORD start = win::GetTickCount();
  WriteReport("Do DRAM Test", true);
  if (!CheckSystemInfo()) {
    std::replace(m_ErrorCode.begin(), m_ErrorCode.end(), 'x', 'S');
    WriteFailReport();
    return false;
  }
  const int iniMb = kx::ReadProfileInt("Options", "DDRSize", 0, kx::SettingIniPath().c_str());
  if (iniMb != 0 && static_cast<std::uint32_t>(iniMb) != m_DdrSizeMB) {
    Fail("D_S01", StrFormat("DRAM Size is not match(Device:%u MB, INI:%d MB)", m_DdrSizeMB, iniMb), true);
    return false;
  }
  const std::uint64_t sectors = kx::DramTestSectors(m_DdrSizeMB);
  if (sectors == 0) {
    Fail("D_S01", "DRAM Size is 0 MB in the system information !!!", true);
    return false;
  }
  if (sectors < static_cast<std::uint64_t>(m_DdrSizeMB) << 11)
    WriteReport(StrFormat("DRAM %u MB, test the first %llu MB a DMA address reaches", m_DdrSizeMB,
                          static_cast<unsigned long long>(sectors >> 11)),
                true);

  const int from = progress != nullptr ? progress->GetPos() : 0;
  kx::ProgressRun run(progress, from + std::max(progressSpan, 0), 2 * sectors);
  const kx::TestPattern pattern(static_cast<std::uint32_t>(start));
  std::uint8_t* buffer = m_IoBufferA;
  // Every address written before any is read: an address line that aliases
  // two addresses leaves the later stamp at both.
  for (std::uint64_t address = 0; address < sectors; address += kx::kDramChunkSectors) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kx::kDramChunkSectors, sectors - address));
    pattern.Fill(buffer, n, address);
    if (!m_Command->DMA_Write_DDR(buffer, n, static_cast<std::uint32_t>(address))) {
      Fail("D_S02", StrFormat("DMA Write DDR Failed(Address=0x%llX)", static_cast<unsigned long long>(address)), true);
      return false;
    }
    run.Add(n);
  }
  for (std::uint64_t address = 0; address < sectors; address += kx::kDramChunkSectors) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kx::kDramChunkSectors, sectors - address));
    if (!m_Command->DMA_Read_DDR(buffer, n, static_cast<std::uint32_t>(address))) {
      Fail("D_S02", StrFormat("DMA Read DDR Failed(Address=0x%llX)", static_cast<unsigned long long>(address)), true);
      return false;
    }
    const std::uint32_t bad = pattern.FirstMismatch(buffer, n, address);
    if (bad < n) {
      const std::uint64_t at = address + bad;
      WriteReport(pattern.Describe(buffer + std::size_t{bad} * kx::kTestSectorBytes, at), true);
      Fail("D_S02", StrFormat("DRAM Compare Failed(Address=0x%llX)", static_cast<unsigned long long>(at)), true);
      return false;
    }
    run.Add(n);
  }
  m_ElapsedSec = static_cast<double>(win::GetTickCount() - start) / 1000.0;
  WriteReport(StrFormat("DRAM Test OK(%u MB)- Total take %.3f sec.", m_DdrSizeMB, m_ElapsedSec), false);
  return true;
}
