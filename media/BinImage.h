// Firmware image files (the MP and RDT BIN files): the frame, the stored-image
// transform with its 13-digit byte sum, the single "PS" image or the container
// with its flash table and image directory, the 512-byte image header and the
// section table at the start of the PRAM code. Everything here is window-free
// and device-free so the settings page's readers share it; the device's loader
// (CPortDevice::LoadBinImage) puts these pieces together for the production steps.
//
// Every length read from a file is checked before it is used: a directory or an
// entry outside the content, an image over the 2 MiB I/O buffer, a section
// table or section data outside the image, normal code shorter than its seed.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace kx {

constexpr std::uint8_t kBinFirstMark = 0x22;  // '"'
constexpr std::uint8_t kBinLastMark = 0x58;   // 'X'
constexpr std::size_t kBinHeaderSize = 512;
constexpr std::size_t kBinImageMax = 2u * 1024 * 1024;  // the device's first I/O buffer
constexpr std::uint16_t kBinIcType = 3111;
constexpr std::uint32_t kBinSeedSectors = 32;
constexpr std::uint32_t kBinSeedBytes = kBinSeedSectors * 512;           // 16,384
constexpr std::uint32_t kBinSectionDataStart = kBinHeaderSize + kBinSeedBytes;  // 0x4200
constexpr int kBinSectionCount = 7;   // 0..5 RAM code, 6 the ICode
constexpr int kBinICodeSection = 6;
// Container layout.
constexpr std::size_t kBinSumOffset = 35;  // 13 decimal digits at 35..47
constexpr std::size_t kBinSumDigits = 13;
constexpr std::size_t kBinContainerHead = 48;
constexpr std::size_t kFlashInfoRecordSize = 64;
constexpr std::size_t kBinDirEntrySize = 16;

// ---- stored form ----

// True when length == expectedLength, the first and last bytes are the marks
// and the second byte equals the second-to-last. marks[1] and marks[2] receive
// the second and second-to-last bytes first (when length allows).
bool CheckBinFrame(const std::uint8_t* buffer, std::uint32_t length, std::uint32_t expectedLength,
                   std::array<std::uint8_t, 4>& marks);
// Byte i becomes (NOT byte) XOR (i mod 256); the transform is its own inverse.
void UndoBinTransform(std::vector<std::uint8_t>& content);
// The sum over bytes 0-34 and 48 to the end, each unsigned, wrapping at 2^32.
std::uint32_t BinContentSum(const std::vector<std::uint8_t>& content);
// The 13 characters at 35-47 as a decimal number (leading blanks skipped,
// stopping at the first non-digit).
std::uint64_t BinStoredSum(const std::vector<std::uint8_t>& content);
// False for content shorter than 48 bytes or a stored sum that differs from
// BinContentSum (a stored number of 2^32 or more never matches).
bool BinSumMatches(const std::vector<std::uint8_t>& content);

// Reading a BIN file whole in one pass, read-only, unframed and (transformed)
// untransformed. Only the bytes read are judged; a file written while it was
// read is Changed. Files over kBinFileMax are not read (ReadFailed).
constexpr std::uint64_t kBinFileMax = std::uint64_t{256} << 20;
enum class BinReadStatus { Ok, OpenFailed, ReadFailed, Empty, Changed, SumMismatch };
struct BinFileContent {
  std::vector<std::uint8_t> bytes;    // the content after frame and transform
  std::uint64_t bytesRead = 0;        // less 4 when framed
  bool framed = false;
  win::DWORD osError = 0;             // the system's error of a failed open or read
};
// transformed: `[Device Info]` `STR_Bin_En` was 0. marks as in CheckBinFrame.
BinReadStatus ReadBinContent(const std::string& winPath, bool transformed, BinFileContent& out,
                             std::array<std::uint8_t, 4>& marks);

// ---- container ----

// One 64-byte record of the flash database: bytes 4-7 the MP BIN type, 8-14 the flash ID.
struct FlashInfoRecord {
  std::array<std::uint8_t, kFlashInfoRecordSize> bytes{};
  std::string MpBinType() const;  // 4 characters
  // "%02x %02x %02x %02x %02x %02x %02x" of bytes 8-14.
  std::string FlashIdText() const;
};

struct BinDirEntry {
  std::string type;          // 4 characters
  std::uint32_t size = 0;    // size field (image length + 48)
  std::uint32_t offset = 0;  // offset field (image starts at offset + 48)
};

struct BinContainer {
  std::uint32_t imageCount = 0;
  std::uint32_t flashCount = 0;
  std::string vendorMark;  // bytes 8-13
  std::vector<FlashInfoRecord> flashTable;
  std::vector<BinDirEntry> entries;
};

// True when content begins with "PS" (one image, not a container).
bool IsSingleBinImage(const std::vector<std::uint8_t>& content);
// False, with a size message, when the head, flash table or directory lies
// outside the content.
bool ParseBinContainer(const std::vector<std::uint8_t>& content, BinContainer& out, std::string& sizeMessage);
// Index of the first (or, with last set, the last) entry named exactly `type`; -1 for none.
int FindBinEntry(const BinContainer& container, const std::string& type, bool last);
// The entry's image as [begin, begin + length) of the content; false, with a
// size message, when it lies outside the content or its size field is below 48.
bool BinEntrySpan(const BinDirEntry& entry, std::size_t contentSize, std::size_t& begin, std::size_t& length,
                  std::string& sizeMessage);
// The MP BIN type of the first flash-table record whose flash ID text equals
// flashIdText without regard to case; empty for none.
std::string FindFlashTableBinType(const BinContainer& container, const std::string& flashIdText);

// ---- image header and section table ----

struct BinHeader {
  std::uint16_t icType = 0;       // 2-3
  char kind = 0;                  // 4: 'U' an UltraMLC firmware
  std::uint32_t pramSize = 0;     // 7-10
  std::uint16_t pramSum = 0;      // 11-12
  std::uint32_t normalSize = 0;   // 14-17
  std::uint16_t normalSum = 0;    // 18-19
  std::string dash;               // 21-22
  std::uint8_t flag = 0;          // 23, read and not acted on
  bool rdt = false;               // 97-99 "RDT"
  bool mark55AA = false;          // 510-511
};
// imageLength below 512 gives a header without the 55 AA marks.
BinHeader ParseBinHeader(const std::uint8_t* image, std::uint32_t imageLength);
// The header check's message for the first rule broken (empty when it passes);
// codeKind 0 tests the PRAM code sum, 1 the normal code sum, others no sum.
std::string BinHeaderProblem(const std::uint8_t* image, std::uint32_t imageLength, int codeKind, bool requireRdt);

struct BinSection {
  std::uint32_t address = 0;     // RAM load address
  std::uint32_t length = 0;      // bytes; 0 = absent
  std::uint64_t dataOffset = 0;  // image offset of the section's data
};
struct BinSections {
  std::array<BinSection, kBinSectionCount> section{};
  std::uint64_t ramTotal = 0;    // T = L(0) + ... + L(5)
  bool HasICode() const { return section[kBinICodeSection].length != 0; }
};
// The table at image bytes 512-567 (little-endian); the image must hold them.
BinSections ReadBinSections(const std::uint8_t* image);

// Further checks of a header-checked image for its use. Empty when it passes,
// else the size message.
enum class BinCodeUse {
  RamCode,    // PRAM code holds the seed area and every section's data
  FlashCode,  // normal code holds at least its 32 seed sectors
  WholeImage  // sent as it is
};
std::string BinLayoutProblem(const std::uint8_t* image, std::uint32_t imageLength, BinCodeUse use);

// ---- the settings page's MP BIN reader checks ----

// Empty when a container's vendor mark is "Tavlin" without regard to case
// (content that is a single image passes), else
// "Read MP BIN Code Failed !!!\nMP BIN File: %s\nNot Security CTL".
std::string MpBinVendorProblem(const std::vector<std::uint8_t>& content, const std::string& binPath);
// Empty when header byte 4 is 'U', else "Load Bin File NOT UltraMLC FW (%c) !!!\n".
std::string UltraMlcProblem(const std::uint8_t* image, std::uint32_t imageLength);

// ---- the device's loader ----

// Where the container's BIN type comes from.
enum class BinTypeFrom {
  ParamFile,          // `Flh_MPBinType`/`Flh_RDTBinType` with the `Flash2ndBinCELimit` switch
  ParamFileNoSecond,  // the same without the second type
  Given,              // `binType` as it stands (may be empty: no image)
  FlashTable          // the container's flash table, by `flashIdText`
};
// Where the second candidate path's folder comes from.
enum class BinSecondPath { None, WorkFolder, ModuleFolder };

// One loader run. Defaults are those of the programming of controller RAM.
struct BinLoadOptions {
  char family = 'C';          // replaces 'x' in "S_x01", "S_x04", "S_x06"
  bool rdtImage = false;      // `ISP_RDTBINCode`, `Flh_RDTBinType`/`Flash2ndRDTBinType`
  bool requireRdt = false;    // the header check demands "RDT" at 97-99
  int codeKind = 0;           // BINHeaderCheck's code kind
  BinCodeUse use = BinCodeUse::RamCode;
  // The file: `path` when not empty, else `[Device Info]` ISP_*BINCode of param.ini.
  std::string path{};
  bool trimLeading = true;    // false: trailing blanks only are cut
  bool reportPath = true;     // the path as a plain report line
  int attempts = 2;
  BinSecondPath secondPath = BinSecondPath::WorkFolder;
  std::string retryLine = "ISPPRAM, retry Create BIN File handle!!";  // empty: none
  bool detailedOpenMessage = true;  // with the error number and both paths
  // The 13-digit sum failure: code "S_x04" (family letter) and this message;
  // a message box with it when sumFailBox.
  std::string sumFailMessage = "MP Bin Code Fail";
  bool sumFailBox = true;
  // The container's BIN type.
  BinTypeFrom typeFrom = BinTypeFrom::ParamFile;
  std::string binType{};      // ParamFile*: replaces the read type when not empty; Given: the type
  std::string flashIdText{};  // FlashTable
  bool reportBinType = false; // plain line "New Bin Type = %s" for a container
  bool lastMatch = false;     // the last matching directory entry instead of the first
};

struct BinImage {
  std::uint32_t length = 0;   // image bytes at the start of m_IoBufferA
  bool container = false;
  std::string binType;        // the type searched for (container only)
  std::string path;           // the path that opened
  BinHeader header;
  BinSections sections;       // read when the image holds the table
};

}  // namespace kx
