#include "app/NetAdapterInfo.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "device/Format.h"
#include "platform/Identity.h"

CNetAdapterInfo::CNetAdapterInfo() {
  std::array<std::uint8_t, 6> mac{};
  if (!platform::GetMacAddress(mac)) {
    m_Status = "No net device information!";
    return;
  }
  m_Mac = kx::StrFormat("%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  std::vector<std::string> ips;
  platform::GetAdapterIpAddresses(ips);
  for (const std::string& ip : ips) m_IpList += (m_IpList.empty() ? "" : "\r\n") + ip;
  m_Status = "Success!";
}

CNetAdapterInfo::~CNetAdapterInfo() = default;
