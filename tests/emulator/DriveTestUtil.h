// Helpers shared by the drive tests: a drive on virtual time and short ways to
// send it ATA and vendor commands.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "emulator/Drive.h"
#include "platform/Clock.h"
#include "protocol/KxSignatures.h"

namespace emu::test {

inline DriveConfig SmallConfig(RunningCode code = RunningCode::RomMp) {
  DriveConfig c;
  c.capacitySectors = 1 << 20;  // 512 MiB
  c.initialCode = code;
  c.bootDelayMs = 1000;
  c.blocksPerPlane = 256;
  return c;
}

using Bytes = std::vector<std::uint8_t>;

// Named bytes of a reply, each its own check: ExpectBytes(reply, {{"card state", 13, 0x50}}).
struct ByteAt {
  const char* name;
  int at;
  int value;
};
template <class Buffer>
void ExpectBytes(const Buffer& b, std::initializer_list<ByteAt> want) {
  for (const ByteAt& w : want) EXPECT_EQ(b[static_cast<std::size_t>(w.at)], w.value) << w.name;
}

// The drive's invariant: ERR exactly when an error is reported, except that
// EXECUTE DEVICE DIAGNOSTIC passes with its code (01h) in the error register.
// Status 00h is no answer at all (the command was not taken).
inline bool ErrorAgreesWithStatus(std::uint8_t command, std::uint8_t status, std::uint8_t error) {
  if (command == 0x90 && status != 0 && (status & kStatusErr) == 0) return error == 0x01;
  return ((status & kStatusErr) != 0) == (error != 0);
}

// A request with the registers loaded and no data.
inline AtaRequest Reg(std::uint8_t command, std::uint8_t features = 0, std::uint8_t count = 0, std::uint8_t low = 0,
                      std::uint8_t mid = 0, std::uint8_t high = 0, std::uint8_t device = 0xA0) {
  AtaRequest r;
  r.command = command;
  r.features = features;
  r.count = count;
  r.lbaLow = low;
  r.lbaMid = mid;
  r.lbaHigh = high;
  r.device = device;
  return r;
}

class DriveTest : public ::testing::Test {
 protected:
  platform::ScopedClock clock_{platform::MakeVirtualClock()};

  static void Advance(std::uint64_t ms) { platform::Clock().SleepMs(ms); }

  static AtaResponse Run(Drive& d, AtaRequest r, AtaProtocol p, std::uint8_t* data, std::size_t n) {
    r.protocol = p;
    r.data = data;
    r.length = static_cast<std::uint32_t>(n);
    return d.Execute(r);
  }
  static AtaResponse NonData(Drive& d, const AtaRequest& r) { return Run(d, r, AtaProtocol::NonData, nullptr, 0); }
  static AtaResponse In(Drive& d, const AtaRequest& r, Bytes& buf) {
    return Run(d, r, AtaProtocol::PioIn, buf.data(), buf.size());
  }
  static AtaResponse Out(Drive& d, const AtaRequest& r, Bytes buf) {
    return Run(d, r, AtaProtocol::PioOut, buf.data(), buf.size());
  }

  static AtaRequest KeyRequest(const std::array<std::uint8_t, 6>& sig = kx::kApKeySignature) {
    return Reg(sig[5], 0, sig[0], sig[1], sig[2], sig[3], sig[4]);
  }
  static AtaResponse Key(Drive& d) { return NonData(d, KeyRequest()); }

  static Bytes VRead(Drive& d, std::uint8_t sub, std::uint8_t count, std::uint8_t low = 0, std::uint8_t mid = 0,
                     std::uint8_t high = 0, AtaResponse* rsp = nullptr) {
    Bytes buf(static_cast<std::size_t>(count) * 512, 0xEE);
    const AtaResponse r = In(d, Reg(0x21, sub, count, low, mid, high), buf);
    if (rsp) *rsp = r;
    return buf;
  }
  static AtaResponse VWrite(Drive& d, std::uint8_t sub, std::uint8_t count, Bytes data, std::uint8_t low = 0,
                            std::uint8_t mid = 0, std::uint8_t high = 0) {
    return Out(d, Reg(0x31, sub, count, low, mid, high), std::move(data));
  }
  // Controller registers through Write4ByteReg, and through the SRAM pointer and Read4ByteReg.
  static bool WriteReg(Drive& d, std::uint32_t addr, std::uint32_t value, std::uint8_t width = 4) {
    Bytes w(512, 0);
    for (int i = 0; i < 4; ++i) {
      w[i] = static_cast<std::uint8_t>(addr >> (8 * i));
      w[4 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return Ok(VWrite(d, 0x60, 1, w, 0, width));
  }
  static std::uint32_t ReadReg(Drive& d, std::uint32_t addr, std::uint8_t width = 4) {
    Bytes p(512, 0);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(addr >> (8 * i));
    EXPECT_TRUE(Ok(VWrite(d, 0x24, 1, p, 0, 0x00, 0x33)));
    return Le32(VRead(d, 0x61, 1, 0, width), 4);
  }
  // An ISP load's set-up: the seed, then the descriptor of the section at addr.
  static void SeedAndDescriptor(Drive& d, std::uint32_t addr, std::uint32_t len) {
    ASSERT_TRUE(Ok(VWrite(d, 0x80, 32, Pattern(16384, 1))));
    ASSERT_TRUE(Ok(VWrite(d, 0x24, 1, LoadDescriptor(addr, len))));
  }
  static Bytes LoadDescriptor(std::uint32_t addr, std::uint32_t len) {
    Bytes s(512, 0);
    for (int i = 0; i < 4; ++i) {
      s[i] = static_cast<std::uint8_t>(addr >> (8 * i));
      s[4 + i] = static_cast<std::uint8_t>(len >> (8 * i));
    }
    return s;
  }
  // A SECURITY command's page: the password from byte 2.
  static Bytes Password(const char* pw) {
    Bytes s(512, 0);
    std::memcpy(s.data() + 2, pw, std::strlen(pw));
    return s;
  }
  static AtaResponse JumpToBoot(Drive& d) { return VWrite(d, 0x0F, 1, Sector(0), 0, 0x20); }

  static bool Ok(const AtaResponse& r) {
    return r.transport == TransportError::None && r.error == 0 && (r.status & kStatusErr) == 0;
  }
  static bool Aborted(const AtaResponse& r) {
    return r.transport == TransportError::None && (r.error & kErrorAbrt) && (r.status & kStatusErr);
  }

  // Powered, booted, keyed.
  static void Ready(Drive& d) {
    Advance(d.Config().bootDelayMs + 1);
    ASSERT_EQ(d.CardState(), 0x50);
    ASSERT_TRUE(Ok(Key(d)));
  }
  static void PowerCycle(Drive& d) {
    d.PowerOff();
    d.PowerOn();
    Ready(d);
  }

  static Bytes Sector(std::uint8_t fill) { return Bytes(512, fill); }
  static Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 9));
    return v;
  }
  static std::uint32_t Le32(const Bytes& b, std::size_t o) {
    return b[o] | (b[o + 1] << 8) | (b[o + 2] << 16) | (static_cast<std::uint32_t>(b[o + 3]) << 24);
  }
  static std::uint16_t Le16(const Bytes& b, std::size_t o) { return static_cast<std::uint16_t>(b[o] | (b[o + 1] << 8)); }
  static std::string Text(const Bytes& b, std::size_t o, std::size_t n) { return std::string(b.begin() + o, b.begin() + o + n); }
  // An ATA string (byte-swapped pairs), trailing blanks dropped.
  static std::string AtaText(const std::uint8_t* p, std::size_t bytes) {
    std::string s;
    for (std::size_t i = 0; i < bytes; ++i) s.push_back(static_cast<char>(p[i ^ 1]));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  }
};

}  // namespace emu::test
