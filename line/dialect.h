// Where SQLite and PostgreSQL differ, in one place. Everything else of the
// line's SQL is the same text on both.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "line/database.h"

namespace line {

// A schema statement written with the line's own words for what differs:
//   {key}        an integer key the database assigns, the table's primary key
//   {real}       a double
//   {blob}       bytes
//   {text}       text that sorts byte by byte (so both databases order alike)
//   {clustered}  after a table: stored in the order of its primary key
std::string RenderSchema(DialectKind dialect, std::string_view ddl);

// Starts a transaction that writes (and takes the write lock at once).
const char* BeginWrite(DialectKind dialect);

// Statements run on every new connection.
std::vector<std::string> ConnectionSetup(DialectKind dialect);

// Taken inside the migration's transaction, so that two programs opening a
// new database at once migrate it once.
const char* LockSchema(DialectKind dialect);

// '?' parameters as the database writes them: SQLite keeps them, PostgreSQL
// numbers them ($1, $2, ...). Quoted texts are left alone.
std::string NumberParameters(DialectKind dialect, std::string_view sql);

}  // namespace line
