// Firmware download by microcode: DownloadMicroCode. The emulated drive takes
// DOWNLOAD MICROCODE (92h, subcommand 03h) in emulator/DriveAta.cpp and runs
// the downloaded image after its next power-on (emulator/Drive.cpp); the image
// comes from media/BinImage.cpp's loader.
#include "media/MicroCode.h"

#include <cstring>

#include "command/CommandGlobals.h"
#include "command/DriveCommand.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "media/BinImage.h"
#include "media/IspRam.h"
#include "platform/Clock.h"

using kx::StrFormat;

namespace kx {

std::vector<MicroCodePiece> SplitMicroCode(std::uint32_t imageLength) {
  const std::uint32_t sectors = imageLength / 512 + (imageLength % 512 != 0 ? 1 : 0);
  std::vector<MicroCodePiece> pieces;
  for (const PramChunk& c : SplitPramChunks(sectors * 512))
    pieces.push_back({static_cast<std::uint16_t>(c.offset / 512), static_cast<std::uint16_t>(c.sectors)});
  return pieces;
}

}  // namespace kx

namespace {

kx::BinLoadOptions MicroCodeLoadOptions() {
  kx::BinLoadOptions o;
  o.family = 'F';
  o.codeKind = 1;
  o.use = kx::BinCodeUse::WholeImage;
  o.trimLeading = false;
  o.reportPath = false;
  o.attempts = 1;
  o.secondPath = kx::BinSecondPath::ModuleFolder;
  o.retryLine.clear();
  o.detailedOpenMessage = false;
  o.sumFailMessage = "MP Bin Code Fail!";
  o.sumFailBox = false;
  o.typeFrom = kx::BinTypeFrom::ParamFileNoSecond;
  // Unlike the other loaders, the download takes the last entry of the BIN type.
  o.lastMatch = true;
  return o;
}

}  // namespace

bool CPortDevice::DownloadMicroCode() {
  // The power-on wait restarts the device's start clock, so the step keeps its own.
  const win::DWORD start = win::GetTickCount();
  m_ClockStart = static_cast<std::int32_t>(start);
  kx::BinImage image;
  if (!LoadBinImage(MicroCodeLoadOptions(), image)) return FailWithFamily('F');

  const std::vector<kx::MicroCodePiece> pieces = kx::SplitMicroCode(image.length);
  const std::uint32_t padded = pieces.empty() ? 0 : (pieces.back().offset + pieces.back().sectors) * 512u;
  std::memset(m_IoBufferA + image.length, 0, padded - image.length);
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const kx::MicroCodePiece& piece = pieces[k];
    if (!m_Command->DownLoadMicroCode(m_IoBufferA + piece.offset * 512u, piece.sectors, piece.offset)) {
      Fail("I_F42",
           piece.sectors == kx::kPramChunkSectors
               ? StrFormat("DownLoadMicroCode Failed, loop-%d !!", static_cast<int>(k))
               : std::string("DownLoadMicroCode Failed !!"),
           true);
      return false;
    }
  }

  // On a tester board the drive starts the new image after a power cycle;
  // the results do not decide the step.
  if (g_KX_U2A == 0) {
    SwitchCardPower(0, true, 0, m_DevSlpEnable != 0);
    SwitchCardPower(1, true, 0, m_DevSlpEnable != 0);
  }
  FinishFirmwareTiming(start);
  WriteReport(StrFormat("DownLoadMicroCode OK- Total take %.3f sec.", m_ElapsedSec), false);
  return true;
}
