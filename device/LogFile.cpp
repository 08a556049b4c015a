#include "device/LogFile.h"

#include "device/Environment.h"
#include "device/FileWrites.h"

int CLogFile::AppendText(const std::string& path, const std::string& text) {
  if (!kx::AppendToExistingFile(path, text.data(), text.size())) return -1;
  kx::DebugOutput(text);
  return 0;
}

int CLogFile::WriteText(const std::string& path, const std::string& text) {
  if (kx::WriteWholeFile(path, text.data(), text.size()) != kx::WriteResult::Ok) return -1;
  kx::DebugOutput(text);
  return 0;
}
