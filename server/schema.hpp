#pragma once
#include <pqxx/pqxx>

// The server's tables, made and brought up to date at start by numbered
// steps recorded in schema_version, one transaction each, under an advisory
// lock so that several servers and workers may start at once.
namespace server {

// The number of the last step this build knows.
int schema_latest();

// Applies every step not yet applied; returns the version the database is
// at. Throws when the database is newer than this build.
int migrate(pqxx::connection& c);

}  // namespace server
