// Helpers shared by the drive tests: a drive on virtual time and short ways to
// send it ATA and vendor commands.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "emulator/Drive.h"
#include "platform/Clock.h"
#include "platform/KxSignatures.h"

namespace emu::test {

inline DriveConfig SmallConfig(RunningCode code = RunningCode::RomMp) {
  DriveConfig c;
  c.capacitySectors = 1 << 20;  // 512 MiB
  c.initialCode = code;
  c.bootDelayMs = 1000;
  c.blocksPerPlane = 256;
  return c;
}

class DriveTest : public ::testing::Test {
 protected:
  platform::ScopedClock clock_{platform::MakeVirtualClock()};

  static void Advance(std::uint64_t ms) { platform::Clock().SleepMs(ms); }

  static AtaRequest Reg(std::uint8_t command, std::uint8_t features = 0, std::uint8_t count = 0, std::uint8_t low = 0,
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

  static AtaResponse NonData(Drive& d, AtaRequest r) {
    r.protocol = AtaProtocol::NonData;
    return d.Execute(r);
  }
  static AtaResponse In(Drive& d, AtaRequest r, std::vector<std::uint8_t>& buf) {
    r.protocol = AtaProtocol::PioIn;
    r.data = buf.data();
    r.length = static_cast<std::uint32_t>(buf.size());
    return d.Execute(r);
  }
  static AtaResponse Out(Drive& d, AtaRequest r, std::vector<std::uint8_t> buf) {
    r.protocol = AtaProtocol::PioOut;
    r.data = buf.data();
    r.length = static_cast<std::uint32_t>(buf.size());
    return d.Execute(r);
  }

  static AtaRequest KeyRequest(const std::array<std::uint8_t, 6>& sig = kx::kApKeySignature) {
    return Reg(sig[5], 0, sig[0], sig[1], sig[2], sig[3], sig[4]);
  }
  static AtaResponse Key(Drive& d) { return NonData(d, KeyRequest()); }

  static std::vector<std::uint8_t> VRead(Drive& d, std::uint8_t sub, std::uint8_t count, std::uint8_t low = 0,
                                         std::uint8_t mid = 0, std::uint8_t high = 0, AtaResponse* rsp = nullptr) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(count) * 512, 0xEE);
    const AtaResponse r = In(d, Reg(0x21, sub, count, low, mid, high), buf);
    if (rsp) *rsp = r;
    return buf;
  }
  static AtaResponse VWrite(Drive& d, std::uint8_t sub, std::uint8_t count, std::vector<std::uint8_t> data,
                            std::uint8_t low = 0, std::uint8_t mid = 0, std::uint8_t high = 0) {
    return Out(d, Reg(0x31, sub, count, low, mid, high), std::move(data));
  }

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

  static std::vector<std::uint8_t> Sector(std::uint8_t fill) { return std::vector<std::uint8_t>(512, fill); }
  static std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t o) {
    return b[o] | (b[o + 1] << 8) | (b[o + 2] << 16) | (static_cast<std::uint32_t>(b[o + 3]) << 24);
  }
  static std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t o) {
    return static_cast<std::uint16_t>(b[o] | (b[o + 1] << 8));
  }
  static std::string AtaText(const std::uint8_t* p, std::size_t bytes) {
    std::string s;
    for (std::size_t i = 0; i < bytes; ++i) s.push_back(static_cast<char>(p[i ^ 1]));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  }
};

}  // namespace emu::test
