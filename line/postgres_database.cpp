// The PostgreSQL driver, over libpq: statements prepared on the server, rows
// streamed one at a time (single-row mode), bulk inserts as multi-row
// INSERTs. Values travel as text; doubles in their shortest exact form, so
// both databases hold bit for bit the same numbers.
#include <libpq-fe.h>

#include <charconv>
#include <cstring>
#include <map>

#include "line/database.h"
#include "line/dialect.h"

namespace line {

namespace {

void AppendDouble(std::string* out, double v) {
  char text[32];
  auto end = std::to_chars(text, text + sizeof text, v).ptr;
  out->append(text, static_cast<size_t>(end - text));
}

// Bound values as the text libpq sends.
class Parameters {
 public:
  void Set(int index, const char* text, size_t size, bool null) {
    size_t i = static_cast<size_t>(index - 1);
    if (values_.size() <= i) {
      values_.resize(i + 1);
      nulls_.resize(i + 1, true);
    }
    nulls_[i] = null;
    values_[i].assign(text, size);
  }
  void Clear() {
    values_.clear();
    nulls_.clear();
  }
  // Pointers for libpq, valid until the next change.
  const std::vector<const char*>& Pointers() {
    pointers_.resize(values_.size());
    for (size_t i = 0; i < values_.size(); ++i) {
      pointers_[i] = nulls_[i] ? nullptr : values_[i].c_str();
    }
    return pointers_;
  }

 private:
  std::vector<std::string> values_;
  std::vector<bool> nulls_;
  std::vector<const char*> pointers_;
};

DbStatus StatusOfConnection(PGconn* conn) {
  return PQstatus(conn) == CONNECTION_OK ? DbStatus::kFailed : DbStatus::kUnavailable;
}

class PostgresStatement : public Statement {
 public:
  PostgresStatement(PGconn* conn, std::string name) : conn_(conn), name_(std::move(name)) {}
  ~PostgresStatement() override {
    Drain();
    std::string sql = "DEALLOCATE " + name_;
    PQclear(PQexec(conn_, sql.c_str()));
  }

  void BindNull(int i) override { params_.Set(i, "", 0, true); }
  void BindInt(int i, int64_t v) override {
    char text[24];
    auto end = std::to_chars(text, text + sizeof text, v).ptr;
    params_.Set(i, text, static_cast<size_t>(end - text), false);
  }
  void BindDouble(int i, double v) override {
    std::string text;
    AppendDouble(&text, v);
    params_.Set(i, text.data(), text.size(), false);
  }
  void BindText(int i, std::string_view v) override { params_.Set(i, v.data(), v.size(), false); }
  // bytea in its text form: \x and two hex digits a byte.
  void BindBlob(int i, std::string_view v) override {
    static const char kHex[] = "0123456789abcdef";
    std::string text = "\\x";
    for (char c : v) {
      text += kHex[(static_cast<unsigned char>(c) >> 4) & 15];
      text += kHex[static_cast<unsigned char>(c) & 15];
    }
    params_.Set(i, text.data(), text.size(), false);
  }
  std::string_view Blob(int c) override {
    std::string_view text = Text(c);
    bytes_.clear();
    auto digit = [](char h) { return h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10; };
    for (size_t k = 2; k + 1 < text.size(); k += 2) {
      bytes_ += static_cast<char>(digit(text[k]) << 4 | digit(text[k + 1]));
    }
    return bytes_;
  }

  bool Step() override {
    if (done_) return false;
    if (!sent_) {
      const auto& p = params_.Pointers();
      if (PQsendQueryPrepared(conn_, name_.c_str(), static_cast<int>(p.size()), p.data(), nullptr,
                              nullptr, 0) != 1 ||
          PQsetSingleRowMode(conn_) != 1) {
        return Fail();
      }
      sent_ = true;
    }
    PQclear(row_);
    row_ = PQgetResult(conn_);
    if (row_ == nullptr) return End(DbStatus::kOk);
    switch (PQresultStatus(row_)) {
      case PGRES_SINGLE_TUPLE:
        return true;
      case PGRES_TUPLES_OK:
      case PGRES_COMMAND_OK:
        return End(DbStatus::kOk);
      default:
        return Fail();
    }
  }

  void Reset() override {
    Drain();
    params_.Clear();
    sent_ = false;
    done_ = false;
    status_ = DbStatus::kOk;
  }

  bool IsNull(int c) override { return PQgetisnull(row_, 0, c) != 0; }
  int64_t Int(int c) override {
    const char* text = PQgetvalue(row_, 0, c);
    int64_t v = 0;
    std::from_chars(text, text + std::strlen(text), v);
    return v;
  }
  double Double(int c) override {
    const char* text = PQgetvalue(row_, 0, c);
    double v = 0;
    std::from_chars(text, text + std::strlen(text), v);
    return v;
  }
  std::string_view Text(int c) override {
    return {PQgetvalue(row_, 0, c), static_cast<size_t>(PQgetlength(row_, 0, c))};
  }

 private:
  bool End(DbStatus status) {
    Drain();
    done_ = true;
    status_ = status;
    return false;
  }
  bool Fail() { return End(StatusOfConnection(conn_)); }
  // Reads what is left of the query's results, so the connection is free.
  void Drain() {
    PQclear(row_);
    row_ = nullptr;
    if (!sent_) return;
    while (PGresult* r = PQgetResult(conn_)) {
      if (status_ == DbStatus::kOk && PQresultStatus(r) == PGRES_FATAL_ERROR) {
        status_ = StatusOfConnection(conn_);
      }
      PQclear(r);
    }
    sent_ = false;
  }

  PGconn* conn_;
  std::string name_;
  Parameters params_;
  PGresult* row_ = nullptr;
  std::string bytes_;  // Blob's
  bool sent_ = false;
  bool done_ = false;
};

// Rows gathered into one multi-row INSERT, sent when enough have come. The
// values sit in one buffer, so a record's rows cost no allocation each.
class PostgresInserter : public Inserter {
 public:
  PostgresInserter(PGconn* conn, std::string head, size_t columns)
      : conn_(conn), head_(std::move(head)), columns_(columns) {}

  void Null() override { offsets_.push_back(kNull); }
  void Int(int64_t v) override {
    char text[24];
    auto end = std::to_chars(text, text + sizeof text, v).ptr;
    Add(text, static_cast<size_t>(end - text));
  }
  void Double(double v) override {
    char text[32];
    auto end = std::to_chars(text, text + sizeof text, v).ptr;
    Add(text, static_cast<size_t>(end - text));
  }
  void Text(std::string_view v) override { Add(v.data(), v.size()); }

  DbStatus EndRow() override {
    ++rows_;
    return rows_ * columns_ >= kMaxParameters ? Finish() : DbStatus::kOk;
  }

  DbStatus Finish() override {
    if (rows_ == 0) return DbStatus::kOk;
    std::string& sql = Statement(rows_);
    pointers_.resize(offsets_.size());
    for (size_t i = 0; i < offsets_.size(); ++i) {
      pointers_[i] = offsets_[i] == kNull ? nullptr : data_.c_str() + offsets_[i];
    }
    PGresult* res = PQexecParams(conn_, sql.c_str(), static_cast<int>(offsets_.size()), nullptr,
                                 pointers_.data(), nullptr, nullptr, 0);
    bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
    PQclear(res);
    Discard();
    return ok ? DbStatus::kOk : StatusOfConnection(conn_);
  }

  void Discard() override {
    data_.clear();
    offsets_.clear();
    rows_ = 0;
  }

 private:
  // PostgreSQL takes at most 65535 parameters in one statement.
  static constexpr size_t kMaxParameters = 8000;
  static constexpr size_t kNull = static_cast<size_t>(-1);

  void Add(const char* text, size_t size) {
    offsets_.push_back(data_.size());
    data_.append(text, size);
    data_.push_back('\0');
  }

  // The INSERT text for a number of rows, made once per number.
  std::string& Statement(size_t rows) {
    std::string& sql = statements_[rows];
    if (!sql.empty()) return sql;
    sql = head_;
    size_t n = 0;
    for (size_t r = 0; r < rows; ++r) {
      sql += r > 0 ? ",(" : "(";
      for (size_t c = 0; c < columns_; ++c) sql += (c > 0 ? ",$" : "$") + std::to_string(++n);
      sql += ")";
    }
    return sql;
  }

  PGconn* conn_;
  std::string head_;
  size_t columns_;
  std::string data_;
  std::vector<size_t> offsets_;
  std::vector<const char*> pointers_;
  std::map<size_t, std::string> statements_;
  size_t rows_ = 0;
};

class PostgresDatabase : public Database {
 public:
  explicit PostgresDatabase(PGconn* conn) : conn_(conn) {}
  ~PostgresDatabase() override { PQfinish(conn_); }

  DialectKind dialect() const override { return DialectKind::kPostgres; }

  DbStatus Execute(const std::string& sql) override {
    PGresult* res = PQexec(conn_, sql.c_str());
    ExecStatusType s = PQresultStatus(res);
    PQclear(res);
    if (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK) return DbStatus::kOk;
    return StatusOfConnection(conn_);
  }

  std::unique_ptr<Statement> Prepare(const std::string& sql) override {
    std::string name = "qxline_" + std::to_string(++statements_);
    std::string text = NumberParameters(DialectKind::kPostgres, sql);
    PGresult* res = PQprepare(conn_, name.c_str(), text.c_str(), 0, nullptr);
    bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
    PQclear(res);
    if (!ok) return nullptr;
    return std::make_unique<PostgresStatement>(conn_, name);
  }

  std::unique_ptr<Inserter> PrepareInsert(const std::string& table,
                                          const std::vector<std::string>& columns) override {
    std::string head = "INSERT INTO " + table + " (";
    for (size_t i = 0; i < columns.size(); ++i) head += (i > 0 ? ", " : "") + columns[i];
    head += ") VALUES ";
    return std::make_unique<PostgresInserter>(conn_, head, columns.size());
  }

  DbStatus Begin() override { return Execute(BeginWrite(DialectKind::kPostgres)); }

  std::string error() const override {
    std::string text = PQerrorMessage(conn_);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

 private:
  PGconn* conn_;
  int statements_ = 0;
};

}  // namespace

std::unique_ptr<Database> OpenPostgres(const std::string& url, DbStatus* status,
                                       std::string* error) {
  // A server that does not answer is given up after a few seconds (unless
  // the URL sets its own connect_timeout).
  const char* keys[] = {"connect_timeout", "dbname", nullptr};
  const char* values[] = {"5", url.c_str(), nullptr};
  PGconn* conn = PQconnectdbParams(keys, values, 1);
  if (PQstatus(conn) != CONNECTION_OK) {
    *status = DbStatus::kUnavailable;
    *error = PQerrorMessage(conn);
    while (!error->empty() && (error->back() == '\n' || error->back() == ' ')) error->pop_back();
    PQfinish(conn);
    return nullptr;
  }
  auto out = std::make_unique<PostgresDatabase>(conn);
  for (const std::string& sql : ConnectionSetup(DialectKind::kPostgres)) {
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
