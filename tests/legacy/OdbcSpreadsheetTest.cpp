// Both stores of the spreadsheet: text files, and workbooks through unixODBC
// with the SQLite driver registered as the Excel driver.
#include "legacy/OdbcSpreadsheet.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "tests/support/ScratchFolder.h"

namespace {

using Strings = COdbcSpreadsheet::Strings;
constexpr const char* kDriver = "Microsoft Excel Driver (*.xls) on SQLite";

class Spreadsheet : public kxtest::DeviceTestEnv {
 protected:
  static std::filesystem::path Dir() {
    return std::filesystem::temp_directory_path() / ("kx_odbc_" + std::to_string(::getpid()));
  }
  static void SetUpTestSuite() {
    const auto dir = Dir();
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "odbcinst.ini") << "[SQLite3]\nDriver=libsqlite3odbc.so\n\n[" << kDriver
                                        << "]\nDriver=libsqlite3odbc.so\n";
    std::ofstream(dir / "odbc.ini") << "";
    ::setenv("ODBCSYSINI", dir.c_str(), 1);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(Dir()); }
  void SetUp() override {
    platform::SetStatementTrace([this](const std::string& sql) { sent_.push_back(sql); });
  }
  void TearDown() override { platform::SetStatementTrace(nullptr); }

  static Strings Row(COdbcSpreadsheet& sheet, std::int32_t row) {
    Strings values;
    EXPECT_TRUE(sheet.ReadRow(values, row)) << row;
    return values;
  }
  static void Put(const std::string& path, const std::string& data) {
    ASSERT_EQ(platform::WriteFileBytes(path, data), 0u);
  }

  kxtest::ScratchFolder scratch_{"spreadsheet"};
  Strings sent_;
};

TEST_F(Spreadsheet, ModeFollowsTheExtension) {
  COdbcSpreadsheet excel("C:\\Data.XLS", "S", false);
  EXPECT_EQ(excel.ConnectString().rfind("DRIVER={", 0), 0u);
  COdbcSpreadsheet xlsx("C:\\data.xlsx", ",", false);
  COdbcSpreadsheet csv("C:\\data.csv", ",", false);
  EXPECT_EQ(xlsx.ConnectString(), "");
  EXPECT_EQ(csv.ConnectString(), "");
}

TEST_F(Spreadsheet, TextNewFileThenHeaderCreatesIt) {
  COdbcSpreadsheet sheet("C:\\new.csv", ",", true);
  EXPECT_EQ(sheet.LastError(), "Error in opening file\n");
  EXPECT_EQ(sheet.RowCount(), 0);
  EXPECT_FALSE(platform::FileExists("C:\\new.csv.bak"));
  ASSERT_TRUE(sheet.AddHeaderRow({"Name", "Age"}, false));
  EXPECT_EQ(ReadAll("C:\\new.csv"), "\"Name\",\"Age\"\r\n");
}

TEST_F(Spreadsheet, TextRowFormsReadBack) {
  Put("C:\\t.csv", "a,b,c\r\n\"a\",\"b\"\r\n\"one\"\r\nx,y,z,w\r\n");
  COdbcSpreadsheet sheet("C:\\t.csv", ",", false);
  EXPECT_EQ(Row(sheet, 1), (Strings{"a", "b", "c"}));
  EXPECT_EQ(Row(sheet, 2), (Strings{"a", "b"}));
  EXPECT_EQ(Row(sheet, 3), (Strings{"one"}));
  EXPECT_EQ(sheet.GetColumnCount(), 4);  // the widest row is the last
}

TEST_F(Spreadsheet, TextStoreRowFillsAndAppends) {
  Put("C:\\t.csv", "\"h1\",\"h2\"\r\n\"a\",\"b\"\r\n");
  COdbcSpreadsheet sheet("C:\\t.csv", ",", false);
  ASSERT_TRUE(sheet.StoreRow({"e", "f"}, 5, false));
  EXPECT_EQ(sheet.RowCount(), 5);
  EXPECT_EQ(ReadAll("C:\\t.csv"), "\"h1\",\"h2\"\r\n\"a\",\"b\"\r\n\"\",\"\"\r\n\"\",\"\"\r\n\"e\",\"f\"\r\n");
  Strings ignored;
  sheet.ReadRow(ignored, 2);  // cursor at 3
  ASSERT_TRUE(sheet.StoreRow({"g"}, 0, false));
  EXPECT_EQ(sheet.RowCount(), 6);
  EXPECT_EQ(sheet.CurrentRow(), 3);
  EXPECT_EQ(Row(sheet, 6), Strings{"g"});
}

TEST_F(Spreadsheet, TextReadRowZeroWalksAndStopsWithoutText) {
  Put("C:\\t.csv", "a,b\r\nc,d\r\n");
  COdbcSpreadsheet sheet("C:\\t.csv", ",", false);
  Strings values;
  sheet.ReadRow(values, 1);
  EXPECT_TRUE(sheet.ReadRow(values, 0));
  EXPECT_EQ(values, (Strings{"c", "d"}));
  const std::string before = sheet.LastError();
  EXPECT_FALSE(sheet.ReadRow(values, 0));
  EXPECT_EQ(sheet.LastError(), before);
  EXPECT_FALSE(sheet.ReadRow(values, 3));
  EXPECT_EQ(sheet.LastError(), "Desired row is greater than total number of rows in spreadsheet\n");
}

TEST_F(Spreadsheet, ColumnFromName) {
  Put("C:\\t.csv", "\"Name\",\"Age\"\r\n");
  COdbcSpreadsheet sheet("C:\\t.csv", ",", false);
  EXPECT_EQ(sheet.ColumnFromName("b", true), 2);
  EXPECT_EQ(sheet.ColumnFromName("ab", true), 28);
  EXPECT_EQ(sheet.ColumnFromName("IV", true), 256);
  EXPECT_EQ(sheet.ColumnFromName("Age", false), 2);
  EXPECT_EQ(sheet.ColumnFromName("age", false), 0);
  EXPECT_EQ(sheet.LastError(), "Invalid field name or column alphabet\n");
}

TEST_F(Spreadsheet, OutOfModelNumbersAndEmptySeparatorAreRefused) {
  Put("C:\\t.csv", "a,b\r\n");
  COdbcSpreadsheet sheet("C:\\t.csv", ",", false);
  std::string value;
  Strings values;
  struct Row {
    bool ok;
    const char* text;
  } rows[] = {{sheet.StoreRow({"x"}, -1, false), "Row cannot be negative\n"},
              {sheet.ReadCell(value, 1, -2), "Row cannot be negative\n"},
              {sheet.SetCell("x", std::int16_t{-1}, 1), "Column cannot be negative\n"},
              {sheet.SetCell("x", "!", 1, true), "Column cannot be negative\n"},  // '!' is 33 - 64
              {sheet.ReadColumn(values, std::int16_t{0}), "Column cannot be zero\n"}};
  for (const Row& row : rows) {
    EXPECT_FALSE(row.ok) << row.text;
  }
  EXPECT_EQ(ReadAll("C:\\t.csv"), "a,b\r\n");
  // A separator that the row reader cannot split on, or that would end a
  // quoted field or the line early, and nothing it would write.
  constexpr const char* kBad = "Separator cannot hold a double quote or a line break\n";
  const struct {
    const char* separator;
    const char* text;
  } separators[] = {{"", "Separator cannot be empty\n"}, {"\"", kBad}, {"\",\"", kBad}, {"\r", kBad}, {";\n", kBad}};
  for (const auto& bad : separators) {
    COdbcSpreadsheet refused("C:\\t.csv", bad.separator, false);
    EXPECT_EQ(refused.LastError(), bad.text) << bad.separator;
    EXPECT_FALSE(refused.StoreRow({"x", "y"}, 0, false)) << bad.separator;
    EXPECT_FALSE(refused.SetCell("z", 1, 0)) << bad.separator;
    EXPECT_FALSE(refused.DropSheet()) << bad.separator;
  }
  EXPECT_EQ(ReadAll("C:\\t.csv"), "a,b\r\n");
}

TEST_F(Spreadsheet, TextBackupAndRollback) {
  Put("C:\\x.csv", "\"h\"\r\n\"1\"\r\n");
  COdbcSpreadsheet sheet("C:\\x.csv", ",", true);
  EXPECT_TRUE(sheet.Backup());
  EXPECT_EQ(ReadAll("C:\\x.csv.bak"), "\"h\"\r\n\"1\"\r\n");
  sheet.BeginTransaction();
  sheet.StoreRow({"2"}, 0, false);
  sheet.SetCell("H", 1, 1);
  EXPECT_EQ(ReadAll("C:\\x.csv"), "\"h\"\r\n\"1\"\r\n");
  ASSERT_TRUE(sheet.Rollback());
  EXPECT_EQ(sheet.RowCount(), 2);
  EXPECT_FALSE(sheet.InTransaction());
  Strings names;
  sheet.GetFieldNames(names);
  EXPECT_EQ(names, Strings{"h"});
}

// Workbooks through the driver manager.

TEST_F(Spreadsheet, ExcelGoldenConnectAndStatements) {
  {
    COdbcSpreadsheet sheet("C:\\book.xls", "Sheet1", false);
    EXPECT_EQ(sheet.Driver(), kDriver);
    EXPECT_EQ(sheet.ConnectString(), std::string("DRIVER={") + kDriver +
                                         "};DSN='';FIRSTROWHASNAMES=1;READONLY=FALSE;CREATE_DB=\"C:\\book.xls\";"
                                         "DBQ=C:\\book.xls");
    ASSERT_TRUE(sheet.AddHeaderRow({"Name", "Age"}, false));
    ASSERT_TRUE(sheet.StoreRow({"Bob", "42"}, 0, false));
  }
  EXPECT_EQ(sent_, (Strings{"SELECT * FROM [Sheet1$A1:IV65536]", "CREATE TABLE [Sheet1] ([Name] char(255), [Age] char(255))",
                            "DROP TABLE [Sheet1$A1:IV65536]",
                            "CREATE TABLE [Sheet1$A1:IV65536] ([Name] char(255), [Age] char(255))",
                            "INSERT INTO [Sheet1$A1:IV1] ([Name], [Age]) VALUES ('Bob', '42')"}));
  // The .xls file is the driver's database.
  EXPECT_TRUE(std::filesystem::file_size(Native("C:\\book.xls")) > 0);
  COdbcSpreadsheet again("C:\\book.xls", "Sheet1", false);
  EXPECT_EQ(again.RowCount(), 2);
  EXPECT_EQ(Row(again, 2), (Strings{"Bob", "42"}));
}

TEST_F(Spreadsheet, ExcelQuotedValueRoundTrips) {
  {
    COdbcSpreadsheet sheet("C:\\q.xls", "S", false);
    sheet.AddHeaderRow({"Name"}, false);
    ASSERT_TRUE(sheet.StoreRow({"O'Brien"}, 0, false));
    EXPECT_EQ(sheet.LastError(), "");
  }
  COdbcSpreadsheet again("C:\\q.xls", "S", false);
  EXPECT_EQ(Row(again, 2), Strings{"O'Brien"});
}

TEST_F(Spreadsheet, ExcelBackupSheetFailsWhenItExists) {
  {
    COdbcSpreadsheet sheet("C:\\b.xls", "S", false);
    sheet.AddHeaderRow({"A"}, false);
  }
  COdbcSpreadsheet first("C:\\b.xls", "S", true);
  EXPECT_TRUE(first.Backup());
  COdbcSpreadsheet second("C:\\b.xls", "S", true);
  EXPECT_FALSE(second.Backup());
  EXPECT_NE(second.LastError().find("already exists"), std::string::npos) << second.LastError();
  EXPECT_EQ(second.RowCount(), 1);
}

TEST_F(Spreadsheet, ExcelDriverTextAndFixedTexts) {
  COdbcSpreadsheet sheet("C:\\d.xls", "S", false);
  EXPECT_FALSE(sheet.StoreRow({"x"}, 2, false));
  EXPECT_EQ(sheet.LastError(), "No header row. Add header row first\n");
  EXPECT_FALSE(sheet.DropSheet("Nope"));
  EXPECT_NE(sheet.LastError().find("no such table"), std::string::npos) << sheet.LastError();
  EXPECT_FALSE(sheet.DropSheet());
  EXPECT_EQ(sheet.LastError(), "Error deleting sheet\n");
  EXPECT_FALSE(sheet.AddHeaderRow({"a", "b", "a"}, false));
  EXPECT_EQ(sheet.LastError(), "Duplicate header row field:a\n");
  EXPECT_FALSE(sheet.AddHeaderRow({"a]"}, false));
  EXPECT_EQ(sheet.LastError(), "Name cannot hold ]:a]\n");
}

TEST_F(Spreadsheet, ExcelSetCellBeyondTheFields) {
  COdbcSpreadsheet sheet("C:\\c.xls", "S", false);
  sheet.AddHeaderRow({"A", "B"}, false);
  sheet.StoreRow({"1", "2"}, 0, false);
  EXPECT_FALSE(sheet.SetCell("x", 4, 1));
  EXPECT_EQ(sheet.LastError(), "Cell column to be added cannot be greater than the number of fields\n");
  EXPECT_FALSE(sheet.SetCell("x", 3, 2));
  EXPECT_EQ(sheet.LastError(), "Number of columns to be added cannot be greater than the number of fields\n");
  // A new row is refused as an existing one is, and none is added.
  const std::string refused = sheet.LastError();
  for (const std::int32_t row : {0, 3, 7}) {
    sheet.SetCell("x", std::int16_t{0}, 1);  // another error text
    EXPECT_FALSE(sheet.SetCell("x", 3, row)) << row;
    EXPECT_EQ(sheet.LastError(), refused) << row;
  }
  EXPECT_EQ(sheet.RowCount(), 2);
  ASSERT_TRUE(sheet.SetCell("C", 3, 1));
  COdbcSpreadsheet again("C:\\c.xls", "S", false);
  Strings names;
  again.GetFieldNames(names);
  EXPECT_EQ(names, (Strings{"A", "B", "C"}));
}

TEST_F(Spreadsheet, ExcelUpdateJoinsEveryOldValue) {
  COdbcSpreadsheet sheet("C:\\u.xls", "S", false);
  sheet.AddHeaderRow({"F1", "F2", "F3"}, false);
  sheet.StoreRow({"a", "b", "c"}, 0, false);
  sheet.StoreRow({"a", "b", "d"}, 0, false);
  EXPECT_FALSE(sheet.UpdateMatchingRows({"x"}, {}));
  EXPECT_FALSE(sheet.UpdateMatchingRows({"x"}, {"a", "b", "c", "d"}));
  sent_.clear();
  ASSERT_TRUE(sheet.UpdateMatchingRows({"x", "y", "z"}, {"a", "b", "c"}));
  ASSERT_FALSE(sent_.empty());
  EXPECT_EQ(sent_[0], "UPDATE [S] SET [F1]='x', [F2]='y', [F3]='z' WHERE ([F1]='a' AND [F2]='b' AND [F3]='c' )");
  EXPECT_EQ(Row(sheet, 2), (Strings{"x", "y", "z"}));
  EXPECT_EQ(Row(sheet, 3), (Strings{"a", "b", "d"}));
}

TEST_F(Spreadsheet, ConvertTextWithDuplicateHeaderToWorkbookAndBack) {
  Put("C:\\dup.csv", "\"k\",\"k\"\r\n\"1\",\"2\"\r\n");
  COdbcSpreadsheet text("C:\\dup.csv", ",", false);
  ASSERT_TRUE(text.ConvertFormat("S"));
  EXPECT_EQ(text.LastError(), "Duplicate header row field:k\n");
  COdbcSpreadsheet book("C:\\dup.xls", "S", false);
  Strings names;
  book.GetFieldNames(names);
  EXPECT_EQ(names, (Strings{"1", "2"}));
  EXPECT_EQ(Row(book, 2), (Strings{"k", "k"}));
  EXPECT_EQ(Row(book, 3), (Strings{"1", "2"}));
  std::filesystem::remove(Native("C:\\dup.csv"));
  ASSERT_TRUE(book.ConvertFormat(";"));
  EXPECT_EQ(ReadAll("C:\\dup.csv"), "\"1\";\"2\"\r\n\"k\";\"k\"\r\n\"1\";\"2\"\r\n");
  EXPECT_FALSE(book.ConvertFormat(";"));  // an existing table is not overwritten
}

// The installer's list as a fake gives it.
struct FakeInstaller {
  explicit FakeInstaller(std::string list, int length = -1) {
    platform::SetInstalledDriversSource([list, length](char* buffer, win::WORD size, win::WORD* out) {
      const std::size_t n = std::min<std::size_t>(list.size(), size);
      std::memcpy(buffer, list.data(), n);
      *out = static_cast<win::WORD>(length < 0 ? n : static_cast<std::size_t>(length));
      return win::TRUE;
    });
  }
  ~FakeInstaller() { platform::SetInstalledDriversSource(nullptr); }
};

// Values that hold the separators, quotes, sheet ranges or line feeds come
// back as stored, each in its own column, in both stores; long names whole,
// and names holding what the SQLite driver cuts (dots) or takes as SQL
// (";" ends a statement, "?" a parameter, "{fn }" an escape) whole, also
// after the workbook is opened and written again; one quote in a sheet or
// field name (which the driver's scan reads as opening text) cuts no value
// holding an escape's braces, ";" or "?".
TEST_F(Spreadsheet, AwkwardValuesAndNamesRoundTrip) {
  const Strings awkward = {"[Q$A1:IV12]", "a\",;.?\"b", "a\",\"b", "say \"hi\"", "x,y", "\"", "last", "8",  "9", "10",
                           "11",          "12",         "13",      "14",         "15",  "16", "17",   "18", "19"};
  // Names longer than 255 bytes that differ only past that length.
  const std::string longName(300, 'n');
  const Strings fields = {
      "Q$A1:IV12",        "N2",        "N3",        "N4",        "N5",   "N6",    "N7",  longName + "8",
      longName + "9",     "FW Ver.",   "Cap.(GB)",  "S.M.A.R.T", "1.5V", "a.b.c", "p;q", "a?b",
      "{fn UCASE('x')}.", "2.5\" bay", "back`quote"};
  // What the driver's scan takes for an escape, a statement's end or a
  // parameter where it reads them outside quoted text.
  const Strings braced = {"Fail {0x42B}", "{6F9619FF-8B86-D011-B42D-00C04FC964FF}", "{d '2020-01-02'}", "a;b", "why?"};
  const Strings plain = {"Result", "Device", "Date", "Note", "Step"};
  const struct {
    const char* file;
    const char* sheetOrSeparator;
    Strings names;
    const Strings& values;
  } stores[] = {{"C:\\v.xls", "S", fields, awkward},
                {"C:\\v.csv", ",", fields, awkward},
                {"C:\\w.xls", "Sheet;1?{fn x}.b", fields, awkward},
                {"C:\\b.xls", "Bob's", plain, braced},
                {"C:\\o.xls", "S", {"Result", "Device", "Date", "Operator's note", "Step"}, braced},
                {"C:\\d.xls", "2.5\" bay", plain, braced}};
  for (const auto& store : stores) {
    const Strings& names = store.names;
    const Strings& values = store.values;
    {
      COdbcSpreadsheet sheet(store.file, store.sheetOrSeparator, false);
      ASSERT_TRUE(sheet.AddHeaderRow(names, false)) << store.file << sheet.LastError();
      ASSERT_TRUE(sheet.StoreRow(values, 0, false)) << store.file << sheet.LastError();
    }
    {
      COdbcSpreadsheet again(store.file, store.sheetOrSeparator, false);
      Strings header;
      again.GetFieldNames(header);
      EXPECT_EQ(header, names) << store.file;
      EXPECT_EQ(Row(again, 2), values) << store.file;
      ASSERT_TRUE(again.StoreRow(values, 0, false)) << store.file << again.LastError();
    }
    COdbcSpreadsheet written(store.file, store.sheetOrSeparator, false);
    Strings header;
    written.GetFieldNames(header);
    EXPECT_EQ(header, names) << store.file;
    EXPECT_EQ(written.RowCount(), 3) << store.file;
  }
  EXPECT_EQ(ReadAll("C:\\v.csv").substr(0, 13), "\"Q$A1:IV12\",\"");
}

TEST_F(Spreadsheet, TextLineBreaksAreRefusedAndNothingShifts) {
  Put("C:\\t.csv", "\"h1\",\"h2\"\r\n");
  COdbcSpreadsheet sheet("C:\\t.csv", ",", false);
  for (const char* value : {"a\nb", "a\r\nb", "a\rb"}) {
    EXPECT_FALSE(sheet.StoreRow({value, "last"}, 0, false)) << value;
    EXPECT_EQ(sheet.LastError(), "Value cannot hold a line break\n") << value;
    EXPECT_FALSE(sheet.SetCell(value, 1, 1)) << value;
  }
  EXPECT_EQ(ReadAll("C:\\t.csv"), "\"h1\",\"h2\"\r\n");
}

// A field name from the workbook that would end its brackets early never
// reaches a statement: here it would have made the update's WHERE a comment.
TEST_F(Spreadsheet, FieldNamesFromTheWorkbookAreVetted) {
  {
    COdbcSpreadsheet maker("C:\\i.xls", "S", false);  // the connect string for the file
    win::CDatabase db;
    db.OpenEx(maker.ConnectString());
    db.ExecuteSQL("CREATE TABLE [S] ([B] char(255), \"B]='x' --\" char(255))");
    db.ExecuteSQL("INSERT INTO [S] ([B]) VALUES ('keep')");
  }
  sent_.clear();
  COdbcSpreadsheet sheet("C:\\i.xls", "S", false);
  EXPECT_EQ(sheet.LastError(), "Name cannot hold ]:B]='x' --\n");
  EXPECT_EQ(sheet.GetColumnCount(), 0);
  EXPECT_FALSE(sheet.UpdateMatchingRows({"z", "z"}, {"none", "none"}));
  for (const std::string& sql : sent_) EXPECT_EQ(sql.find("UPDATE"), std::string::npos) << sql;
}

// A sheet name that would end its brackets, or (with "$") be read as a range
// of another sheet, is refused before anything is sent.
TEST_F(Spreadsheet, ASheetNameThatWouldEndItsBracketsIsNeverSent) {
  const struct {
    const char* sheet;
    const char* text;
  } rows[] = {{"S] WHERE 1=1 --", "Name cannot hold ]:S] WHERE 1=1 --\n"},
              {"S$A1:IV5", "Name cannot hold $:S$A1:IV5\n"},
              {"Cost$", "Name cannot hold $:Cost$\n"}};
  for (const auto& row : rows) {
    sent_.clear();
    COdbcSpreadsheet sheet("C:\\s.xls", row.sheet, false);
    EXPECT_EQ(sheet.LastError(), row.text);
    EXPECT_FALSE(sheet.AddHeaderRow({"A"}, false)) << row.sheet;
    EXPECT_FALSE(sheet.UpdateMatchingRows({"x"}, {"y"})) << row.sheet;
    EXPECT_FALSE(sheet.DropSheet(row.sheet)) << row.sheet;
    EXPECT_EQ(sheet.LastError(), row.text);
    EXPECT_TRUE(sent_.empty()) << sent_.front();
  }
}

// The file reaches the driver whatever its path holds.
TEST_F(Spreadsheet, WorkbookPathsHoldingConnectKeys) {
  for (const char* file : {"C:\\database=x\\book.xls", "C:\\dbq=y\\book.xls", "C:\\{b}\\book.xls"}) {
    MakeDirs(std::string(file).substr(0, std::string(file).rfind('\\')));
    {
      COdbcSpreadsheet sheet(file, "S", false);
      ASSERT_TRUE(sheet.AddHeaderRow({"A"}, false)) << file << ": " << sheet.LastError();
      ASSERT_TRUE(sheet.StoreRow({"1"}, 0, false)) << file;
    }
    COdbcSpreadsheet again(file, "S", false);
    EXPECT_EQ(again.RowCount(), 2) << file;
    EXPECT_TRUE(std::filesystem::file_size(Native(file)) > 0) << file;
  }
  MakeDirs("C:\\a;b");
  COdbcSpreadsheet sheet("C:\\a;b\\book.xls", "S", false);
  EXPECT_FALSE(sheet.AddHeaderRow({"A"}, false));
  EXPECT_NE(sheet.LastError().find("cannot hold ';'"), std::string::npos) << sheet.LastError();
  EXPECT_FALSE(Exists("C:\\a"));
  // A quote would end the quoted value and let the rest name another workbook.
  {
    COdbcSpreadsheet victim("C:\\victim.xls", "S", false);
    ASSERT_TRUE(victim.AddHeaderRow({"A"}, false));
    ASSERT_TRUE(victim.StoreRow({"1"}, 0, false));
  }
  sent_.clear();
  {
    COdbcSpreadsheet quoted("C:\\q\";DBQ=C:\\victim.xls;Z=\".xls", "S", false);
    EXPECT_EQ(quoted.LastError(), "Path cannot hold \":C:\\q\";DBQ=C:\\victim.xls;Z=\".xls\n");
    EXPECT_EQ(quoted.RowCount(), 0);
    EXPECT_FALSE(quoted.DropSheet("S"));
    EXPECT_FALSE(quoted.AddHeaderRow({"A"}, false));
  }
  EXPECT_TRUE(sent_.empty()) << sent_.front();
  COdbcSpreadsheet victim("C:\\victim.xls", "S", false);
  EXPECT_EQ(victim.RowCount(), 2);
}

TEST_F(Spreadsheet, ASecondHeaderOnANewTextFileIsAppended) {
  COdbcSpreadsheet sheet("C:\\h.csv", ",", false);
  ASSERT_TRUE(sheet.AddHeaderRow({"a"}, false));
  ASSERT_TRUE(sheet.AddHeaderRow({"b"}, false));
  EXPECT_EQ(ReadAll("C:\\h.csv"), "\"a\",\"b\"\r\n");
}

// A write that did not happen is reported by the call that asked for it.
TEST_F(Spreadsheet, FailedWritesAreReported) {
  Put("C:\\w.csv", "\"h1\",\"h2\"\r\n\"a\",\"b\"\r\n");
  COdbcSpreadsheet sheet("C:\\w.csv", ",", false);
  platform::SetWriteFault([](const std::string&) { return win::ERROR_DISK_FULL; });
  struct EndFault {
    ~EndFault() { platform::SetWriteFault({}); }
  } endFault;
  constexpr const char* kWrite = "Error writing file\n";
  const struct {
    const char* call;
    std::function<bool()> run;
    const char* text;
  } calls[] = {{"StoreRow", [&] { return sheet.StoreRow({"c"}, 0, false); }, kWrite},
               {"StoreRow replace", [&] { return sheet.StoreRow({"c"}, 2, true); }, kWrite},
               {"SetCell", [&] { return sheet.SetCell("c", 1, 2); }, kWrite},
               {"SetCell new row", [&] { return sheet.SetCell("c", 1, 9); }, kWrite},
               {"AddHeaderRow", [&] { return sheet.AddHeaderRow({"h3"}, false); }, "Problems with adding headers\n"},
               {"AddHeaderRow replace", [&] { return sheet.AddHeaderRow({"h1", "h2", "h3"}, true); }, kWrite},
               {"DropSheet", [&] { return sheet.DropSheet(); }, kWrite}};
  for (const auto& call : calls) {
    sheet.BeginTransaction();
    ASSERT_TRUE(sheet.Rollback());  // the table as stored, and a fresh error text
    EXPECT_FALSE(call.run()) << call.call;
    EXPECT_EQ(sheet.LastError(), call.text) << call.call;
    // Nothing of the failed call stays in memory.
    EXPECT_EQ(sheet.RowCount(), 2) << call.call;
    EXPECT_EQ(sheet.GetColumnCount(), 2) << call.call;
    Strings names;
    sheet.GetFieldNames(names);
    EXPECT_EQ(names, (Strings{"h1", "h2"})) << call.call;
    Strings second;
    EXPECT_TRUE(sheet.ReadRow(second, 2)) << call.call;
    EXPECT_EQ(second, (Strings{"a", "b"})) << call.call;
  }
  platform::SetWriteFault({});
  EXPECT_EQ(ReadAll("C:\\w.csv"), "\"h1\",\"h2\"\r\n\"a\",\"b\"\r\n");
}

// A call that fails changes nothing in memory: a row whose write the store
// refused (a full disk, a workbook that cannot be opened) is stored once by
// its retry, and a header cell refused for its name stays out of every later
// write.
TEST_F(Spreadsheet, AFailedCallLeavesNothingForALaterWrite) {
  const auto swap = [](const char* file) {
    const std::string native = Native(file);
    std::filesystem::rename(native, native + ".away");
    std::filesystem::create_directory(native);  // the workbook cannot be opened
  };
  const auto unswap = [](const char* file) {
    const std::string native = Native(file);
    std::filesystem::remove(native);
    std::filesystem::rename(native + ".away", native);
  };
  const struct {
    const char* name;
    const char* file;
    const char* sheetOrSeparator;
    std::function<void()> fail, lift;
    std::function<bool(COdbcSpreadsheet&)> refused;
  } rows[] = {
      {"text, full disk", "C:\\r.csv", ",",
       [] { platform::SetWriteFault([](const std::string&) { return win::ERROR_DISK_FULL; }); },
       [] { platform::SetWriteFault({}); }, [](COdbcSpreadsheet& sheet) { return sheet.StoreRow({"SN2", "2"}, 0, false); }},
      {"workbook cannot be opened", "C:\\r.xls", "S", [swap] { swap("C:\\r.xls"); }, [unswap] { unswap("C:\\r.xls"); },
       [](COdbcSpreadsheet& sheet) { return sheet.StoreRow({"SN2", "2"}, 0, false); }},
      {"header name refused", "C:\\h.xls", "S", [] {}, [] {},
       [](COdbcSpreadsheet& sheet) { return sheet.SetCell("bad]name", 2, 1); }},
      {"wider header, workbook cannot be opened", "C:\\w.xls", "S", [swap] { swap("C:\\w.xls"); },
       [unswap] { unswap("C:\\w.xls"); },
       [](COdbcSpreadsheet& sheet) { return sheet.AddHeaderRow({"SN", "N", "Extra"}, true); }},
      {"wider header, full disk", "C:\\w.csv", ",",
       [] { platform::SetWriteFault([](const std::string&) { return win::ERROR_DISK_FULL; }); },
       [] { platform::SetWriteFault({}); },
       [](COdbcSpreadsheet& sheet) { return sheet.AddHeaderRow({"SN", "N", "Extra"}, true); }},
  };
  for (const auto& row : rows) {
    {
      COdbcSpreadsheet sheet(row.file, row.sheetOrSeparator, false);
      ASSERT_TRUE(sheet.AddHeaderRow({"SN", "N"}, false)) << row.name;
      ASSERT_TRUE(sheet.StoreRow({"SN1", "1"}, 0, false)) << row.name;
      row.fail();
      EXPECT_FALSE(row.refused(sheet)) << row.name;
      row.lift();
      EXPECT_EQ(sheet.RowCount(), 2) << row.name;
      EXPECT_EQ(sheet.GetColumnCount(), 2) << row.name;
      EXPECT_TRUE(sheet.StoreRow({"SN2", "2"}, 0, false)) << row.name << ": " << sheet.LastError();
    }
    COdbcSpreadsheet again(row.file, row.sheetOrSeparator, false);
    Strings names;
    again.GetFieldNames(names);
    EXPECT_EQ(names, (Strings{"SN", "N"})) << row.name;
    EXPECT_EQ(again.RowCount(), 3) << row.name;
    EXPECT_EQ(Row(again, 3), (Strings{"SN2", "2"})) << row.name;
  }
}

// A new row takes a cell at the header's last field, in both stores.
TEST_F(Spreadsheet, ACellAtTheLastFieldMakesANewRow) {
  for (const auto& [file, sheetOrSeparator] : {std::pair{"C:\\l.xls", "S"}, std::pair{"C:\\l.csv", ","}}) {
    {
      COdbcSpreadsheet sheet(file, sheetOrSeparator, false);
      ASSERT_TRUE(sheet.AddHeaderRow({"A", "B", "C"}, false)) << file;
      EXPECT_TRUE(sheet.SetCell("c", 3, 0)) << file << ": " << sheet.LastError();
    }
    COdbcSpreadsheet again(file, sheetOrSeparator, false);
    std::string value;
    EXPECT_TRUE(again.ReadCell(value, 3, 2)) << file;
    EXPECT_EQ(value, "c") << file;
  }
}

TEST_F(Spreadsheet, ConvertingToAnUnusableWorkbookOrCommittingAfterADropReportsIt) {
  Put("C:\\n.csv", "\"h\"\r\n\"1\"\r\n");
  COdbcSpreadsheet text("C:\\n.csv", ",", false);
  MakeDirs("C:\\n.xls");  // no workbook can be made there
  EXPECT_FALSE(text.ConvertFormat("S"));
  COdbcSpreadsheet unusable("C:\\n.xls", "S", false);
  EXPECT_FALSE(unusable.AddHeaderRow({"A", "B"}, false));
  EXPECT_EQ(unusable.GetColumnCount(), 0);  // a header that was not written counts no column
  COdbcSpreadsheet book("C:\\d.xls", "S", false);
  ASSERT_TRUE(book.AddHeaderRow({"A"}, false));
  ASSERT_TRUE(book.DropSheet());
  EXPECT_FALSE(book.Commit());
  EXPECT_EQ(book.LastError(), "No header row. Add header row first\n");
}

TEST_F(Spreadsheet, ASheetThatFailedToDropIsStillRewrittenByCommit) {
  COdbcSpreadsheet book("C:\\k.xls", "S", false);
  ASSERT_TRUE(book.AddHeaderRow({"A"}, false));
  ASSERT_TRUE(book.StoreRow({"1"}, 0, false));
  const std::string file = Native("C:\\k.xls");
  std::filesystem::rename(file, file + ".away");
  std::filesystem::create_directory(file);  // the workbook cannot be opened
  EXPECT_FALSE(book.DropSheet());
  std::filesystem::remove(file);
  std::filesystem::rename(file + ".away", file);
  EXPECT_TRUE(book.Commit()) << book.LastError();
  COdbcSpreadsheet again("C:\\k.xls", "S", false);
  EXPECT_EQ(Row(again, 2), Strings{"1"});
}

// Dropping a sheet beside this object's own (another sheet, the backup sheet
// that its open made) changes nothing it holds: its next row and its next
// header write keep every row stored before. Only a drop of its own sheet,
// named in any case (the driver's names ignore it), empties the table, and the
// next header starts the sheet anew.
TEST_F(Spreadsheet, DroppingAnotherSheetKeepsThisOnesRows) {
  const struct {
    Strings dropped;
    bool own;
  } rows[] = {{{"Other", "CSpreadSheetBackup"}, false},
              {{"OTHER", "cspreadsheetbackup"}, false},
              {{"Other", "data"}, true},
              {{"DATA"}, true},
              {{"Data"}, true}};
  int n = 0;
  for (const auto& row : rows) {
    const std::string file = "C:\\drop" + std::to_string(++n) + ".xls";
    const std::string name = file + " " + row.dropped.back();
    {
      COdbcSpreadsheet other(file, "Other", false);
      ASSERT_TRUE(other.AddHeaderRow({"X"}, false)) << name;
      COdbcSpreadsheet data(file, "Data", false);
      ASSERT_TRUE(data.AddHeaderRow({"SN", "N"}, false)) << name;
      ASSERT_TRUE(data.StoreRow({"SN1", "1"}, 0, false)) << name;
      ASSERT_TRUE(data.StoreRow({"SN2", "2"}, 0, false)) << name;
    }
    {
      COdbcSpreadsheet sheet(file, "Data", true);
      ASSERT_TRUE(sheet.Backup()) << name;
      Strings values;
      ASSERT_TRUE(sheet.ReadRow(values, 2)) << name;  // the cursor at 3
      for (const std::string& dropped : row.dropped) ASSERT_TRUE(sheet.DropSheet(dropped)) << name << sheet.LastError();
      Strings names;
      sheet.GetFieldNames(names);
      if (row.own) {
        EXPECT_EQ(sheet.RowCount(), 0) << name;
        EXPECT_EQ(sheet.GetColumnCount(), 0) << name;
        EXPECT_TRUE(names.empty()) << name;
        EXPECT_FALSE(sheet.StoreExists()) << name;
        EXPECT_FALSE(sheet.StoreRow({"SN3", "3"}, 0, false)) << name;
        EXPECT_EQ(sheet.LastError(), "No header row. Add header row first\n") << name;
        ASSERT_TRUE(sheet.AddHeaderRow({"SN", "N"}, true)) << name << sheet.LastError();
        ASSERT_TRUE(sheet.StoreRow({"SN3", "3"}, 0, false)) << name << sheet.LastError();
      } else {
        EXPECT_EQ(sheet.RowCount(), 3) << name;
        EXPECT_EQ(sheet.GetColumnCount(), 2) << name;
        EXPECT_EQ(names, (Strings{"SN", "N"})) << name;
        EXPECT_EQ(sheet.CurrentRow(), 3) << name;
        EXPECT_TRUE(sheet.StoreExists()) << name;
        EXPECT_EQ(Row(sheet, 3), (Strings{"SN2", "2"})) << name;
        ASSERT_TRUE(sheet.StoreRow({"SN3", "3"}, 0, false)) << name << sheet.LastError();
        ASSERT_TRUE(sheet.AddHeaderRow({"SN", "N"}, true)) << name << sheet.LastError();
      }
    }
    COdbcSpreadsheet again(file, "Data", false);
    Strings names;
    again.GetFieldNames(names);
    EXPECT_EQ(names, (Strings{"SN", "N"})) << name;
    Strings serials;
    ASSERT_TRUE(again.ReadColumn(serials, 1)) << name;
    EXPECT_EQ(serials, row.own ? (Strings{"SN", "SN3"}) : (Strings{"SN", "SN1", "SN2", "SN3"})) << name;
    // The sheets named were dropped, and only they.
    const auto dropped = [&row](const char* sheet) {
      return std::any_of(row.dropped.begin(), row.dropped.end(),
                         [sheet](const std::string& name) { return platform::EqualsNoCase(name, sheet); });
    };
    COdbcSpreadsheet other(file, "Other", false);
    EXPECT_EQ(other.GetColumnCount(), dropped("Other") ? 0 : 1) << name;
    COdbcSpreadsheet backup(file, "Data", true);  // fails where the backup sheet is still there
    EXPECT_EQ(backup.Backup(), dropped("CSpreadSheetBackup")) << name;
  }
}

// What a successful call changed stays in memory: the next write of the same
// object writes it again, in both stores.
TEST_F(Spreadsheet, ASuccessfulCallStaysForTheNextWrite) {
  const struct {
    const char* name;
    std::function<bool(COdbcSpreadsheet&)> call;
    Strings header;
    std::int32_t cellRow;  // the row that holds "c" in column 2, or 0
  } calls[] = {
      {"cell on a new row", [](COdbcSpreadsheet& sheet) { return sheet.SetCell("c", 2, 0); }, {"SN", "N"}, 3},
      {"cell past the last row", [](COdbcSpreadsheet& sheet) { return sheet.SetCell("c", 2, 4); }, {"SN", "N"}, 4},
      {"cell by name on a new row", [](COdbcSpreadsheet& sheet) { return sheet.SetCell("c", "N", 3, false); },
       {"SN", "N"}, 3},
      {"header replaced", [](COdbcSpreadsheet& sheet) { return sheet.AddHeaderRow({"Serial", "Number"}, true); },
       {"Serial", "Number"}, 0},
  };
  int n = 0;
  for (const auto& [extension, sheetOrSeparator] : {std::pair{".xls", "S"}, std::pair{".csv", ","}}) {
    for (const auto& call : calls) {
      const std::string file = "C:\\kept" + std::to_string(++n) + extension;
      const std::string name = std::string(call.name) + " " + extension;
      std::int32_t last = 0;
      {
        COdbcSpreadsheet sheet(file, sheetOrSeparator, false);
        ASSERT_TRUE(sheet.AddHeaderRow({"SN", "N"}, false)) << name;
        ASSERT_TRUE(sheet.StoreRow({"SN1", "1"}, 0, false)) << name;
        ASSERT_TRUE(call.call(sheet)) << name << ": " << sheet.LastError();
        ASSERT_TRUE(sheet.StoreRow({"SN9", "9"}, 0, false)) << name << ": " << sheet.LastError();
        last = sheet.RowCount();
      }
      COdbcSpreadsheet again(file, sheetOrSeparator, false);
      Strings names;
      again.GetFieldNames(names);
      EXPECT_EQ(names, call.header) << name;
      EXPECT_EQ(again.RowCount(), last) << name;
      EXPECT_EQ(last, std::max(call.cellRow, 2) + 1) << name;
      EXPECT_EQ(Row(again, 2), (Strings{"SN1", "1"})) << name;
      if (call.cellRow != 0) {
        std::string value;
        EXPECT_TRUE(again.ReadCell(value, 2, call.cellRow)) << name;
        EXPECT_EQ(value, "c") << name;
      }
      EXPECT_EQ(Row(again, last), (Strings{"SN9", "9"})) << name;
    }
  }
}

// Rows and columns stop at a workbook's limits, so no call grows the table
// (or the file) without end.
TEST_F(Spreadsheet, RowsAndColumnsStopAtTheWorkbookLimits) {
  std::string full = "\"h\"\r\n";
  for (int row = 2; row <= 65536; ++row) full += "\"x\"\r\n";
  Put("C:\\full.csv", full);
  Put("C:\\g.csv", "\"h\"\r\n");
  COdbcSpreadsheet big("C:\\full.csv", ",", false);
  COdbcSpreadsheet sheet("C:\\g.csv", ",", false);
  const Strings wide(257, "w");
  constexpr const char* kRows = "Row cannot be greater than 65536\n";
  constexpr const char* kColumns = "Column cannot be greater than 256\n";
  struct Row {
    const char* call;
    COdbcSpreadsheet& on;
    std::function<bool()> run;
    const char* text;
  } rows[] = {{"row 65537", sheet, [&] { return sheet.StoreRow({"x"}, 65537, false); }, kRows},
              {"cell row 2^31-1", sheet, [&] { return sheet.SetCell("x", 1, INT32_MAX); }, kRows},
              {"257 values", sheet, [&] { return sheet.StoreRow(wide, 2, false); }, kColumns},
              {"column IW", sheet, [&] { return sheet.SetCell("x", "IW", 1, true); }, kColumns},
              {"append to full", big, [&] { return big.StoreRow({"y"}, 0, false); }, kRows},
              {"cell appended to full", big, [&] { return big.SetCell("y", 1, 0); }, kRows},
              {"insert into full", big, [&] { return big.StoreRow({"y"}, 2, false); }, kRows}};
  for (const Row& row : rows) {
    EXPECT_FALSE(row.run()) << row.call;
    EXPECT_EQ(row.on.LastError(), row.text) << row.call;
  }
  EXPECT_EQ(ReadAll("C:\\g.csv"), "\"h\"\r\n");
  EXPECT_EQ(big.RowCount(), 65536);
  EXPECT_TRUE(sheet.StoreRow({"last"}, 65536, false));
  EXPECT_TRUE(big.StoreRow({"z"}, 65536, true));
}

TEST_F(Spreadsheet, AFifoIsNoTextFile) {
  ASSERT_EQ(::mkfifo(Native("C:\\p.csv").c_str(), 0644), 0);
  COdbcSpreadsheet sheet("C:\\p.csv", ",", true);
  EXPECT_EQ(sheet.LastError(), "Error in opening file\n");
  EXPECT_EQ(sheet.RowCount(), 0);
  EXPECT_FALSE(sheet.AddHeaderRow({"h"}, false));
  EXPECT_EQ(sheet.LastError(), "Error writing file\n");
  EXPECT_EQ(sheet.GetColumnCount(), 0);
  struct stat st;
  ASSERT_EQ(::stat(Native("C:\\p.csv").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(Spreadsheet, FindExcelDriverWalksOnlyWhatTheInstallerWrote) {
  struct Row {
    std::string list;
    int length;
    const char* driver;
  } rows[] = {{std::string("SQLite3\0Other\0\0", 15), -1, ""},
              {std::string("A\0My Excel\0\0", 12), -1, "My Excel"},
              {std::string("A\0My Excel\0\0", 12), 6, ""},  // cut inside the entry
              {std::string("A\0B\0Excel\0\0", 11), 4, ""}};
  for (const Row& row : rows) {
    FakeInstaller fake(row.list, row.length);
    COdbcSpreadsheet sheet("C:\\f.xls", "S", false);
    EXPECT_EQ(sheet.Driver(), row.driver) << row.length;
  }
}

}  // namespace
