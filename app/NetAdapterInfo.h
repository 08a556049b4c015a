// The first network adapter's address, as the PC's identity in report names.
#pragma once
#include <string>

class CNetAdapterInfo {
 public:
  // Asks the system once; every text stays empty when it knows no adapter.
  CNetAdapterInfo();
  ~CNetAdapterInfo();

  // "%02X:%02X:%02X:%02X:%02X:%02X", or empty.
  std::string GetMac() const { return m_Mac; }
  // The adapter's IPv4 addresses separated by CR LF (none after the last), or empty.
  std::string GetIpList() const { return m_IpList; }
  // "Success!", or why there is no address ("No net device information!").
  std::string GetStatus() const { return m_Status; }

 private:
  std::string m_Mac;
  std::string m_IpList;
  std::string m_Status;
};
