// The tester board's vendor command family, 08 F2: the forms that carry an ATA
// command to the card (71 for 28-bit registers, 48 for 48-bit), the register
// reply of a non-data 71, and the sub-command form 50. Byte tables in
// TesterForms.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

#include "protocol/Ata.h"

namespace protocol {

inline constexpr std::uint8_t kTesterOpcode = 0x08;  // byte 0
inline constexpr std::uint8_t kTesterFamily = 0xF2;  // byte 1
// Byte 2: the form.
inline constexpr std::uint8_t kTesterAta28 = 0x71;
inline constexpr std::uint8_t kTesterAta48 = 0x48;
inline constexpr std::uint8_t kTesterSubCommand = 0x50;

// PROTOCOL of the 71 form.
inline constexpr std::uint8_t kTesterNonData = 0x00;
inline constexpr std::uint8_t kTesterPioIn = 0x01;
inline constexpr std::uint8_t kTesterPioOut = 0x03;
inline constexpr std::uint8_t kTesterPioOutLong = 0x09;  // PIO out that runs long (erase, format)
inline constexpr std::uint8_t kTesterDmaIn = 0x88;
inline constexpr std::uint8_t kTesterDmaOut = 0x89;

inline constexpr std::size_t kTesterFormLength = 12;
inline constexpr std::size_t kTesterReplyLength = 16;

// Whether a CDB is the tester's, of the given form.
bool IsTesterForm(const std::uint8_t* cdb, std::size_t len, std::uint8_t form);

// The 71 form as fields: the 28-bit task file (no high-order bytes), the
// protocol and the transfer byte.
struct Tester71 {
  std::uint8_t protocol = kTesterNonData;
  AtaTaskFile regs;
  std::uint8_t transfer = 0;
};
void BuildTester71(const Tester71& t, std::uint8_t cdb[kTesterFormLength]);
bool ParseTester71(const std::uint8_t* cdb, std::size_t len, Tester71& out);

// The 48 form carries command, count and LBA (features and device stay 0). The
// parser reads bytes 3-11 whatever bytes 0-2 hold: the ATA pass-through sender
// takes a 50 form this way too.
void BuildTester48(const AtaTaskFile& regs, std::uint8_t cdb[kTesterFormLength]);
bool ParseTester48(const std::uint8_t* cdb, std::size_t len, AtaTaskFile& out);

// The register reply of a non-data 71 with its transfer byte set.
void BuildTester71Reply(const AtaReturn& r, std::uint8_t reply[kTesterReplyLength]);
bool ParseTester71Reply(const std::uint8_t* reply, std::size_t len, AtaReturn& out);

// The 50 form: sub-command and its parameter.
inline constexpr std::size_t kTesterSubCommandByte = 3;
inline constexpr std::size_t kTesterParameterByte = 4;

}  // namespace protocol
