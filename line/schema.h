// The line's database schema, versioned: schema_version holds one row per
// migration applied. Opening a database brings it to the latest version.
#pragma once

#include <string>

#include "line/database.h"

namespace line {

int LatestSchemaVersion();
// Applies the migrations the database lacks, in one transaction. A database
// of a newer version than this program knows is refused.
DbStatus Migrate(Database& db, std::string* error);

}  // namespace line
