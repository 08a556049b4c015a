// The surface tests: CopyCompareTestDma, CopyCompareTestPio and
// WriteReadBurnIn. Each writes the stamped pattern of drivetests/CopyCompare.h
// over its area of the drive, reads it back and compares it, then clears the
// area with zeros. The emulated drive answers their 48-bit DMA and PIO reads
// and writes in emulator/DriveAta.cpp, from the sparse store of
// emulator/SparseStore.cpp.
#include "drivetests/CopyCompare.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "bringup/IdentifyChecks.h"
#include "command/DriveCommand.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"
#include "protocol/MediaRecords.h"

using kx::StrFormat;

namespace kx {

namespace {

void PutLe64(std::uint8_t* p, std::uint64_t v) {
  StoreLe32(p, static_cast<std::uint32_t>(v));
  StoreLe32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
std::uint64_t GetLe64(const std::uint8_t* p) { return LoadLe32(p) | static_cast<std::uint64_t>(LoadLe32(p + 4)) << 32; }

constexpr std::uint32_t kAddressBytes = 8;

}  // namespace

TestPattern::TestPattern(std::uint32_t pass) : pass_(pass) {
  model_.fill(0);
  StoreLe32(model_.data() + 8, pass);
  StoreLe32(model_.data() + 12, ~pass);
  // 0x3D is odd, so 256 bytes in a row take every value: each bit is 0 and 1.
  const std::uint32_t offset = pass * 0x9Fu + 0x5Au;
  for (std::uint32_t j = kStampBytes; j < kTestSectorBytes; ++j)
    model_[j] = static_cast<std::uint8_t>(j * 0x3Du + offset);
}

void TestPattern::Fill(std::uint8_t* buffer, std::uint32_t sectors, std::uint64_t first) const {
  for (std::uint32_t i = 0; i < sectors; ++i) {
    std::uint8_t* s = buffer + static_cast<std::size_t>(i) * kTestSectorBytes;
    std::memcpy(s, model_.data(), kTestSectorBytes);
    PutLe64(s, first + i);
  }
}

std::uint32_t TestPattern::FirstMismatch(const std::uint8_t* buffer, std::uint32_t sectors, std::uint64_t first) const {
  for (std::uint32_t i = 0; i < sectors; ++i) {
    const std::uint8_t* s = buffer + static_cast<std::size_t>(i) * kTestSectorBytes;
    if (GetLe64(s) != first + i ||
        std::memcmp(s + kAddressBytes, model_.data() + kAddressBytes, kTestSectorBytes - kAddressBytes) != 0)
      return i;
  }
  return sectors;
}

std::string TestPattern::Describe(const std::uint8_t* sector, std::uint64_t address) const {
  const std::uint64_t stampAddress = GetLe64(sector);
  const std::uint32_t stampPass = LoadLe32(sector + 8);
  // A whole sector of this or another pass, only at the wrong place or time.
  if (LoadLe32(sector + 12) == ~stampPass && TestPattern(stampPass).FirstMismatch(sector, 1, stampAddress) == 1) {
    if (stampAddress != address)
      return StrFormat("0x%llX holds the data of 0x%llX", static_cast<unsigned long long>(address),
                       static_cast<unsigned long long>(stampAddress));
    if (stampPass != pass_)
      return StrFormat("0x%llX holds the data of pass %u, not of pass %u", static_cast<unsigned long long>(address),
                       stampPass, pass_);
  }
  std::array<std::uint8_t, kTestSectorBytes> expected;
  Fill(expected.data(), 1, address);
  std::uint32_t at = 0;
  while (at + 1 < kTestSectorBytes && sector[at] == expected[at]) ++at;
  return StrFormat("0x%llX byte %u: written 0x%02X, read 0x%02X", static_cast<unsigned long long>(address), at,
                   expected[at], sector[at]);
}

std::uint64_t IdentifyUserSectors(const std::uint8_t* identify) {
  if (IdentifyWord(identify, 83) & 0x0400) {
    std::uint64_t sectors = 0;
    for (int w = 103; w >= 100; --w) sectors = (sectors << 16) | IdentifyWord(identify, w);
    return sectors;
  }
  return static_cast<std::uint64_t>(IdentifyWord(identify, 61)) << 16 | IdentifyWord(identify, 60);
}

BurnInSpan BurnInSectors(double amount, bool byCapacity, std::uint64_t capacitySectors) {
  BurnInSpan span;
  if (!(amount > 0.0) || capacitySectors == 0) return span;  // NaN fails the test too
  const double capacity = static_cast<double>(capacitySectors);
  double wanted = 0.0;
  if (byCapacity) {
    wanted = amount * static_cast<double>(kSectorsPerGb);
  } else {
    span.clamped = amount > 100.0;
    wanted = amount >= 100.0 ? capacity : capacity * (amount / 100.0);
  }
  if (wanted >= capacity) {
    span.sectors = capacitySectors;
    span.clamped = span.clamped || wanted > capacity;
    return span;
  }
  span.sectors = static_cast<std::uint64_t>(wanted);  // below the capacity, so it fits
  return span;
}

std::vector<LbaRange> CopyCompareAreas(std::uint64_t capacitySectors) {
  constexpr std::uint64_t kArea = kCopyCompareAreaSectors;
  if (capacitySectors == 0) return {};
  if (capacitySectors < 3 * kArea) return {{0, capacitySectors}};
  const std::uint64_t middle = (capacitySectors / 2 - kArea / 2) & ~7ULL;
  return {{0, kArea}, {middle, kArea}, {capacitySectors - kArea, kArea}};
}

ProgressRun::ProgressRun(IProgressBar* bar, int end, std::uint64_t total) : bar_(bar), end_(end), total_(total) {
  if (bar_ != nullptr) start_ = bar_->GetPos();
}

void ProgressRun::Add(std::uint64_t done) {
  done_ += done;
  if (bar_ == nullptr) return;
  const int pos = PositionAt(start_, end_, done_, total_);
  if (pos != bar_->GetPos()) bar_->SetPos(pos);
}

int ProgressRun::PositionAt(int start, int end, std::uint64_t done, std::uint64_t total) {
  if (end <= start) return start;  // a bar never runs back
  if (total == 0 || done >= total) return end;
  // In double: the product of a span and a count of sectors can pass 64 bits.
  return start +
         static_cast<int>(static_cast<double>(end - start) * static_cast<double>(done) / static_cast<double>(total));
}

}  // namespace kx

namespace {

constexpr kx::SurfaceTest kCopyCompareDma = {"Copy Compare Test(DMA)", true, "F_K11", "F_K12", "F_K13"};
constexpr kx::SurfaceTest kCopyComparePio = {"Copy Compare Test(PIO)", false, "F_K11", "F_K12", "F_K13"};
constexpr kx::SurfaceTest kBurnIn = {"Write-Read BurnIn Test", true, "F_K11", "F_K12", "F_K13"};

// One transfer of the surface tests: 48-bit DMA or PIO.
bool Transfer(CDriveCommand& command, bool dma, bool write, std::uint8_t* buffer, std::uint32_t sectors,
              std::uint64_t lba) {
  const auto low = static_cast<std::uint32_t>(lba);
  const auto high = static_cast<std::uint32_t>(lba >> 32);
  if (write)
    return dma ? command.WriteDmaExt16(buffer, sectors, low, high)
               : command.WriteSectorsExt16(buffer, sectors, low, high);
  return dma ? command.ReadDmaExt16(buffer, sectors, low, high) : command.ReadSectorsExt16(buffer, sectors, low, high);
}

double SecondsSince(win::DWORD start) { return static_cast<double>(win::GetTickCount() - start) / 1000.0; }

}  // namespace

bool CPortDevice::ReadUserSectors(std::uint64_t& sectors) {
  std::uint8_t identify[kx::kIdentifyBytes];
  if (!IssueIdentify(identify, true)) {
    WriteFailReport();
    return false;
  }
  sectors = kx::IdentifyUserSectors(identify);
  return true;
}

bool CPortDevice::WriteTestRange(const kx::SurfaceTest& test, const kx::LbaRange& range, const kx::TestPattern* pattern,
                                 kx::ProgressRun& progress) {
  std::uint8_t* buffer = m_IoBufferA;
  if (pattern == nullptr) std::memset(buffer, 0, std::size_t{kx::kSurfaceChunkSectors} * kx::kTestSectorBytes);
  for (std::uint64_t done = 0; done < range.sectors;) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kx::kSurfaceChunkSectors, range.sectors - done));
    const std::uint64_t lba = range.first + done;
    if (pattern != nullptr) pattern->Fill(buffer, n, lba);
    if (!Transfer(*m_Command, test.dma, true, buffer, n, lba)) {
      Fail(test.writeCode,
           StrFormat("%s %s Fail(LBA=0x%llX)", test.name, pattern ? "Write" : "Clear",
                     static_cast<unsigned long long>(lba)),
           true);
      return false;
    }
    done += n;
    progress.Add(n);
  }
  return true;
}

bool CPortDevice::VerifyTestRange(const kx::SurfaceTest& test, const kx::LbaRange& range,
                                  const kx::TestPattern& pattern, kx::ProgressRun& progress) {
  std::uint8_t* buffer = m_IoBufferB;
  for (std::uint64_t done = 0; done < range.sectors;) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kx::kSurfaceChunkSectors, range.sectors - done));
    const std::uint64_t lba = range.first + done;
    if (!Transfer(*m_Command, test.dma, false, buffer, n, lba)) {
      Fail(test.readCode, StrFormat("%s Read Fail(LBA=0x%llX)", test.name, static_cast<unsigned long long>(lba)), true);
      return false;
    }
    const std::uint32_t bad = pattern.FirstMismatch(buffer, n, lba);
    if (bad < n) {
      const std::uint64_t at = lba + bad;
      WriteReport(pattern.Describe(buffer + std::size_t{bad} * kx::kTestSectorBytes, at), true);
      Fail(test.compareCode, StrFormat("%s Compare Fail(LBA=0x%llX)", test.name, static_cast<unsigned long long>(at)),
           true);
      return false;
    }
    done += n;
    progress.Add(n);
  }
  return true;
}

bool CPortDevice::RunCopyCompare(const kx::SurfaceTest& test, IProgressBar* progress, int endPosition) {
  const win::DWORD start = win::GetTickCount();
  std::uint64_t capacity = 0;
  if (!ReadUserSectors(capacity)) return false;
  if (capacity == 0) {
    Fail(test.writeCode, StrFormat("%s: the drive reports no user capacity !!!", test.name), true);
    return false;
  }
  const std::vector<kx::LbaRange> areas = kx::CopyCompareAreas(capacity);
  std::uint64_t total = 0;
  for (const kx::LbaRange& a : areas) total += 3 * a.sectors;  // write, read, clear
  kx::ProgressRun run(progress, endPosition, total);
  const kx::TestPattern pattern(static_cast<std::uint32_t>(start));
  for (const kx::LbaRange& a : areas) {
    if (!WriteTestRange(test, a, &pattern, run) || !VerifyTestRange(test, a, pattern, run) ||
        !WriteTestRange(test, a, nullptr, run))
      return false;
  }
  m_ElapsedSec = SecondsSince(start);
  WriteReport(StrFormat("%s OK- Total take %.3f sec.", test.name, m_ElapsedSec), false);
  return true;
}

bool CPortDevice::CopyCompareTestDma(IProgressBar* progress, int endPosition) {
  return RunCopyCompare(kCopyCompareDma, progress, endPosition);
}

bool CPortDevice::CopyCompareTestPio(IProgressBar* progress, int endPosition) {
  return RunCopyCompare(kCopyComparePio, progress, endPosition);
}

bool CPortDevice::WriteReadBurnIn(IProgressBar* progress, int endPosition, float amount, int byCapacity, int loops) {
  const win::DWORD start = win::GetTickCount();
  std::uint64_t capacity = 0;
  if (!ReadUserSectors(capacity)) return false;
  const bool gb = byCapacity != 0;
  const kx::BurnInSpan span = kx::BurnInSectors(amount, gb, capacity);
  if (span.sectors == 0) {
    Fail("F_K17", StrFormat("Write-Read BurnIn amount %f %s covers no sector !!!", amount, gb ? "GB" : "%"), true);
    return false;
  }
  if (span.clamped)
    WriteReport(StrFormat("Write-Read BurnIn amount %f %s is over the drive, test the whole drive(%llu sectors)",
                          amount, gb ? "GB" : "%", static_cast<unsigned long long>(span.sectors)),
                true);
  if (loops < 1) {
    WriteReport(StrFormat("Write-Read BurnIn Loop=%d, run 1 loop", loops), true);
    loops = 1;
  }
  const double shown =
      gb ? static_cast<double>(span.sectors) / kx::kSectorsPerGb : std::min(static_cast<double>(amount), 100.0);
  const kx::LbaRange range{0, span.sectors};
  const std::uint64_t perLoop = 3 * span.sectors;  // write, read, clear
  const auto count = static_cast<std::uint64_t>(loops);
  kx::ProgressRun run(progress, endPosition, count > ~0ULL / perLoop ? ~0ULL : perLoop * count);
  for (int loop = 1; loop <= loops; ++loop) {
    const std::string text = gb ? StrFormat("Do Write-Read BurnIn Test, Loop=%d, Capacity=%f GB", loop, shown)
                                : StrFormat("Do Write-Read BurnIn Test, Loop=%d, Percent=%f %s", loop, shown, "%");
    ShowPortStatus(text, false);
    WriteReport(text, true);
    const kx::TestPattern pattern(static_cast<std::uint32_t>(start) + static_cast<std::uint32_t>(loop));
    if (!WriteTestRange(kBurnIn, range, &pattern, run) || !VerifyTestRange(kBurnIn, range, pattern, run) ||
        !WriteTestRange(kBurnIn, range, nullptr, run))
      return false;
  }
  m_ElapsedSec = SecondsSince(start);
  WriteReport(StrFormat("Write-Read BurnIn Test OK(Loop=%d)- Total take %.3f sec.", loops, m_ElapsedSec), false);
  return true;
}
