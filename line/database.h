// One query layer over SQLite and PostgreSQL. The line's SQL is written once,
// with '?' for parameters; what differs between the two (types in the schema,
// how a transaction takes its lock, how rows are inserted in bulk, how a
// connection is set up) is kept in line/dialect.cpp and in the two drivers.
// Errors are status codes with a text; nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace line {

enum class DbStatus {
  kOk = 0,
  kUnavailable,  // the database cannot be reached (or is locked): try again later
  kFailed,       // the statement itself failed
};

enum class DialectKind { kSqlite, kPostgres };

// A prepared statement. Parameters are bound from 1; columns are read from 0.
// A query's rows are streamed: memory does not grow with their number.
class Statement {
 public:
  virtual ~Statement() = default;
  virtual void BindNull(int index) = 0;
  virtual void BindInt(int index, int64_t value) = 0;
  virtual void BindDouble(int index, double value) = 0;
  virtual void BindText(int index, std::string_view value) = 0;
  virtual void BindBlob(int index, std::string_view bytes) = 0;

  // Runs the statement (on its first call) and moves to the next row: true
  // with a row, false at the end or on an error (then status() tells).
  virtual bool Step() = 0;
  // Ready to run again with new parameters.
  virtual void Reset() = 0;

  virtual bool IsNull(int column) = 0;
  virtual int64_t Int(int column) = 0;
  virtual double Double(int column) = 0;
  virtual std::string_view Text(int column) = 0;
  // Bytes, valid until the next Step.
  virtual std::string_view Blob(int column) = 0;

  DbStatus status() const { return status_; }

 protected:
  DbStatus status_ = DbStatus::kOk;
};

// Rows appended to one table in the current transaction, as fast as the
// database takes them: each value in column order, then EndRow.
class Inserter {
 public:
  virtual ~Inserter() = default;
  virtual void Null() = 0;
  virtual void Int(int64_t value) = 0;
  virtual void Double(double value) = 0;
  virtual void Text(std::string_view value) = 0;
  virtual DbStatus EndRow() = 0;
  // Writes what is still buffered; the rows are in the table afterwards.
  virtual DbStatus Finish() = 0;
  // Drops what is buffered (after a failure, before the rollback).
  virtual void Discard() = 0;
};

class Database {
 public:
  virtual ~Database() = default;
  virtual DialectKind dialect() const = 0;
  // Statements without rows or parameters (the schema, a transaction's ends).
  virtual DbStatus Execute(const std::string& sql) = 0;
  virtual std::unique_ptr<Statement> Prepare(const std::string& sql) = 0;
  virtual std::unique_ptr<Inserter> PrepareInsert(const std::string& table,
                                                  const std::vector<std::string>& columns) = 0;
  // A transaction that writes: it holds the database's write lock from its
  // start, so two loaders never deadlock.
  virtual DbStatus Begin() = 0;
  DbStatus Commit() { return Execute("COMMIT"); }
  DbStatus Rollback() { return Execute("ROLLBACK"); }
  // The last error, for messages.
  virtual std::string error() const = 0;
};

// Opens the database a --db value names: "postgresql://..." or
// "postgres://..." (libpq's connection URI) is a PostgreSQL server, anything
// else an SQLite file, created when missing. The schema is brought to the
// current version. On failure returns null with *status and *error set.
std::unique_ptr<Database> OpenDatabase(const std::string& url, DbStatus* status,
                                       std::string* error);
bool IsPostgresUrl(const std::string& url);

// Drivers, for OpenDatabase (line/sqlite_database.cpp, line/postgres_database.cpp).
std::unique_ptr<Database> OpenSqlite(const std::string& path, DbStatus* status, std::string* error);
std::unique_ptr<Database> OpenPostgres(const std::string& url, DbStatus* status,
                                       std::string* error);

}  // namespace line
