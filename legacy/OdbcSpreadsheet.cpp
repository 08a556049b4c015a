#include "legacy/OdbcSpreadsheet.h"

#include <algorithm>
#include <cstring>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace {

constexpr const char* kExcelSeparator = ",;.?";
constexpr const char* kNoSeparator = "Separator cannot be empty\n";
constexpr const char* kBadSeparator = "Separator cannot hold a double quote or a line break\n";
constexpr const char* kDuplicate = "Duplicate header row field:";
// A workbook's limits; also what keeps a far-off row from growing the table without end.
constexpr std::int32_t kMaxRows = 65536;
constexpr std::size_t kMaxColumns = 256;
constexpr const char* kTooManyRows = "Row cannot be greater than 65536\n";
constexpr const char* kTooManyColumns = "Column cannot be greater than 256\n";
constexpr const char* kWiderThanFields = "Number of columns to be added cannot be greater than the number of fields\n";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A value inside single quotes: its own single quotes doubled.
std::string Quoted(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// One row text into fields, as CSV reads it: a field that starts with a double
// quote runs to the quote that closes it (a doubled quote stands for one);
// any other field runs to the next separator. A quote that never closes is
// kept with the rest of the text.
std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> fields;
  std::size_t i = 0;
  for (;;) {
    std::string field;
    if (i < text.size() && text[i] == '"') {
      std::size_t j = i + 1;
      bool closed = false;
      for (; j < text.size(); ++j) {
        if (text[j] != '"') {
          field += text[j];
        } else if (j + 1 < text.size() && text[j + 1] == '"') {
          field += '"';
          ++j;
        } else {
          closed = true;
          ++j;
          break;
        }
      }
      if (!closed) {
        field = text.substr(i);
        j = text.size();
      }
      i = j;
    }
    const std::size_t next = text.find(separator, i);
    field += text.substr(i, next == std::string::npos ? std::string::npos : next - i);
    fields.push_back(std::move(field));
    if (next == std::string::npos) return fields;
    i = next + separator.size();
  }
}

// A connect-string value as it stands, or in braces when it holds what would
// end it early.
std::string ConnectValue(const std::string& value) {
  if (value.find_first_of(";{}") == std::string::npos) return value;
  std::string braced = "{";
  for (char c : value) {
    braced += c;
    if (c == '}') braced += '}';
  }
  return braced + "}";
}

}  // namespace

COdbcSpreadsheet::COdbcSpreadsheet(const std::string& file, const std::string& sheetOrSeparator, bool backup)
    : m_bBackup(backup), m_strFile(file) {
  m_bExcel = file.size() >= 4 && Lower(file.substr(file.size() - 4)) == ".xls";
  if (m_bExcel) {
    m_strSheet = sheetOrSeparator;
    m_strSeparator = kExcelSeparator;
    m_pDatabase = std::make_unique<win::CDatabase>();
    FindExcelDriver();
    m_strConnect = "DRIVER={" + m_strDriver + "};DSN='';FIRSTROWHASNAMES=1;READONLY=FALSE;CREATE_DB=\"" + file +
                   "\";DBQ=" + ConnectValue(file);
    if (Load() && m_bBackup && m_bStoreExists) {
      const std::string sheet = m_strSheet;
      m_strSheet = "CSpreadSheetBackup";
      m_bStoreExists = false;
      if (!Commit()) m_bBackup = false;
      m_bStoreExists = true;
      m_strSheet = sheet;
      m_nCurrentRow = 1;
    }
    return;
  }
  m_strSeparator = sheetOrSeparator;
  if (RefusedSeparator()) return;
  if (Load() && m_bBackup && m_bStoreExists) {
    m_strFile = file + ".bak";
    if (!Commit()) m_bBackup = false;
    m_strFile = file;
  }
}

COdbcSpreadsheet::~COdbcSpreadsheet() = default;

void COdbcSpreadsheet::FindExcelDriver() {
  char list[2000];
  win::WORD length = 0;
  if (!win::SQLGetInstalledDrivers(list, sizeof list, &length)) {
    m_strDriver.clear();
    return;
  }
  // Only what the installer says it wrote, and only entries ended within it.
  const std::size_t end = std::min<std::size_t>(length, sizeof list);
  for (std::size_t pos = 0; pos < end;) {
    const std::size_t size = strnlen(list + pos, end - pos);
    if (size == 0 || pos + size == end) break;
    const std::string entry(list + pos, size);
    if (entry.find("Excel") != std::string::npos) {
      m_strDriver = entry;
      return;
    }
    pos += size + 1;
  }
}

bool COdbcSpreadsheet::Load() { return m_bExcel ? LoadExcel() : LoadText(); }

bool COdbcSpreadsheet::LoadExcel() {
  if (RefusedNames({})) return false;
  try {
    m_pDatabase->OpenEx(m_strConnect, win::CDatabase_noOdbcDialog);
  } catch (const win::CDBException&) {
    return false;
  }
  auto recordset = std::make_unique<win::CRecordset>(m_pDatabase.get());
  m_strSelect = "SELECT * FROM " + Range(m_strSheet);
  try {
    recordset->Open(m_strSelect);
  } catch (...) {
    recordset.reset();
    m_pDatabase->Close();
    return false;
  }
  m_nColumnCount = recordset->GetODBCFieldCount();
  if (m_nColumnCount > 0) {
    m_aRows.clear();
    m_aFieldNames.clear();
    m_bStoreExists = true;
    m_nRowCount = 1;
    for (short i = 0; i < m_nColumnCount; ++i) m_aFieldNames.push_back(recordset->GetFieldName(i));
    // Names from the workbook go into later statements: vetted like any other.
    if (RefusedNames(m_aFieldNames)) {
      m_aFieldNames.clear();
      m_nColumnCount = 0;
      m_nRowCount = 0;
      m_bStoreExists = false;
      recordset.reset();
      m_pDatabase->Close();
      return false;
    }
    m_aRows.push_back(JoinRow(m_aFieldNames));
    try {
      while (!recordset->IsEOF()) {
        ++m_nRowCount;
        m_aScratch.assign(static_cast<std::size_t>(m_nColumnCount), std::string());
        for (short i = 0; i < m_nColumnCount; ++i) recordset->GetFieldValue(i, m_aScratch[static_cast<std::size_t>(i)]);
        m_aRows.push_back(JoinRow(m_aScratch));
        recordset->MoveNext();
      }
    } catch (...) {
      m_nRowCount = static_cast<std::int32_t>(m_aRows.size());
      m_strLastError = "Error reading row\n";
      recordset.reset();
      m_pDatabase->Close();
      return false;
    }
  }
  recordset.reset();
  m_pDatabase->Close();
  m_nCurrentRow = 1;
  return true;
}

bool COdbcSpreadsheet::LoadText() {
  std::string data;
  if (platform::ReadFileBytes(m_strFile, data) != 0) {
    m_strLastError = "Error in opening file\n";
    return false;
  }
  m_aRows.clear();
  std::size_t start = 0;
  while (start < data.size()) {
    auto end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    std::string line = data.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    m_aRows.push_back(std::move(line));
    start = end + 1;
  }
  ReadRow(m_aFieldNames, 1);
  m_nRowCount = static_cast<std::int32_t>(m_aRows.size());
  for (std::int32_t row = 1; row <= m_nRowCount; ++row) {
    ReadRow(m_aScratch, row);
    if (m_aScratch.size() > static_cast<std::size_t>(m_nColumnCount))
      m_nColumnCount = static_cast<std::int16_t>(std::min<std::size_t>(m_aScratch.size(), INT16_MAX));
  }
  if (m_nColumnCount != 0) m_bStoreExists = true;
  return true;
}

bool COdbcSpreadsheet::ReadRow(Strings& values, std::int32_t row) {
  if (RefusedSeparator() || !RowInRange(row)) return false;
  if (row > static_cast<std::int32_t>(m_aRows.size())) {
    m_strLastError = "Desired row is greater than total number of rows in spreadsheet\n";
    return false;
  }
  if (row == 0) {
    if (m_nCurrentRow < 1 || m_nCurrentRow > static_cast<std::int32_t>(m_aRows.size())) return false;
  } else {
    m_nCurrentRow = row;
  }
  values.clear();
  const std::string text = m_aRows[static_cast<std::size_t>(m_nCurrentRow - 1)];
  ++m_nCurrentRow;
  values = Split(text, m_strSeparator);
  return true;
}

std::string COdbcSpreadsheet::JoinRow(const Strings& values) const {
  std::string text;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) text += m_strSeparator;
    text += '"';
    for (char c : values[i]) {
      text += c;
      if (c == '"') text += '"';
    }
    text += '"';
  }
  return text;
}

std::string COdbcSpreadsheet::FillerRow(std::int32_t cells, std::int16_t column, const std::string& value) const {
  Strings row(static_cast<std::size_t>(std::max(cells, 0)), m_bExcel ? " " : "");
  if (column >= 1 && column <= cells) row[static_cast<std::size_t>(column - 1)] = value;
  return JoinRow(row);
}

bool COdbcSpreadsheet::RowInRange(std::int32_t row) {
  if (row >= 0) return true;
  m_strLastError = "Row cannot be negative\n";
  return false;
}

bool COdbcSpreadsheet::ColumnInRange(std::int32_t column) {
  if (column == 0) {
    m_strLastError = "Column cannot be zero\n";
    return false;
  }
  if (column < 0) {
    m_strLastError = "Column cannot be negative\n";
    return false;
  }
  return true;
}

bool COdbcSpreadsheet::DuplicateHeader(const Strings& names) {
  for (std::size_t i = 0; i < names.size(); ++i)
    for (std::size_t j = i + 1; j < names.size(); ++j)
      if (names[i] == names[j]) {
        m_strLastError = kDuplicate + names[i] + "\n";
        return true;
      }
  return false;
}

bool COdbcSpreadsheet::RefusedNames(const Strings& names) {
  if (m_bExcel && (RefusedPath() || RefusedSheet(m_strSheet))) return true;
  for (const std::string& name : names)
    if (RefusedName(name)) return true;
  return false;
}

bool COdbcSpreadsheet::RefusedSeparator() {
  // The row reader cannot split on nothing; a quote would end a field early
  // and a line break would split the row into two lines.
  if (m_strSeparator.empty()) {
    m_strLastError = kNoSeparator;
    return true;
  }
  if (m_strSeparator.find_first_of("\"\r\n") == std::string::npos) return false;
  m_strLastError = kBadSeparator;
  return true;
}

bool COdbcSpreadsheet::RefusedValues(const Strings& values) {
  if (values.size() > kMaxColumns) {
    m_strLastError = kTooManyColumns;
    return true;
  }
  if (m_bExcel) return false;
  // A text row is one line.
  for (const std::string& value : values)
    if (value.find_first_of("\r\n") != std::string::npos) {
      m_strLastError = "Value cannot hold a line break\n";
      return true;
    }
  return false;
}

bool COdbcSpreadsheet::RowBeyondLimit(std::int32_t row, bool grows) {
  if (row <= kMaxRows && !(grows && row <= m_nRowCount && m_nRowCount >= kMaxRows)) return false;
  m_strLastError = kTooManyRows;
  return true;
}

bool COdbcSpreadsheet::Written() { return m_bTransaction || Commit(); }

bool COdbcSpreadsheet::RefusedName(const std::string& name, const char* refused) {
  const std::size_t at = name.find_first_of(refused);
  if (at == std::string::npos) return false;
  m_strLastError = std::string("Name cannot hold ") + name[at] + ":" + name + "\n";
  return true;
}

bool COdbcSpreadsheet::RefusedSheet(const std::string& sheet) {
  // A sheet's "$" would be read as the start of a range: "X$A1:IV5" names the
  // range of sheet X.
  return RefusedName(sheet, "]$");
}

bool COdbcSpreadsheet::RefusedPath() {
  // The path stands in quotes in the connect string: a quote in it would end
  // the value early and let the rest name another workbook.
  if (m_strFile.find('"') == std::string::npos) return false;
  m_strLastError = "Path cannot hold \":" + m_strFile + "\n";
  return true;
}

std::string COdbcSpreadsheet::Range(const std::string& sheet) const { return "[" + sheet + "$A1:IV65536]"; }

// What a change makes of the table in memory, put back unless the change is
// kept: a call that returns false changes nothing, so a retry stores its row
// once and a later write stores nothing that was refused. The rows are kept
// only outside a transaction, as inside one nothing fails once they changed.
class COdbcSpreadsheet::Attempt {
 public:
  explicit Attempt(COdbcSpreadsheet& sheet)
      : m_Sheet(sheet),
        m_FieldNames(sheet.m_aFieldNames),
        m_RowCount(sheet.m_nRowCount),
        m_CurrentRow(sheet.m_nCurrentRow),
        m_ColumnCount(sheet.m_nColumnCount) {
    if (!sheet.m_bTransaction) m_Rows = sheet.m_aRows;
  }
  ~Attempt() {
    if (m_Kept) return;
    if (m_Rows) m_Sheet.m_aRows = std::move(*m_Rows);
    m_Sheet.m_aFieldNames = std::move(m_FieldNames);
    m_Sheet.m_nRowCount = m_RowCount;
    m_Sheet.m_nCurrentRow = m_CurrentRow;
    m_Sheet.m_nColumnCount = m_ColumnCount;
  }
  Attempt(const Attempt&) = delete;
  Attempt& operator=(const Attempt&) = delete;
  // The call's result; the change stays only with success.
  bool Keep(bool ok) {
    m_Kept = ok;
    return ok;
  }

 private:
  COdbcSpreadsheet& m_Sheet;
  std::optional<Strings> m_Rows;
  Strings m_FieldNames;
  std::int32_t m_RowCount;
  std::int32_t m_CurrentRow;
  std::int16_t m_ColumnCount;
  bool m_Kept = false;
};

bool COdbcSpreadsheet::StoreRow(const Strings& values, std::int32_t row, bool replace) {
  Attempt attempt(*this);
  if (RefusedSeparator() || !RowInRange(row) || RefusedValues(values)) return false;
  if (RowBeyondLimit(row, !replace || row == 0)) return false;
  const std::size_t n = values.size();
  if (row == 1) {
    if (m_bExcel) {
      if (DuplicateHeader(values) || RefusedNames(values)) return false;
      if (n < static_cast<std::size_t>(m_nColumnCount)) {
        m_strLastError =
            "Number of columns in new header row cannot be less than the number of columns in previous header row";
        return false;
      }
      m_nColumnCount = static_cast<std::int16_t>(std::min<std::size_t>(n, INT16_MAX));
    }
    m_aFieldNames = values;
  } else if (m_bExcel && m_nColumnCount == 0) {
    m_strLastError = "No header row. Add header row first\n";
    return false;
  }
  if (m_bExcel) {
    if (n > m_aFieldNames.size()) {
      m_strLastError = kWiderThanFields;
      return false;
    }
  } else if (n > static_cast<std::size_t>(m_nColumnCount)) {
    m_nColumnCount = static_cast<std::int16_t>(std::min<std::size_t>(n, INT16_MAX));
  }
  const std::string text = JoinRow(values);
  if (row >= 1 && row <= m_nRowCount) {
    const auto at = m_aRows.begin() + (row - 1);
    if (replace) {
      *at = text;
    } else {
      m_aRows.insert(at, text);
      ++m_nRowCount;
    }
    return attempt.Keep(Written());
  }
  return attempt.Keep(AppendOrFill(text, row));
}

bool COdbcSpreadsheet::AppendOrFill(const std::string& text, std::int32_t row) {
  std::int32_t saved = m_nCurrentRow;
  m_nCurrentRow = m_nRowCount;
  if (row != 0) {
    const std::string filler = FillerRow(m_nColumnCount);
    for (std::int32_t r = m_nRowCount + 1; r < row; ++r) {
      ++m_nCurrentRow;
      m_aRows.push_back(filler);
    }
  }
  ++m_nCurrentRow;
  m_aRows.push_back(text);
  if (row != 0) {
    m_nRowCount = row;
  } else {
    m_nRowCount = m_nCurrentRow;
    m_nCurrentRow = saved;
  }
  return Written();
}

bool COdbcSpreadsheet::SetCell(const std::string& value, std::int16_t column, std::int32_t row) {
  Attempt attempt(*this);
  if (!ColumnInRange(column) || !RowInRange(row)) return false;
  if (static_cast<std::size_t>(column) > kMaxColumns) {
    m_strLastError = kTooManyColumns;
    return false;
  }
  if (RefusedValues({value}) || RowBeyondLimit(row, row == 0)) return false;
  if (m_bExcel) {
    if (static_cast<std::size_t>(column) > m_aFieldNames.size() + 1) {
      m_strLastError = "Cell column to be added cannot be greater than the number of fields\n";
      return false;
    }
  } else if (column > m_nColumnCount) {
    m_nColumnCount = column;
  }
  if (row >= 1 && row <= m_nRowCount) {
    if (!ReadRow(m_aScratch, row)) return false;
    if (m_aScratch.size() < static_cast<std::size_t>(column)) m_aScratch.resize(static_cast<std::size_t>(column));
    m_aScratch[static_cast<std::size_t>(column - 1)] = value;
    // The header's fields change with the row, once it is stored.
    if (row == 1 && m_bExcel && DuplicateHeader(m_aScratch)) return false;
    const Strings values = m_aScratch;
    return attempt.Keep(StoreRow(values, row, true));
  }
  // A new row holds the header's fields only: a cell past them would be lost.
  if (m_bExcel && static_cast<std::size_t>(column) > m_aFieldNames.size()) {
    m_strLastError = kWiderThanFields;
    return false;
  }
  return attempt.Keep(AppendOrFill(FillerRow(m_nColumnCount, column, value), row));
}

bool COdbcSpreadsheet::SetCell(const std::string& value, const std::string& column, std::int32_t row, bool byLetter) {
  const std::int16_t number = ColumnFromName(column, byLetter);
  if (number == 0) return false;
  return SetCell(value, number, row);
}

bool COdbcSpreadsheet::AddHeaderRow(const Strings& names, bool replace) {
  Attempt attempt(*this);
  // A header the table holds already, written or not, is appended to.
  if (!m_bStoreExists && m_aRows.empty()) {
    m_nColumnCount = static_cast<std::int16_t>(std::min<std::size_t>(names.size(), INT16_MAX));
    if (!StoreRow(names, 1, true)) return false;
    m_nRowCount = std::max<std::int32_t>(m_nRowCount, 1);
    return attempt.Keep(true);
  }
  if (replace) return attempt.Keep(StoreRow(names, 1, true));
  if (!ReadRow(m_aScratch, 1)) return false;
  if (m_bExcel) {
    for (const std::string& name : names)
      if (std::find(m_aScratch.begin(), m_aScratch.end(), name) != m_aScratch.end()) {
        m_strLastError = kDuplicate + name + "\n";
        return false;
      }
  }
  Strings merged = m_aScratch;
  merged.insert(merged.end(), names.begin(), names.end());
  if (!StoreRow(merged, 1, true)) {
    m_strLastError = "Problems with adding headers\n";
    return false;
  }
  if (merged.size() > static_cast<std::size_t>(m_nColumnCount))
    m_nColumnCount = static_cast<std::int16_t>(std::min<std::size_t>(merged.size(), INT16_MAX));
  return attempt.Keep(true);
}

bool COdbcSpreadsheet::Commit() { return m_bExcel ? CommitExcel() : CommitText(); }

bool COdbcSpreadsheet::CommitText() {
  if (RefusedSeparator()) return false;
  std::string data;
  for (const std::string& row : m_aRows) data += row + "\r\n";
  // Replaced whole, so a failed write leaves the old file; what is not a
  // regular file (a FIFO, a folder) is never replaced.
  if ((platform::FileExists(m_strFile) && !platform::IsRegularFile(m_strFile)) ||
      platform::WriteFileBytes(m_strFile, data) != 0) {
    m_strLastError = "Error writing file\n";
    return false;
  }
  m_bTransaction = false;
  return true;
}

bool COdbcSpreadsheet::CommitExcel() {
  if (RefusedNames(m_aFieldNames)) return false;
  if (m_aFieldNames.empty()) {
    m_strLastError = "No header row. Add header row first\n";
    return false;
  }
  win::CDatabase& db = *m_pDatabase;
  try {
    db.OpenEx(m_strConnect, win::CDatabase_noOdbcDialog);
  } catch (const win::CDBException& e) {
    m_strLastError = e.m_strError;
    return false;
  }
  // In one transaction where the driver has them: a failed rewrite leaves the old sheet.
  const bool transaction = db.CanTransact();
  const bool created = !m_bStoreExists;
  try {
    if (transaction) db.BeginTrans();
    std::string create;
    if (m_bStoreExists) {
      db.ExecuteSQL("DROP TABLE " + Range(m_strSheet));
      create = "CREATE TABLE " + Range(m_strSheet) + " (";
    } else {
      create = "CREATE TABLE [" + m_strSheet + "] (";
    }
    for (const std::string& name : m_aFieldNames) create += "[" + name + "] char(255), ";
    if (!m_aFieldNames.empty()) create.resize(create.size() - 2);
    db.ExecuteSQL(create + ")");
    if (created && !transaction) {
      m_nColumnCount = static_cast<std::int16_t>(std::min<std::size_t>(m_aFieldNames.size(), INT16_MAX));
      m_bStoreExists = true;
    }
    for (std::int32_t r = 1; r < m_nRowCount; ++r) {
      ReadRow(m_aScratch, r + 1);
      // Values beyond the named columns have nowhere to go.
      const std::size_t n = std::min(m_aScratch.size(), m_aFieldNames.size());
      if (n == 0) continue;
      std::string columns, values;
      for (std::size_t c = 0; c < n; ++c) {
        columns += "[" + m_aFieldNames[c] + "], ";
        values += Quoted(m_aScratch[c]) + ", ";
      }
      columns.resize(columns.size() - 2);
      values.resize(values.size() - 2);
      db.ExecuteSQL("INSERT INTO [" + m_strSheet + "$A1:IV" + std::to_string(r) + "] (" + columns + ") VALUES (" +
                    values + ")");
    }
    if (transaction) db.CommitTrans();
  } catch (const win::CDBException& e) {
    m_strLastError = e.m_strError;
    if (transaction) db.Rollback();
    db.Close();
    return false;
  }
  if (created && transaction) {
    m_nColumnCount = static_cast<std::int16_t>(std::min<std::size_t>(m_aFieldNames.size(), INT16_MAX));
    m_bStoreExists = true;
  }
  db.Close();
  m_bTransaction = false;
  return true;
}

bool COdbcSpreadsheet::DropSheet(const std::string& sheet) {
  if (!m_bExcel) return DropSheet();
  if (RefusedPath() || RefusedSheet(sheet)) return false;
  try {
    m_pDatabase->OpenEx(m_strConnect, win::CDatabase_noOdbcDialog);
    m_pDatabase->ExecuteSQL("DROP TABLE " + Range(sheet));
  } catch (const win::CDBException& e) {
    m_strLastError = e.m_strError;
    m_pDatabase->Close();
    return false;
  }
  m_pDatabase->Close();
  // Another sheet of the workbook (the backup sheet, say) is no part of this
  // table: what this object holds stays as it was, its rows included, for the
  // next write to keep. The driver names sheets as Windows does, without
  // regard to case: "data" is the sheet "Data".
  if (!platform::EqualsNoCase(sheet, m_strSheet)) return true;
  // Its own sheet dropped is created anew by the next write; one that failed to drop is still there.
  m_bStoreExists = false;
  m_aRows.clear();
  m_aFieldNames.clear();
  m_nRowCount = 0;
  m_nColumnCount = 0;
  return true;
}

bool COdbcSpreadsheet::DropSheet() {
  if (m_bExcel) {
    if (DropSheet(m_strSheet)) return true;
    m_strLastError = "Error deleting sheet\n";
    return false;
  }
  Attempt attempt(*this);
  const bool existed = m_bStoreExists;
  m_aRows.clear();
  m_aFieldNames.clear();
  m_nRowCount = 0;
  m_nColumnCount = 0;
  m_bStoreExists = false;
  if (attempt.Keep(Written())) return true;
  m_bStoreExists = existed;
  return false;
}

bool COdbcSpreadsheet::UpdateMatchingRows(const Strings& newValues, const Strings& oldValues) {
  if (!m_bExcel) {
    m_strLastError = "Function not available for text delimited file\n";
    return false;
  }
  if (newValues.empty() || oldValues.empty() || newValues.size() > m_aFieldNames.size() ||
      oldValues.size() > m_aFieldNames.size()) {
    m_strLastError = "Number of values must be from 1 to the number of fields\n";
    return false;
  }
  if (RefusedNames(m_aFieldNames)) return false;
  std::string sql = "UPDATE [" + m_strSheet + "] SET ";
  for (std::size_t i = 0; i < newValues.size(); ++i) sql += "[" + m_aFieldNames[i] + "]=" + Quoted(newValues[i]) + ", ";
  sql.resize(sql.size() - 2);
  sql += " WHERE (";
  for (std::size_t i = 0; i < oldValues.size(); ++i) sql += "[" + m_aFieldNames[i] + "]=" + Quoted(oldValues[i]) + " AND ";
  sql.resize(sql.size() - 4);
  sql += ")";
  try {
    m_pDatabase->OpenEx(m_strConnect, win::CDatabase_noOdbcDialog);
    m_pDatabase->ExecuteSQL(sql);
  } catch (const win::CDBException& e) {
    m_strLastError = e.m_strError;
    m_pDatabase->Close();
    return false;
  }
  m_pDatabase->Close();
  Load();
  return true;
}

bool COdbcSpreadsheet::ReadColumn(Strings& values, std::int16_t column) {
  if (!ColumnInRange(column)) return false;
  const std::int32_t saved = m_nCurrentRow;
  values.clear();
  for (std::int32_t row = 1; row <= static_cast<std::int32_t>(m_aRows.size()); ++row) {
    if (!ReadRow(m_aScratch, row)) {
      m_nCurrentRow = saved;
      m_strLastError = "Error reading row\n";
      return false;
    }
    const auto c = static_cast<std::size_t>(column);
    values.push_back(c <= m_aScratch.size() ? m_aScratch[c - 1] : std::string());
  }
  m_nCurrentRow = saved;
  return true;
}

bool COdbcSpreadsheet::ReadColumn(Strings& values, const std::string& column, bool byLetter) {
  const std::int16_t number = ColumnFromName(column, byLetter);
  if (number == 0) return false;
  return ReadColumn(values, number);
}

bool COdbcSpreadsheet::ReadCell(std::string& value, std::int16_t column, std::int32_t row) {
  if (!ColumnInRange(column) || !RowInRange(row)) return false;
  const std::int32_t saved = m_nCurrentRow;
  if (row != 0) m_nCurrentRow = row;
  if (!ReadRow(m_aScratch, m_nCurrentRow)) {
    m_nCurrentRow = saved;
    m_strLastError = "Error reading row\n";
    return false;
  }
  m_nCurrentRow = saved;
  if (m_aScratch.size() < static_cast<std::size_t>(column)) {
    value.clear();
    return false;
  }
  value = m_aScratch[static_cast<std::size_t>(column - 1)];
  return true;
}

bool COdbcSpreadsheet::ReadCell(std::string& value, const std::string& column, std::int32_t row, bool byLetter) {
  const std::int16_t number = ColumnFromName(column, byLetter);
  if (number == 0) return false;
  return ReadCell(value, number, row);
}

std::int16_t COdbcSpreadsheet::ColumnFromName(const std::string& name, bool byLetter) {
  std::string wanted = name;
  if (byLetter) {
    for (char& c : wanted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto code = [&wanted](std::size_t i) { return static_cast<int>(static_cast<unsigned char>(wanted[i])) - 64; };
    if (wanted.size() == 1) return static_cast<std::int16_t>(code(0));
    if (wanted.size() == 2) return static_cast<std::int16_t>(code(0) * 26 + code(1));
  }
  const auto it = std::find(m_aFieldNames.begin(), m_aFieldNames.end(), wanted);
  if (it != m_aFieldNames.end()) return static_cast<std::int16_t>(it - m_aFieldNames.begin() + 1);
  m_strLastError = "Invalid field name or column alphabet\n";
  return 0;
}

bool COdbcSpreadsheet::Rollback() {
  if (!Load()) {
    m_strLastError = "Error in returning to previous state\n";
    return false;
  }
  m_bTransaction = false;
  return true;
}

bool COdbcSpreadsheet::ConvertFormat(const std::string& sheetOrSeparator) {
  const std::string base = m_strFile.size() >= 4 ? m_strFile.substr(0, m_strFile.size() - 4) : std::string();
  if (m_bExcel) {
    COdbcSpreadsheet text(base + ".csv", sheetOrSeparator, false);
    if (text.GetColumnCount() != 0) return false;
    text.BeginTransaction();
    for (std::int32_t row = 1; row <= m_nRowCount; ++row) {
      if (!ReadRow(m_aScratch, row)) return false;
      if (!text.StoreRow(m_aScratch, row, false)) {
        m_strLastError = text.LastError();
        return false;
      }
    }
    if (text.Commit()) return true;
    m_strLastError = text.LastError();
    return false;
  }
  COdbcSpreadsheet sheet(base + ".xls", sheetOrSeparator, false);
  if (sheet.GetColumnCount() != 0) return false;
  bool duplicate = false;
  for (std::size_t i = 0; i < m_aFieldNames.size(); ++i)
    for (std::size_t j = 0; j < m_aFieldNames.size(); ++j)
      if (i != j && m_aFieldNames[i] == m_aFieldNames[j]) {
        duplicate = true;
        m_strLastError = kDuplicate + m_aFieldNames[i] + "\n";
      }
  auto fail = [this, &sheet] {
    m_strLastError = sheet.LastError();
    return false;
  };
  if (!duplicate) {
    if (!sheet.AddHeaderRow(m_aFieldNames, false)) return fail();
    for (std::int32_t row = 2; row <= m_nRowCount; ++row) {
      if (!ReadRow(m_aScratch, row)) return false;
      if (!sheet.StoreRow(m_aScratch, row, false)) return fail();
    }
    return true;
  }
  Strings numbers;
  for (std::int16_t c = 1; c <= m_nColumnCount; ++c) numbers.push_back(std::to_string(c));
  if (!sheet.AddHeaderRow(numbers, false)) return fail();
  for (std::int32_t row = 1; row <= m_nRowCount; ++row) {
    if (!ReadRow(m_aScratch, row)) return false;
    if (!sheet.StoreRow(m_aScratch, row + 1, false)) return fail();
  }
  return true;
}
