// One table of text kept in memory and mirrored to an Excel sheet (a file
// ending in ".xls", through ODBC) or to a delimited text file. Row 1 is the
// header; rows and columns count from 1; row 0 means the cursor row when
// reading and a new last row when writing. Every change is written at once,
// or at Commit inside a transaction.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Odbc.h"

class COdbcSpreadsheet {
 public:
  using Strings = std::vector<std::string>;

  // `sheetOrSeparator`: the sheet name in Excel mode, the field separator otherwise.
  COdbcSpreadsheet(const std::string& file, const std::string& sheetOrSeparator, bool backup);
  ~COdbcSpreadsheet();
  COdbcSpreadsheet(const COdbcSpreadsheet&) = delete;
  COdbcSpreadsheet& operator=(const COdbcSpreadsheet&) = delete;

  bool AddHeaderRow(const Strings& names, bool replace);
  // Excel mode: drops a sheet of the workbook, the object's own without a
  // name; only a drop of its own sheet (named without regard to case) empties
  // the table in memory. Text mode: empties the table and the file.
  bool DropSheet();
  bool DropSheet(const std::string& sheet);
  bool StoreRow(const Strings& values, std::int32_t row, bool replace);
  bool SetCell(const std::string& value, std::int16_t column, std::int32_t row);
  bool SetCell(const std::string& value, const std::string& column, std::int32_t row, bool byLetter);
  bool UpdateMatchingRows(const Strings& newValues, const Strings& oldValues);
  bool ReadRow(Strings& values, std::int32_t row);
  bool ReadColumn(Strings& values, std::int16_t column);
  bool ReadColumn(Strings& values, const std::string& column, bool byLetter);
  bool ReadCell(std::string& value, std::int16_t column, std::int32_t row);
  bool ReadCell(std::string& value, const std::string& column, std::int32_t row, bool byLetter);
  void BeginTransaction() { m_bTransaction = true; }
  bool Commit();
  bool Rollback();
  bool ConvertFormat(const std::string& sheetOrSeparator);
  std::int16_t ColumnFromName(const std::string& name, bool byLetter);
  void GetFieldNames(Strings& names) const { names = m_aFieldNames; }
  std::int16_t GetColumnCount() const { return m_nColumnCount; }

  const std::string& LastError() const { return m_strLastError; }
  std::int32_t RowCount() const { return m_nRowCount; }
  std::int32_t CurrentRow() const { return m_nCurrentRow; }
  bool Backup() const { return m_bBackup; }
  bool InTransaction() const { return m_bTransaction; }
  bool StoreExists() const { return m_bStoreExists; }
  const std::string& ConnectString() const { return m_strConnect; }
  const std::string& Driver() const { return m_strDriver; }
  const std::string& LastSelect() const { return m_strSelect; }

 private:
  class Attempt;
  bool Load();
  bool LoadExcel();
  bool LoadText();
  bool CommitExcel();
  bool CommitText();
  void FindExcelDriver();
  bool DuplicateHeader(const Strings& names);
  bool ColumnInRange(std::int32_t column);
  bool RowInRange(std::int32_t row);
  std::string JoinRow(const Strings& values) const;
  std::string FillerRow(std::int32_t cells, std::int16_t column = 0, const std::string& value = {}) const;
  bool AppendOrFill(const std::string& text, std::int32_t row);
  // A name is written inside [ ]; a "]" would end it early.
  bool RefusedName(const std::string& name, const char* refused = "]");
  bool RefusedSheet(const std::string& sheet);
  // A workbook path that would not stay one value of the connect string.
  bool RefusedPath();
  // The path and sheet (Excel mode) and the given names, as they go into
  // the connect string and statements.
  bool RefusedNames(const Strings& names);
  // An empty separator, or one holding a double quote, CR or LF.
  bool RefusedSeparator();
  // Too many values, or (text mode) a value that would split the line.
  bool RefusedValues(const Strings& values);
  // A row past the workbook's last, or one that adds a row (`grows`: an insert
  // or an append) to a full table.
  bool RowBeyondLimit(std::int32_t row, bool grows);
  // Commits unless inside a transaction; false when the write failed.
  bool Written();
  std::string Range(const std::string& sheet) const;

  bool m_bStoreExists = false;
  bool m_bBackup = false;
  bool m_bExcel = false;
  bool m_bTransaction = false;
  std::int32_t m_nCurrentRow = 1;
  std::int32_t m_nRowCount = 0;
  std::int16_t m_nColumnCount = 0;
  std::string m_strSelect;
  std::string m_strConnect;
  std::string m_strSheet;
  std::string m_strDriver;
  std::string m_strFile;
  std::string m_strSeparator;
  std::string m_strLastError;
  Strings m_aScratch;
  Strings m_aFieldNames;
  Strings m_aRows;
  std::unique_ptr<win::CDatabase> m_pDatabase;
};
