// Database access through unixODBC in the shape of the class library's
// database classes: a connection opened from a connect string without a
// prompt, statements that throw CDBException with the driver's diagnostic
// text, and a forward-only read-only result set.
//
// Where the SQLite ODBC driver stands in for a spreadsheet driver, the layer
// bends what that driver does otherwise: it takes the file from DBQ= (the
// driver reads Database=), it names a sheet range [X$A1:IV<n>] that stands as
// a statement's table as the table [X], it quotes a bracketed name that the
// driver would read as SQL, and it reads a table's column names from the
// table's definition where the driver gives them back cut.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/WinTypes.h"

namespace win {

constexpr DWORD CDatabase_noOdbcDialog = 0x0008;

class CDBException {
 public:
  explicit CDBException(std::string error) : m_strError(std::move(error)) {}
  std::string m_strError;  // the driver's diagnostic text
};

class CDatabase {
 public:
  CDatabase() = default;
  ~CDatabase();
  CDatabase(const CDatabase&) = delete;
  CDatabase& operator=(const CDatabase&) = delete;

  // Connects without ever prompting; throws CDBException on failure.
  void OpenEx(const std::string& connect, DWORD options = CDatabase_noOdbcDialog);
  void ExecuteSQL(const std::string& sql);
  void Close();
  bool IsOpen() const { return m_Dbc != nullptr; }
  // The connected DBMS, such as "SQLite".
  const std::string& DbmsName() const { return m_Dbms; }
  bool CanTransact() const { return m_CanTransact; }
  void BeginTrans();
  void CommitTrans();
  void Rollback();

  // The statement as this connection's driver takes it.
  std::string Adapt(const std::string& sql) const;
  void* Handle() const { return m_Dbc; }

 private:
  void* m_Env = nullptr;
  void* m_Dbc = nullptr;
  std::string m_Dbms;
  bool m_CanTransact = false;
};

class CRecordset {
 public:
  explicit CRecordset(CDatabase* database) : m_Database(database) {}
  ~CRecordset();
  CRecordset(const CRecordset&) = delete;
  CRecordset& operator=(const CRecordset&) = delete;

  // Forward-only, read-only; throws CDBException.
  void Open(const std::string& sql);
  short GetODBCFieldCount() const { return static_cast<short>(m_Names.size()); }
  const std::string& GetFieldName(short index) const { return m_Names.at(static_cast<std::size_t>(index)); }
  void GetFieldValue(short index, std::string& value);
  bool IsEOF() const { return m_Eof; }
  void MoveNext();
  void Close();

 private:
  void Fetch();
  // Where the driver cuts column names: those of a SELECT * from one table
  // taken from the table's definition; throws when they do not match.
  void NamesFromDefinition(const std::string& sql);

  CDatabase* m_Database;
  void* m_Stmt = nullptr;
  std::vector<std::string> m_Names;
  bool m_Eof = true;
};

// The installed driver descriptions, each ended by a zero byte, the list by an
// empty entry; FALSE on failure. Tests may put their own installer in place.
BOOL SQLGetInstalledDrivers(char* buffer, WORD size, WORD* length);

}  // namespace win

namespace platform {

using InstalledDriversSource = std::function<win::BOOL(char* buffer, win::WORD size, win::WORD* length)>;
// Test seam: replaces unixODBC's installer list (an empty function restores it).
void SetInstalledDriversSource(InstalledDriversSource source);

// Test seam: sees every statement as its caller wrote it, before the driver's
// adaptation (an empty function ends it).
void SetStatementTrace(std::function<void(const std::string& sql)> trace);

// The key=value pairs of a connect string in order; a value in braces (with
// "}}" for a brace inside) or in double quotes may hold ";" and "=". Braced
// values keep their braces.
std::vector<std::pair<std::string, std::string>> ConnectPairs(const std::string& connect);
// Connect-string rewrite for drivers that read Database= rather than DBQ=:
// the DBQ file's native path goes first. Throws CDBException for a path that
// such a driver cannot take (one holding ";").
std::string WithDatabaseKey(const std::string& connect);
// A statement as the SQLite driver takes it: [X$A1:IV<n>] -> [X] where it
// names the statement's table (that driver has no sheet ranges), and a
// bracketed name holding ";", "?" or "{" in double quotes (inside brackets the
// driver reads them as a statement's end, a parameter and an escape).
std::string ForSqlite(const std::string& sql);

}  // namespace platform
