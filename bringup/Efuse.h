// The controller's fuse words and chip id as plain values: register addresses,
// the bit fields of the three fuse words, the controller family a chip id names,
// the model comparison and the plausibility rules of the die identity.
#pragma once
#include <cstdint>
#include <string>

namespace kx {

// Controller registers the eFuse steps read and write.
constexpr std::uint32_t kRegFuseAccess = 0x04002400;  // 3 opens the fuse words, 0 closes them
constexpr std::uint32_t kRegFuseWord1 = 0x04002440;
constexpr std::uint32_t kRegFuseWord2 = 0x0400247C;
constexpr std::uint32_t kRegFuseWord3 = 0x040024BC;
constexpr std::uint32_t kRegControllerVersion = 0x0400303E;  // read one byte wide

// The model this program is built for.
constexpr const char kExpectedIcModel[] = "KX7410";

// The value of a register reply: bytes 4 to 7, low byte first.
std::uint32_t RegisterReplyValue(const std::uint8_t* reply);

// Fuse word 1: bit 1 set = UART disabled, bit 0 set = JTAG disabled.
inline bool UartDisabled(std::uint32_t word1) { return (word1 & 0x2u) != 0; }
inline bool JtagDisabled(std::uint32_t word1) { return (word1 & 0x1u) != 0; }
// "    UART : Disable" or "    UART : Enable", and the same for JTAG.
std::string UartStateLine(std::uint32_t word1);
std::string JtagStateLine(std::uint32_t word1);

// The die identity held in the three fuse words.
struct EfuseIdentity {
  std::uint32_t trimGoodDie = 0;
  std::uint32_t y = 0;
  std::uint32_t x = 0;
  std::uint32_t waferId = 0;
  std::uint32_t lotId4 = 0;
  std::uint32_t lotId3 = 0;
  std::uint32_t lotId2 = 0;
  std::uint32_t lotId1 = 0;
};
EfuseIdentity DecodeEfuseIdentity(std::uint32_t word1, std::uint32_t word2, std::uint32_t word3);
// "Get Controller ID : YY_XX_WW_L4_L3_L2_L1" in upper-case hexadecimal.
std::string ControllerIdLine(const EfuseIdentity& id);
// The first implausible field's message, in the order the check takes them;
// empty when all are plausible. A controller version above 1 needs the trim mark.
std::string ImplausibleIdentity(const EfuseIdentity& id, std::uint32_t controllerVersion);

// The controller family named by bits 16 and 17 of fuse word 3.
struct IcFamily {
  bool kx7410 = false;
  bool qm6620 = false;
  std::string reportLine;  // "IC Ver: ..."
  std::string modelName;   // the name compared with the expected model
};
IcFamily DecodeIcFamily(std::uint32_t word3);
// Whether the first six characters agree without regard to case (a shorter
// name differs at its end).
bool IcModelMatches(const std::string& name, const std::string& expected);

}  // namespace kx
