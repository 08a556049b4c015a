// Copy, move, rename and delete of files and folder trees under Windows-style
// paths. Inside the class a failure travels as a heap-allocated CFExeption
// thrown by pointer; the public operations catch it, keep its text and code
// and return false.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "platform/WinTypes.h"

namespace platform {
class OpenFolder;
}

class CFExeption {
 public:
  // The system's message for the code.
  explicit CFExeption(win::DWORD code);
  // A failure of the class's own making (code 0).
  explicit CFExeption(std::string text) : m_Text(std::move(text)) {}
  // A text of its own for a system error code.
  CFExeption(std::string text, win::DWORD code) : m_Text(std::move(text)), m_Code(code) {}

  std::string GetErrorText() const { return m_Text; }
  win::DWORD GetErrorCode() const { return m_Code; }

 private:
  std::string m_Text;
  win::DWORD m_Code = 0;
};

class CFileTreeOperation {
 public:
  CFileTreeOperation() { Initialize(); }

  bool Copy(const std::string& source, const std::string& destination);
  bool Move(const std::string& source, const std::string& destination);
  bool Rename(const std::string& source, const std::string& destination);
  // True also after the operator's Cancel at the read-only question (code 0).
  bool Delete(const std::string& path);
  void Initialize();

  std::string m_ErrorText;
  win::DWORD m_ErrorCode = 0;
  bool m_AskIfReadOnly = true;
  bool m_Overwrite = false;
  bool m_Declined = false;  // a file was left undeleted
  std::int32_t m_SubfolderBudget = -1;

  // 0 not found, 1 file, 2 folder, -1 attributes unreadable otherwise.
  static int CheckPath(const std::string& path);
  static std::string NextCopyName(const std::string& path);
  static std::string LastFolderName(const std::string& pattern);
  static bool IsInFolder(const std::string& source, const std::string& destination);
  // The path itself or anything below it, as the system resolves both.
  static bool IsInsideTree(const std::string& path, const std::string& tree);
  void LimitSelfCopy(const std::string& source, const std::string& destination);

 private:
  void CopyTree(std::string source, std::string destination);
  void CopyFolder(const std::string& pattern, const std::string& destination);
  void CopyOneFile(const std::string& source, std::string target);
  void DeleteTree(const std::string& path);
  // The entries of an open folder, depth first; `where` names it in texts.
  void DeleteInside(const platform::OpenFolder& folder, const std::string& where);
  // Before a walk touches anything: no name below the folder holds a path
  // separator, and with `twins` no two names of one folder differ only in
  // letter case.
  void CheckNames(const platform::OpenFolder& folder, const std::string& where, bool twins);
  bool CanDelete(const std::string& file);
  bool CanDelete(const std::string& file, win::DWORD attributes, const std::function<bool()>& clearReadOnly);
  static void RenamePath(const std::string& source, const std::string& destination);
  static bool IsReadable(const std::string& path);
  static void AddBackslash(std::string& path);
  void Keep(CFExeption* failure);

  std::string m_WalkSource;  // the source of a tree copy (resolved)
  std::string m_WalkTarget;  // the folder a tree copy writes into (resolved), skipped by its own walk
};
