#include "device/LogFile.h"

#include "device/FileIo.h"
#include "device/Environment.h"

int CLogFile::AppendText(const std::string& path, const std::string& text) {
  if (!AppendToExistingFile(path, text.data(), text.size())) return -1;
  DebugOutput(text);
  return 0;
}

int CLogFile::WriteText(const std::string& path, const std::string& text) {
  if (WriteWholeFile(path, text.data(), text.size()) != WriteResult::Ok) return -1;
  DebugOutput(text);
  return 0;
}
