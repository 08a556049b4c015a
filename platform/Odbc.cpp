#include "platform/Odbc.h"

#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <mutex>
#include <regex>
#include <utility>
#include <vector>

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

// A name as the SQLite driver's statement scan passes it over whole: in
// brackets, which the scan does not know, or in double quotes where it holds
// what the scan acts on (a quote or backquote opens text, ";" ends the
// statement, "?" is a parameter, "{" opens an escape).
std::string QuotedForDriver(const std::string& name) {
  if (name.find_first_of("'\"`;?{") == std::string::npos) return "[" + name + "]";
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

// One text column of the current row, however long.
void ReadText(SQLHSTMT stmt, SQLUSMALLINT column, std::string& value) {
  value.clear();
  char chunk[1024];
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_CHAR, chunk, sizeof chunk, &indicator);
    if (rc == SQL_NO_DATA || indicator == SQL_NULL_DATA) return;
    if (!SQL_SUCCEEDED(rc)) throw win::CDBException(Diagnostics(SQL_HANDLE_STMT, stmt, "Read failed"));
    value += chunk;
    if (rc == SQL_SUCCESS) return;  // SQL_SUCCESS_WITH_INFO: more to come
  }
}

// The column names of a table as its definition holds them, those that
// SELECT * gives (generated columns, but no hidden columns of a virtual table).
std::vector<std::string> DefinedColumns(SQLHDBC dbc, const std::string& table) {
  SQLHSTMT stmt = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt)))
    throw win::CDBException(Diagnostics(SQL_HANDLE_DBC, dbc, "Cannot allocate a statement"));
  std::vector<std::string> names;
  try {
    const std::string sql = "PRAGMA table_xinfo(" + table + ")";
    if (!SQL_SUCCEEDED(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS)))
      throw win::CDBException(Diagnostics(SQL_HANDLE_STMT, stmt, "Cannot read the table's definition"));
    for (SQLRETURN rc = SQLFetch(stmt); rc != SQL_NO_DATA; rc = SQLFetch(stmt)) {
      if (!SQL_SUCCEEDED(rc)) throw win::CDBException(Diagnostics(SQL_HANDLE_STMT, stmt, "Fetch failed"));
      // cid, name, type, notnull, dflt_value, pk, hidden
      std::string name, hidden;
      ReadText(stmt, 2, name);
      ReadText(stmt, 7, hidden);
      if (hidden != "1") names.push_back(std::move(name));
    }
  } catch (...) {
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    throw;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return names;
}

// A result column's name, whole: the driver says how long it is, and a name
// longer than the buffer is asked for again in one that holds it. (Some
// drivers report SQLDescribeCol's length cut to the buffer; SQL_DESC_NAME's
// length they report whole.)
std::string ColumnName(SQLHSTMT stmt, SQLSMALLINT column) {
  std::vector<char> name(256);
  for (int attempt = 0; attempt < 2; ++attempt) {
    SQLSMALLINT length = -1;
    const SQLRETURN rc = SQLColAttribute(stmt, static_cast<SQLUSMALLINT>(column), SQL_DESC_NAME, name.data(),
                                         static_cast<SQLSMALLINT>(name.size()), &length, nullptr);
    if (!SQL_SUCCEEDED(rc) || length < 0)
      throw win::CDBException(Diagnostics(SQL_HANDLE_STMT, stmt, "Cannot read a column name"));
    if (static_cast<std::size_t>(length) < name.size())
      return std::string(name.data(), strnlen(name.data(), static_cast<std::size_t>(length)));
    if (length >= SHRT_MAX) break;
    name.assign(static_cast<std::size_t>(length) + 1, '\0');
  }
  throw win::CDBException("Column " + std::to_string(column) + ": the name is too long to be read whole");
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

std::vector<std::pair<std::string, std::string>> ConnectPairs(const std::string& connect) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t i = 0;
  while (i < connect.size()) {
    if (connect[i] == ';') {
      ++i;
      continue;
    }
    const auto equals = connect.find_first_of("=;", i);
    if (equals == std::string::npos || connect[equals] == ';') {  // a word without a value
      i = equals == std::string::npos ? connect.size() : equals + 1;
      continue;
    }
    std::string key = connect.substr(i, equals - i);
    std::string value;
    i = equals + 1;
    if (i < connect.size() && connect[i] == '{') {
      // Braced: up to the first "}" that is not doubled.
      for (++i; i < connect.size(); ++i) {
        if (connect[i] == '}') {
          if (i + 1 < connect.size() && connect[i + 1] == '}') {
            value += '}';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        value += connect[i];
      }
      value = "{" + value + "}";
    } else if (i < connect.size() && connect[i] == '"') {
      const auto close = connect.find('"', i + 1);
      const auto end = close == std::string::npos ? connect.size() : close + 1;
      value = connect.substr(i, end - i);
      i = end;
    }
    const auto end = connect.find(';', i);
    value += connect.substr(i, end == std::string::npos ? std::string::npos : end - i);
    i = end == std::string::npos ? connect.size() : end + 1;
    pairs.emplace_back(std::move(key), std::move(value));
  }
  return pairs;
}

std::string WithDatabaseKey(const std::string& connect) {
  std::string file;
  for (const auto& [key, value] : ConnectPairs(connect)) {
    const std::string name = Lower(key);
    if (name == "database") return connect;
    if (name == "dbq" && file.empty()) file = value;
  }
  if (file.empty()) return connect;
  if (file.size() >= 2 && file.front() == '{' && file.back() == '}') file = file.substr(1, file.size() - 2);
  const std::string native = MapPath(file);
  // Such drivers cut a value at the first ";" whatever stands around it.
  if (native.find(';') != std::string::npos) throw win::CDBException("The database path cannot hold ';': " + native);
  // First, as such drivers take the first key of a name.
  return "Database=" + native + ";" + connect;
}

// Only the table of a statement, the bracketed name after FROM, INTO, TABLE or
// UPDATE outside quoted text, is a sheet range; every bracketed name is
// written as QuotedForDriver gives it; values are left as they are.
std::string ForSqlite(const std::string& sql) {
  static const std::regex kRange(R"(\[([^\]$]*)\$A1:IV[0-9]+\])");
  std::string out;
  bool table = false;  // the next name is a table's
  std::size_t i = 0;
  auto keyword = [](std::string word) {
    word = Lower(std::move(word));
    return word == "from" || word == "into" || word == "table" || word == "update";
  };
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '\'' || c == '"') {
      std::size_t end = sql.find(c, i + 1);
      // A doubled quote stays inside.
      while (end != std::string::npos && end + 1 < sql.size() && sql[end + 1] == c) end = sql.find(c, end + 2);
      end = end == std::string::npos ? sql.size() : end + 1;
      out += sql.substr(i, end - i);
      i = end;
      table = false;
    } else if (c == '[') {
      const auto close = sql.find(']', i);
      const auto end = close == std::string::npos ? sql.size() : close + 1;
      std::string name = sql.substr(i, end - i);
      if (table) name = std::regex_replace(name, kRange, "[$1]");
      out += close == std::string::npos ? name : QuotedForDriver(name.substr(1, name.size() - 2));
      i = end;
      table = false;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      std::size_t end = i;
      while (end < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[end])) || sql[end] == '_')) ++end;
      const std::string word = sql.substr(i, end - i);
      out += word;
      table = keyword(word);
      i = end;
    } else {
      out += c;
      ++i;
      if (!std::isspace(static_cast<unsigned char>(c))) table = false;
    }
  }
  return out;
}

}  // namespace platform

namespace win {

CDatabase::~CDatabase() { Close(); }

void CDatabase::OpenEx(const std::string& connect, DWORD) {
  Close();
  const std::string full = platform::WithDatabaseKey(connect);
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
  return m_Dbms == "SQLite" ? platform::ForSqlite(sql) : sql;
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
  for (SQLSMALLINT i = 1; i <= columns; ++i) m_Names.push_back(platform::ColumnName(stmt, i));
  if (m_Database->DbmsName() == "SQLite") NamesFromDefinition(adapted);
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
  platform::ReadText(m_Stmt, static_cast<SQLUSMALLINT>(index + 1), value);
}

void CRecordset::NamesFromDefinition(const std::string& sql) {
  // The SQLite driver cuts a result column's name at its dots ("FW Ver." comes
  // back empty, "S.M.A.R.T" as "A.R.T"); the whole names of a SELECT * from one
  // table are the table's own, in order. Names it cannot confirm are refused,
  // never passed on cut.
  static const std::regex kWholeTable(
      R"(^\s*SELECT\s+\*\s+FROM\s+(\[[^\]]*\]|"(?:[^"]|"")*"|[A-Za-z_][A-Za-z0-9_]*)\s*$)", std::regex::icase);
  std::smatch match;
  if (!std::regex_match(sql, match, kWholeTable)) return;
  std::vector<std::string> defined = platform::DefinedColumns(m_Database->Handle(), match[1].str());
  bool same = defined.size() == m_Names.size();
  for (std::size_t i = 0; same && i < defined.size(); ++i)
    same = defined[i].size() >= m_Names[i].size() &&
           defined[i].compare(defined[i].size() - m_Names[i].size(), std::string::npos, m_Names[i]) == 0;
  if (!same) throw CDBException("The column names of " + match[1].str() + " cannot be read whole");
  m_Names = std::move(defined);
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
