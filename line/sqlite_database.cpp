// The SQLite driver: one file, one connection, statements prepared once.
#include <sqlite3.h>

#include "line/database.h"
#include "line/dialect.h"

namespace line {

namespace {

DbStatus StatusOf(int code) {
  switch (code & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return DbStatus::kOk;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
    case SQLITE_FULL:
      return DbStatus::kUnavailable;
    default:
      return DbStatus::kFailed;
  }
}

class SqliteStatement : public Statement {
 public:
  SqliteStatement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  ~SqliteStatement() override { sqlite3_finalize(stmt_); }

  void BindNull(int i) override { sqlite3_bind_null(stmt_, i); }
  void BindInt(int i, int64_t v) override { sqlite3_bind_int64(stmt_, i, v); }
  void BindDouble(int i, double v) override { sqlite3_bind_double(stmt_, i, v); }
  void BindText(int i, std::string_view v) override {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }

  bool Step() override {
    if (done_) return false;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    done_ = true;
    status_ = StatusOf(rc);
    (void)db_;
    return false;
  }
  void Reset() override {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    done_ = false;
    status_ = DbStatus::kOk;
  }

  bool IsNull(int c) override { return sqlite3_column_type(stmt_, c) == SQLITE_NULL; }
  int64_t Int(int c) override { return sqlite3_column_int64(stmt_, c); }
  double Double(int c) override { return sqlite3_column_double(stmt_, c); }
  void BindBlob(int i, std::string_view v) override {
    sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  std::string_view Blob(int c) override {
    const void* bytes = sqlite3_column_blob(stmt_, c);
    if (bytes == nullptr) return {};
    return {static_cast<const char*>(bytes), static_cast<size_t>(sqlite3_column_bytes(stmt_, c))};
  }
  std::string_view Text(int c) override {
    const unsigned char* text = sqlite3_column_text(stmt_, c);
    if (text == nullptr) return {};
    return {reinterpret_cast<const char*>(text),
            static_cast<size_t>(sqlite3_column_bytes(stmt_, c))};
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_;
  bool done_ = false;
};

// SQLite inserts fastest one prepared row at a time.
class SqliteInserter : public Inserter {
 public:
  SqliteInserter(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  ~SqliteInserter() override { sqlite3_finalize(stmt_); }

  void Null() override { sqlite3_bind_null(stmt_, ++column_); }
  void Int(int64_t v) override { sqlite3_bind_int64(stmt_, ++column_, v); }
  void Double(double v) override { sqlite3_bind_double(stmt_, ++column_, v); }
  void Text(std::string_view v) override {
    sqlite3_bind_text(stmt_, ++column_, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
  }
  DbStatus EndRow() override {
    int rc = sqlite3_step(stmt_);
    sqlite3_reset(stmt_);
    column_ = 0;
    (void)db_;
    return StatusOf(rc);
  }
  DbStatus Finish() override { return DbStatus::kOk; }
  void Discard() override {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    column_ = 0;
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_;
  int column_ = 0;
};

class SqliteDatabase : public Database {
 public:
  explicit SqliteDatabase(sqlite3* db) : db_(db) {}
  ~SqliteDatabase() override { sqlite3_close_v2(db_); }

  DialectKind dialect() const override { return DialectKind::kSqlite; }

  DbStatus Execute(const std::string& sql) override {
    char* message = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (message != nullptr) sqlite3_free(message);
    return StatusOf(rc);
  }

  std::unique_ptr<Statement> Prepare(const std::string& sql) override {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
        SQLITE_OK) {
      return nullptr;
    }
    return std::make_unique<SqliteStatement>(db_, stmt);
  }

  std::unique_ptr<Inserter> PrepareInsert(const std::string& table,
                                          const std::vector<std::string>& columns) override {
    std::string sql = "INSERT INTO " + table + " (";
    std::string values;
    for (size_t i = 0; i < columns.size(); ++i) {
      sql += (i > 0 ? ", " : "") + columns[i];
      values += i > 0 ? ", ?" : "?";
    }
    sql += ") VALUES (" + values + ")";
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
        SQLITE_OK) {
      return nullptr;
    }
    return std::make_unique<SqliteInserter>(db_, stmt);
  }

  DbStatus Begin() override { return Execute(BeginWrite(DialectKind::kSqlite)); }

  std::string error() const override { return sqlite3_errmsg(db_); }

 private:
  sqlite3* db_;
};

}  // namespace

std::unique_ptr<Database> OpenSqlite(const std::string& path, DbStatus* status,
                                     std::string* error) {
  sqlite3* db = nullptr;
  // One connection per thread of ours: no mutex inside SQLite needed.
  int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *status = DbStatus::kUnavailable;
    *error = db != nullptr ? sqlite3_errmsg(db) : "cannot open";
    sqlite3_close_v2(db);
    return nullptr;
  }
  auto out = std::make_unique<SqliteDatabase>(db);
  for (const std::string& sql : ConnectionSetup(DialectKind::kSqlite)) {
    DbStatus s = out->Execute(sql);
    if (s != DbStatus::kOk) {
      *status = s;
      *error = out->error();
      return nullptr;
    }
  }
  *status = DbStatus::kOk;
  return out;
}

}  // namespace line
