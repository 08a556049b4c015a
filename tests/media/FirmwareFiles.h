// Firmware files and failure checks shared by the flash and microcode steps' tests.
#pragma once
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "device/PortDevice.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "protocol/CodeHeader.h"
#include "tests/support/BinFixture.h"
#include "tests/support/ScratchFolder.h"

namespace kxtest {

inline void InstallBin(const std::vector<std::uint8_t>& content, const char* key = "ISP_MPBINCode",
                       bool plain = false) {
  WriteBinFile("C:\\fw\\MP.bin", plain ? content : StoreBin(content));
  win::WritePrivateProfileString("Device Info", key, "C:\\fw\\MP.bin", ".\\param.ini");
}
// A failed step: its result, code, message and the fail report's message line.
inline void ExpectFailed(CPortDevice& d, bool ok, const std::string& code, const std::string& message) {
  std::stringstream report;
  report << std::ifstream(platform::MapPath(d.ReportPath()), std::ios::binary).rdbuf();
  EXPECT_FALSE(ok);
  EXPECT_EQ(d.m_ErrorCode, code);
  EXPECT_EQ(d.m_ErrorMessage, message);
  EXPECT_TRUE(Has(report.str(), "[ Fail ]  Error Message : " + message + " \r\n")) << message;
}

}  // namespace kxtest
