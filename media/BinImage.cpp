// Firmware image files: CheckBinMark, BINHeaderCheck and LoadBinImage, the
// loader that the RAM and flash programming, the detect load and the microcode
// download share, with the plain readers of media/BinImage.h under them. The
// loader sends nothing; the images it loads are those the emulated drive takes
// in emulator/DriveVendor.cpp.
#include "media/BinImage.h"

#include <algorithm>
#include <cstring>

#include "device/AppHolders.h"
#include "device/Checksum.h"
#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "protocol/MediaRecords.h"

using kx::StrFormat;

static_assert(kx::kBinImageMax == CPortDevice::kIoBufferASize, "an image fills at most the first I/O buffer");
static_assert(kx::kBinFileMax <= 0xFFFFFFFFu, "a file's length fits the frame check's 32 bits");

namespace kx {
namespace {

std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
// Characters up to the first NUL, as a C string of the field would print.
std::string FieldText(const std::uint8_t* p, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length && p[i] != 0; ++i) text += static_cast<char>(p[i]);
  return text;
}
std::string TrimTrailing(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  return text;
}
unsigned U(std::uint64_t value) { return static_cast<unsigned>(value); }

// The untransform's mask by position within each 256 bytes: byte i becomes ~b ^ (i & 0xFF).
constexpr std::array<std::uint8_t, 256> kUndoMask = [] {
  std::array<std::uint8_t, 256> mask{};
  for (std::size_t k = 0; k < mask.size(); ++k) mask[k] = static_cast<std::uint8_t>(~k);
  return mask;
}();

// Sum of bytes, each unsigned, wrapping at 2^32 (how stored images were summed).
std::uint32_t ByteSum(const std::uint8_t* p, std::size_t length) {
  std::uint32_t total = 0;
  for (std::size_t i = 0; i < length; ++i) total += p[i];
  return total;
}

constexpr char kVendorMark[] = "Tavlin";
// The largest read buffer a thread keeps between loads (a container of images).
constexpr std::uint64_t kBinReserveLimit = std::uint64_t{8} << 20;

}  // namespace

bool CheckBinFrame(const std::uint8_t* buffer, std::uint32_t length, std::uint32_t expectedLength,
                   std::array<std::uint8_t, 4>& marks) {
  // Under 4 bytes there is no content between the marks.
  if (length < 4) return false;
  marks[1] = buffer[1];
  marks[2] = buffer[length - 2];
  return length == expectedLength && buffer[0] == marks[0] && buffer[length - 1] == marks[3] && marks[1] == marks[2];
}

void UndoBinTransform(std::vector<std::uint8_t>& content) {
  std::uint8_t* p = content.data();
  std::size_t left = content.size();
  for (; left >= kUndoMask.size(); left -= kUndoMask.size(), p += kUndoMask.size())
    for (std::size_t k = 0; k < kUndoMask.size(); ++k) p[k] ^= kUndoMask[k];
  for (std::size_t k = 0; k < left; ++k) p[k] ^= kUndoMask[k];
}

std::uint32_t BinContentSum(const std::vector<std::uint8_t>& content) {
  // All bytes less those of the stored sum's digits.
  const std::size_t size = content.size();
  const std::size_t digitsBegin = std::min(size, kBinSumOffset);
  const std::size_t digitsEnd = std::min(size, kBinSumOffset + kBinSumDigits);
  return ByteSum(content.data(), size) - ByteSum(content.data() + digitsBegin, digitsEnd - digitsBegin);
}

std::uint64_t BinStoredSum(const std::vector<std::uint8_t>& content) {
  std::size_t i = kBinSumOffset;
  const std::size_t end = std::min(content.size(), kBinSumOffset + kBinSumDigits);
  while (i < end && (content[i] == ' ' || content[i] == '\t')) ++i;
  std::uint64_t value = 0;
  for (; i < end && content[i] >= '0' && content[i] <= '9'; ++i) value = value * 10 + (content[i] - '0');
  return value;
}

bool BinSumMatches(const std::vector<std::uint8_t>& content) {
  return content.size() >= kBinContainerHead && BinStoredSum(content) == BinContentSum(content);
}

BinReadStatus ReadBinContent(const std::string& winPath, bool transformed, BinFileContent& out,
                             std::array<std::uint8_t, 4>& marks) {
  // Reset, keeping the content's storage for reuse.
  out.bytes.clear();
  out.bytesRead = 0;
  out.framed = false;
  out.osError = 0;
  // The raw file is read into this thread's buffer, kept between loads so a
  // load neither grows nor faults in a fresh buffer; one too large is dropped.
  thread_local std::string data;
  if (data.capacity() > kBinReserveLimit) std::string().swap(data);
  bool changed = false;
  if (const win::DWORD err = platform::ReadFileBytes(winPath, data, kBinFileMax, &changed)) {
    out.osError = err;
    const bool openError =
        err == win::ERROR_FILE_NOT_FOUND || err == win::ERROR_PATH_NOT_FOUND || err == win::ERROR_ACCESS_DENIED;
    return openError ? BinReadStatus::OpenFailed : BinReadStatus::ReadFailed;
  }
  out.bytesRead = data.size();
  if (changed) return BinReadStatus::Changed;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  std::size_t begin = 0;
  std::size_t length = data.size();
  const auto read32 = static_cast<std::uint32_t>(data.size());  // kBinFileMax keeps it in range
  if (CheckBinFrame(bytes, read32, read32, marks)) {
    out.framed = true;
    begin = 2;
    length -= 4;
    out.bytesRead -= 4;
  }
  if (out.bytesRead == 0) return BinReadStatus::Empty;
  out.bytes.assign(bytes + begin, bytes + begin + length);
  if (transformed) {
    UndoBinTransform(out.bytes);
    if (!BinSumMatches(out.bytes)) return BinReadStatus::SumMismatch;
  }
  return BinReadStatus::Ok;
}

std::string FlashInfoRecord::MpBinType() const { return std::string(bytes.begin() + 4, bytes.begin() + 8); }

std::string FlashInfoRecord::FlashIdText() const {
  return StrFormat("%02x %02x %02x %02x %02x %02x %02x", bytes[8], bytes[9], bytes[10], bytes[11], bytes[12],
                   bytes[13], bytes[14]);
}

bool IsSingleBinImage(const std::vector<std::uint8_t>& content) {
  return content.size() >= 2 && content[0] == 'P' && content[1] == 'S';
}

bool ParseBinContainer(const std::vector<std::uint8_t>& content, BinContainer& out, std::string& sizeMessage) {
  out = BinContainer{};
  if (content.size() < kBinContainerHead) {
    sizeMessage = StrFormat("BIN File too short for its Directory: %u bytes", U(content.size()));
    return false;
  }
  out.imageCount = Be32(&content[0]);
  out.flashCount = Be32(&content[4]);
  out.vendorMark.assign(content.begin() + 8, content.begin() + 14);
  const std::uint64_t tableEnd = kBinContainerHead + std::uint64_t{out.flashCount} * kFlashInfoRecordSize;
  const std::uint64_t directoryEnd = tableEnd + std::uint64_t{out.imageCount} * kBinDirEntrySize;
  if (directoryEnd > content.size()) {
    sizeMessage = StrFormat("BIN File Directory out of File: %u images, %u flash records, %u bytes",
                            out.imageCount, out.flashCount, U(content.size()));
    return false;
  }
  out.flashTable.resize(out.flashCount);
  for (std::uint32_t r = 0; r < out.flashCount; ++r)
    std::memcpy(out.flashTable[r].bytes.data(), &content[kBinContainerHead + r * kFlashInfoRecordSize],
                kFlashInfoRecordSize);
  out.entries.resize(out.imageCount);
  for (std::uint32_t e = 0; e < out.imageCount; ++e) {
    const std::uint8_t* p = &content[tableEnd + e * kBinDirEntrySize];
    out.entries[e].type.assign(reinterpret_cast<const char*>(p), 4);
    out.entries[e].size = Be32(p + 8);
    out.entries[e].offset = Be32(p + 12);
  }
  return true;
}

int FindBinEntry(const BinContainer& container, const std::string& type, bool last) {
  int found = -1;
  for (std::size_t e = 0; e < container.entries.size(); ++e) {
    if (container.entries[e].type != type) continue;
    found = static_cast<int>(e);
    if (!last) break;
  }
  return found;
}

bool BinEntrySpan(const BinDirEntry& entry, std::size_t contentSize, std::size_t& begin, std::size_t& length,
                  std::string& sizeMessage) {
  const std::uint64_t start = std::uint64_t{entry.offset} + kBinContainerHead;
  if (entry.size < kBinContainerHead || std::uint64_t{entry.offset} + entry.size > contentSize) {
    sizeMessage = StrFormat("BIN Image Entry %s out of File: offset %u, size %u, %u bytes", entry.type.c_str(),
                            entry.offset, entry.size, U(contentSize));
    return false;
  }
  begin = static_cast<std::size_t>(start);
  length = entry.size - kBinContainerHead;
  return true;
}

std::string FindFlashTableBinType(const BinContainer& container, const std::string& flashIdText) {
  for (const auto& record : container.flashTable)
    if (platform::EqualsNoCase(record.FlashIdText(), flashIdText)) return record.MpBinType();
  return {};
}

BinHeader ParseBinHeader(const std::uint8_t* image, std::uint32_t imageLength) {
  BinHeader h;
  if (imageLength < kBinHeaderSize) return h;
  h.icType = Be16(image + 2);
  h.kind = static_cast<char>(image[4]);
  h.pramSize = Be32(image + 7);
  h.pramSum = Be16(image + 11);
  h.normalSize = Be32(image + 14);
  h.normalSum = Be16(image + 18);
  h.dash = FieldText(image + 21, 2);
  h.flag = image[23];
  h.rdt = std::memcmp(image + 97, "RDT", 3) == 0;
  h.mark55AA = image[510] == 0x55 && image[511] == 0xAA;
  return h;
}

std::string BinHeaderProblem(const std::uint8_t* image, std::uint32_t imageLength, int codeKind, bool requireRdt) {
  const BinHeader h = ParseBinHeader(image, imageLength);
  if (!h.mark55AA) return "BINHeaderCheck: Invalid Header(Don't have 55AA) !!!";
  if (requireRdt && !h.rdt) return "BINHeaderCheck: NOT RDT FW.(Byte-97~99) !!!";
  if (h.icType != kBinIcType) return StrFormat("BINHeaderCheck: IC Type on Header NOT correct -(%d) !!!", h.icType);
  if (!platform::EqualsNoCase(h.dash, "QV"))
    return StrFormat("BINHeaderCheck: IC dash ver. on Header NOT %s -(%s) !!!", "QV", h.dash.c_str());
  const std::uint64_t body = imageLength - kBinHeaderSize;
  if (std::uint64_t{h.pramSize} + h.normalSize != body)
    return StrFormat("Check File Size NOT matched: %ld != %ld+%ld !!!\n", static_cast<long>(body),
                     static_cast<long>(h.pramSize), static_cast<long>(h.normalSize));
  if (codeKind == 0) {
    const auto sum = static_cast<std::uint16_t>(ByteSum(image + kBinHeaderSize, h.pramSize));
    if (sum != h.pramSum)
      return StrFormat("BINHeaderCheck: PRAM Code CHKSUM NOT matched (%04x-%04x) !!!", h.pramSum, sum);
  } else if (codeKind == 1) {
    const auto sum = static_cast<std::uint16_t>(ByteSum(image + kBinHeaderSize + h.pramSize, h.normalSize));
    if (sum != h.normalSum)
      return StrFormat("BINHeaderCheck: Normal Code CHKSUM NOT matched (%04x-%04x) !!!", h.normalSum, sum);
  }
  return {};
}

BinSections ReadBinSections(const std::uint8_t* image) {
  BinSections t;
  std::uint64_t next = kBinSectionDataStart;
  for (int i = 0; i < kBinSectionCount; ++i) {
    BinSection& s = t.section[i];
    s.address = LoadLe32(image + kBinHeaderSize + 8 * i);
    s.length = LoadLe32(image + kBinHeaderSize + 8 * i + 4);
    s.dataOffset = next;
    next += s.length;
    if (i < kBinICodeSection) t.ramTotal += s.length;
  }
  return t;
}

std::string BinLayoutProblem(const std::uint8_t* image, std::uint32_t imageLength, BinCodeUse use) {
  const BinHeader h = ParseBinHeader(image, imageLength);
  if (use == BinCodeUse::RamCode) {
    if (h.pramSize < kBinSeedBytes) return StrFormat("BIN PRAM Code shorter than its Seed: %u bytes", h.pramSize);
    const BinSections t = ReadBinSections(image);
    const std::uint64_t pramEnd = kBinHeaderSize + std::uint64_t{h.pramSize};
    for (int i = 0; i < kBinSectionCount; ++i) {
      const std::uint64_t end = t.section[i].dataOffset + t.section[i].length;
      if (t.section[i].length != 0 && end > pramEnd)
        return StrFormat("BIN Section_%d out of PRAM Code: ends at %llu, PRAM Code ends at %llu", i,
                         static_cast<unsigned long long>(end), static_cast<unsigned long long>(pramEnd));
    }
  } else if (use == BinCodeUse::FlashCode) {
    if (h.normalSize < kBinSeedBytes)
      return StrFormat("BIN Normal Code shorter than its Seed: %u bytes", h.normalSize);
  }
  return {};
}

std::string MpBinVendorProblem(const std::vector<std::uint8_t>& content, const std::string& binPath) {
  if (IsSingleBinImage(content)) return {};
  const std::string mark = content.size() >= 14 ? std::string(content.begin() + 8, content.begin() + 14) : "";
  if (platform::EqualsNoCase(mark, kVendorMark)) return {};
  return StrFormat("Read MP BIN Code Failed !!!\nMP BIN File: %s\nNot Security CTL", binPath.c_str());
}

std::string UltraMlcProblem(const std::uint8_t* image, std::uint32_t imageLength) {
  const char kind = imageLength > 4 ? static_cast<char>(image[4]) : ' ';
  if (kind == 'U') return {};
  return StrFormat("Load Bin File NOT UltraMLC FW (%c) !!!\n", kind);
}

}  // namespace kx

namespace {

// The code with every 'x' replaced by the loader's family letter.
std::string WithFamily(std::string code, char family) {
  std::replace(code.begin(), code.end(), 'x', family);
  return code;
}

std::string FileNamePart(const std::string& path) {
  const auto cut = path.find_last_of('\\');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

bool CPortDevice::CheckBinMark(const std::uint8_t* buffer, std::uint32_t length, std::uint32_t expectedLength) {
  return kx::CheckBinFrame(buffer, length, expectedLength, m_BinMark);
}

bool CPortDevice::BINHeaderCheck(const std::uint8_t* image, std::uint32_t imageLength, int codeKind,
                                 bool requireRdt) {
  const kx::BinHeader h = kx::ParseBinHeader(image, imageLength);
  if (h.mark55AA) {
    m_BinIsRdt = h.rdt ? 1 : 0;
    m_PramCodeSize = h.pramSize;
    m_NormalCodeSize = h.normalSize;
  }
  const std::string problem = kx::BinHeaderProblem(image, imageLength, codeKind, requireRdt);
  if (problem.empty()) return true;
  Fail("S_x06", problem, false);
  return false;
}

bool CPortDevice::LoadBinImage(const kx::BinLoadOptions& o, kx::BinImage& image) {
  image = kx::BinImage{};
  const auto fail = [&](const char* code, const std::string& message) {
    Fail(WithFamily(code, o.family).c_str(), message, false);
    return false;
  };

  // 1. The path and its second candidate.
  std::string first = o.path;
  if (first.empty()) {
    const std::string settings = kx::SettingIniPath();
    first = kx::ReadProfileText("Device Info", o.rdtImage ? "ISP_RDTBINCode" : "ISP_MPBINCode", settings.c_str(), 256);
  }
  first = o.trimLeading ? kx::TrimBlanks(first) : kx::TrimTrailing(first);
  if (o.reportPath) WriteReport(first, true);
  std::string second;
  if (o.secondPath == kx::BinSecondPath::WorkFolder) second = g_WorkFolder.Get() + FileNamePart(first);
  if (o.secondPath == kx::BinSecondPath::ModuleFolder) second = kx::GetModuleFolder() + "\\" + FileNamePart(first);

  // 2-5. Open, read, unframe, untransform and check the counts.
  const bool transformed =
      kx::ReadProfileInt("Device Info", "STR_Bin_En", 0, kx::SettingIniPath().c_str()) == 0;
  // This thread's content buffer, reused between loads (ports load on threads of their own).
  thread_local kx::BinFileContent file;
  if (file.bytes.capacity() > kx::kBinImageMax * 4) std::vector<std::uint8_t>().swap(file.bytes);
  kx::BinReadStatus status = kx::BinReadStatus::OpenFailed;
  for (int attempt = 0; attempt < o.attempts && status == kx::BinReadStatus::OpenFailed; ++attempt) {
    status = kx::ReadBinContent(first, transformed, file, m_BinMark);
    image.path = first;
    if (status == kx::BinReadStatus::OpenFailed && o.secondPath != kx::BinSecondPath::None) {
      status = kx::ReadBinContent(second, transformed, file, m_BinMark);
      image.path = second;
    }
    if (status == kx::BinReadStatus::OpenFailed && !o.retryLine.empty()) WriteReport(o.retryLine, true);
  }
  switch (status) {
    case kx::BinReadStatus::Ok:
      break;
    case kx::BinReadStatus::OpenFailed:
      m_OsLastError = file.osError;
      return fail("S_x01", o.detailedOpenMessage
                               ? StrFormat("Create MP BIN File handle Failed: INVALID_HANDLE_VALUE. ErrorCode : %d "
                                           "\r\n     %s\r\n     %s",
                                           static_cast<int>(file.osError), first.c_str(), second.c_str())
                               : std::string("Create MP BIN File handle Failed: INVALID_HANDLE_VALUE."));
    case kx::BinReadStatus::ReadFailed:
      m_OsLastError = file.osError;
      return fail("S_x04", "Read MP BIN File Error!!!");
    case kx::BinReadStatus::Empty:
      return fail("S_x04", "Read MP BIN File fail: Byte=0.");
    case kx::BinReadStatus::Changed:
      return fail("S_x06", StrFormat("MP BIN File changed while read: %ld bytes read, file %s",
                                     static_cast<long>(file.bytesRead), image.path.c_str()));
    case kx::BinReadStatus::SumMismatch:
      fail("S_x04", o.sumFailMessage);
      if (o.sumFailBox) kx::ShowMessageBox(o.sumFailMessage);
      return false;
  }

  // 6. Pick the image.
  const std::vector<std::uint8_t>& content = file.bytes;
  std::size_t begin = 0;
  std::size_t length = content.size();
  if (!kx::IsSingleBinImage(content)) {
    image.container = true;
    kx::BinContainer container;
    std::string sizeMessage;
    if (!kx::ParseBinContainer(content, container, sizeMessage)) return fail("S_x06", sizeMessage);
    std::string type;
    if (o.typeFrom == kx::BinTypeFrom::ParamFile || o.typeFrom == kx::BinTypeFrom::ParamFileNoSecond) {
      const std::string fdb = kx::ParamFdbIniPath();
      type = kx::ReadProfileText("Flash Info", o.rdtImage ? "Flh_RDTBinType" : "Flh_MPBinType", fdb.c_str(), 261);
      const int limit = kx::ReadProfileInt("Flash Info", "Flash2ndBinCELimit", 0, fdb.c_str());
      if (o.typeFrom == kx::BinTypeFrom::ParamFile && limit >= 1 && limit <= 16 && m_FlashCount > limit)
        type = kx::ReadProfileText("Flash Info", o.rdtImage ? "Flash2ndRDTBinType" : "Flash2ndMPBinType",
                                   fdb.c_str(), 261);
      if (!o.binType.empty()) type = o.binType;
    } else if (o.typeFrom == kx::BinTypeFrom::Given) {
      type = o.binType;
    } else {
      type = kx::FindFlashTableBinType(container, o.flashIdText);
    }
    image.binType = kx::TrimTrailing(type);
    if (o.reportBinType) WriteReport("New Bin Type = " + image.binType, true);
    const int entry = kx::FindBinEntry(container, image.binType, o.lastMatch);
    length = 0;  // no entry: no image, and the header check refuses it
    if (entry >= 0 && !kx::BinEntrySpan(container.entries[entry], content.size(), begin, length, sizeMessage))
      return fail("S_x06", sizeMessage);
  }
  if (length > kx::kBinImageMax)
    return fail("S_x06", StrFormat("BIN Image too large: %u bytes > %u bytes", static_cast<unsigned>(length),
                                   static_cast<unsigned>(kx::kBinImageMax)));
  if (length != 0) std::memcpy(m_IoBufferA, content.data() + begin, length);
  image.length = static_cast<std::uint32_t>(length);

  // 7. The header, then the layout the caller's use needs.
  if (!BINHeaderCheck(m_IoBufferA, image.length, o.codeKind, o.requireRdt)) {
    m_ErrorCode = WithFamily(m_ErrorCode, o.family);
    return false;
  }
  const std::string layout = kx::BinLayoutProblem(m_IoBufferA, image.length, o.use);
  if (!layout.empty()) return fail("S_x06", layout);
  image.header = kx::ParseBinHeader(m_IoBufferA, image.length);
  if (image.length >= kx::kBinHeaderSize + 8 * kx::kBinSectionCount) image.sections = kx::ReadBinSections(m_IoBufferA);
  return true;
}
