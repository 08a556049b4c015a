#include "platform/Odbc.h"

#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>

#include <mutex>
#include <regex>

#include "platform/Paths.h"

namespace platform {
namespace {

std::mutex g_SourceMutex;
InstalledDriversSource g_Source;
std::function<void(const std::string&)> g_Trace;

void Trace(const std::string& sql) {
  std::lock_guard lock(g_SourceMutex);
  if (g_Trace) g_Trace(sql);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(FoldCase(c));
  return text;
}

// The driver's messages for a failed call, one per line.
std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle, const char* fallback) {
  std::string text;
  SQLCHAR state[6];
  SQLINTEGER native = 0;
  SQLCHAR message[SQL_MAX_MESSAGE_LENGTH];
  SQLSMALLINT length = 0;
  for (SQLSMALLINT i = 1; handle != nullptr; ++i) {
    const SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &length);
    if (!SQL_SUCCEEDED(rc)) break;
    if (!text.empty()) text += '\n';
    text += reinterpret_cast<const char*>(message);
  }
  return text.empty() ? fallback : text;
}

}  // namespace

void SetInstalledDriversSource(InstalledDriversSource source) {
  std::lock_guard lock(g_SourceMutex);
  g_Source = std::move(source);
}

void SetStatementTrace(std::function<void(const std::string& sql)> trace) {
  std::lock_guard lock(g_SourceMutex);
  g_Trace = std::move(trace);
}

std::string WithDatabaseKey(const std::string& connect) {
  const std::string lower = Lower(connect);
  if (lower.find("database=") != std::string::npos) return connect;
  const auto at = lower.find("dbq=");
  if (at == std::string::npos) return connect;
  const auto start = at + 4;
  const auto end = connect.find(';', start);
  const std::string file = connect.substr(start, end == std::string::npos ? std::string::npos : end - start);
  return connect + ";Database=" + MapPath(file);
}

std::string WithoutSheetRanges(const std::string& sql) {
  static const std::regex kRange(R"(\[([^\]$]*)\$A1:IV[0-9]+\])");
  return std::regex_replace(sql, kRange, "[$1]");
}

}  // namespace platform

namespace win {

CDatabase::~CDatabase() { Close(); }

void CDatabase::OpenEx(const std::string& connect, DWORD) {
  Close();
  SQLHENV env = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
    throw CDBException("Cannot allocate the ODBC environment");
  m_Env = env;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLHDBC dbc = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
    Close();
    throw CDBException("Cannot allocate an ODBC connection");
  }
  m_Dbc = dbc;
  const std::string full = platform::WithDatabaseKey(connect);
  SQLCHAR out[1024];
  SQLSMALLINT outLength = 0;
  const SQLRETURN rc =
      SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(full.c_str())), SQL_NTS, out,
                       sizeof out, &outLength, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    const std::string error = platform::Diagnostics(SQL_HANDLE_DBC, dbc, "Cannot connect");
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    m_Dbc = nullptr;
    Close();
    throw CDBException(error);
  }
  char name[256] = {};
  SQLSMALLINT nameLength = 0;
  if (SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_DBMS_NAME, name, sizeof name, &nameLength))) m_Dbms = name;
  SQLUSMALLINT txn = SQL_TC_NONE;
  m_CanTransact = SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_TXN_CAPABLE, &txn, sizeof txn, nullptr)) && txn != SQL_TC_NONE;
}

std::string CDatabase::Adapt(const std::string& sql) const {
  return m_Dbms == "SQLite" ? platform::WithoutSheetRanges(sql) : sql;
}

void CDatabase::ExecuteSQL(const std::string& sql) {
  platform::Trace(sql);
  if (m_Dbc == nullptr) throw CDBException("Not connected");
  SQLHSTMT stmt = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, m_Dbc, &stmt)))
    throw CDBException(platform::Diagnostics(SQL_HANDLE_DBC, m_Dbc, "Cannot allocate a statement"));
  const std::string adapted = Adapt(sql);
  const SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(adapted.c_str())), SQL_NTS);
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    const std::string error = platform::Diagnostics(SQL_HANDLE_STMT, stmt, "Statement failed");
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    throw CDBException(error);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}

void CDatabase::BeginTrans() {
  if (m_Dbc == nullptr) throw CDBException("Not connected");
  if (!SQL_SUCCEEDED(SQLSetConnectAttr(m_Dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)))
    throw CDBException(platform::Diagnostics(SQL_HANDLE_DBC, m_Dbc, "Cannot begin a transaction"));
}

void CDatabase::CommitTrans() {
  if (m_Dbc == nullptr) throw CDBException("Not connected");
  const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, m_Dbc, SQL_COMMIT);
  SQLSetConnectAttr(m_Dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  if (!SQL_SUCCEEDED(rc)) throw CDBException(platform::Diagnostics(SQL_HANDLE_DBC, m_Dbc, "Commit failed"));
}

void CDatabase::Rollback() {
  if (m_Dbc == nullptr) return;
  SQLEndTran(SQL_HANDLE_DBC, m_Dbc, SQL_ROLLBACK);
  SQLSetConnectAttr(m_Dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
}

void CDatabase::Close() {
  if (m_Dbc != nullptr) {
    SQLDisconnect(m_Dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, m_Dbc);
    m_Dbc = nullptr;
  }
  if (m_Env != nullptr) {
    SQLFreeHandle(SQL_HANDLE_ENV, m_Env);
    m_Env = nullptr;
  }
  m_Dbms.clear();
  m_CanTransact = false;
}

CRecordset::~CRecordset() { Close(); }

void CRecordset::Open(const std::string& sql) {
  Close();
  platform::Trace(sql);
  if (m_Database == nullptr || !m_Database->IsOpen()) throw CDBException("Not connected");
  SQLHSTMT stmt = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, m_Database->Handle(), &stmt)))
    throw CDBException("Cannot allocate a statement");
  m_Stmt = stmt;
  SQLSetStmtAttr(stmt, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_FORWARD_ONLY), 0);
  SQLSetStmtAttr(stmt, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_READ_ONLY), 0);
  const std::string adapted = m_Database->Adapt(sql);
  if (!SQL_SUCCEEDED(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(adapted.c_str())), SQL_NTS))) {
    const std::string error = platform::Diagnostics(SQL_HANDLE_STMT, stmt, "Query failed");
    Close();
    throw CDBException(error);
  }
  SQLSMALLINT columns = 0;
  SQLNumResultCols(stmt, &columns);
  for (SQLSMALLINT i = 1; i <= columns; ++i) {
    SQLCHAR name[256] = {};
    SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    SQLDescribeCol(stmt, i, name, sizeof name, &nameLength, &type, &size, &digits, &nullable);
    m_Names.emplace_back(reinterpret_cast<const char*>(name));
  }
  Fetch();
}

void CRecordset::Fetch() {
  const SQLRETURN rc = SQLFetch(m_Stmt);
  if (rc == SQL_NO_DATA) {
    m_Eof = true;
    return;
  }
  if (!SQL_SUCCEEDED(rc)) throw CDBException(platform::Diagnostics(SQL_HANDLE_STMT, m_Stmt, "Fetch failed"));
  m_Eof = false;
}

void CRecordset::GetFieldValue(short index, std::string& value) {
  if (m_Stmt == nullptr || m_Eof || index < 0 || static_cast<std::size_t>(index) >= m_Names.size())
    throw CDBException("No such field");
  value.clear();
  char chunk[1024];
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN rc = SQLGetData(m_Stmt, static_cast<SQLUSMALLINT>(index + 1), SQL_C_CHAR, chunk, sizeof chunk,
                                    &indicator);
    if (rc == SQL_NO_DATA || indicator == SQL_NULL_DATA) return;
    if (!SQL_SUCCEEDED(rc)) throw CDBException(platform::Diagnostics(SQL_HANDLE_STMT, m_Stmt, "Read failed"));
    value += chunk;
    if (rc == SQL_SUCCESS) return;  // SQL_SUCCESS_WITH_INFO: more to come
  }
}

void CRecordset::MoveNext() {
  if (m_Stmt == nullptr || m_Eof) throw CDBException("Past the end");
  Fetch();
}

void CRecordset::Close() {
  if (m_Stmt != nullptr) SQLFreeHandle(SQL_HANDLE_STMT, m_Stmt);
  m_Stmt = nullptr;
  m_Names.clear();
  m_Eof = true;
}

BOOL SQLGetInstalledDrivers(char* buffer, WORD size, WORD* length) {
  {
    std::lock_guard lock(platform::g_SourceMutex);
    if (platform::g_Source) return platform::g_Source(buffer, size, length);
  }
  return ::SQLGetInstalledDrivers(buffer, size, length) ? TRUE : FALSE;
}

}  // namespace win
