#include "command/GetDevLibrary.h"

#include <memory>

#include "platform/Library.h"
#include "platform/MessageBox.h"
#include "platform/Profile.h"

namespace {
std::mutex g_instanceMutex;
CGetDevLibrary* g_instance = nullptr;  // guarded by g_instanceMutex
}  // namespace

CGetDevLibrary* CGetDevLibrary::GetInstance() {
  std::lock_guard lock(g_instanceMutex);
  if (g_instance == nullptr) g_instance = new CGetDevLibrary();
  return g_instance;
}

CGetDevLibrary::CGetDevLibrary() {
  const bool sataPorts =
      win::GetPrivateProfileInt("General Info", "PortType", 0, ".\\Configuration\\System\\MPToolSetting.ini") == 1;
  const char* path = sataPorts ? ".\\Configuration\\System\\GetDevSata.dll" : ".\\Configuration\\System\\GetDev.dll";
  m_pfnListKxDevice = nullptr;
  m_hModule = win::LoadLibrary(path);
  if (m_hModule == nullptr) {
    // The file and the loader's reason tell the operator what to mend.
    win::AfxMessageBox(("ghDLL_GetDev is NULL\r\n" + platform::LastLoadLibraryError()).c_str());
    return;
  }
  m_pfnListKxDevice = reinterpret_cast<kx::ListKxDeviceFn>(win::GetProcAddress(m_hModule, kx::kListKxDeviceExport));
  if (m_pfnListKxDevice == nullptr) win::AfxMessageBox("gLib_ListKxDevice is NULL");
}

CGetDevLibrary::~CGetDevLibrary() {
  {
    std::lock_guard lock(g_instanceMutex);
    if (g_instance == this) g_instance = nullptr;
  }
  m_pfnListKxDevice = nullptr;
  if (m_hModule != nullptr) win::FreeLibrary(m_hModule);
  m_hModule = nullptr;
}

bool CGetDevLibrary::ListKxDevice() {
  if (m_pfnListKxDevice == nullptr) return false;
  // The library fills a copy outside the record's lock, so a slow listing never
  // holds up the workers opening their drives; refreshes run one at a time.
  static std::mutex refreshMutex;
  std::lock_guard refresh(refreshMutex);
  auto scratch = std::make_unique<kx::RootDeviceRecord>();
  kx::WithRootDevice([&](kx::RootDeviceRecord& record) { *scratch = record; });
  scratch->SetRequest(1);
  m_pfnListKxDevice(scratch->bytes.data());
  kx::WithRootDevice([&](kx::RootDeviceRecord& record) { record = *scratch; });
  return true;
}
