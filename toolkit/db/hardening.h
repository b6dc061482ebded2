// What keeps the text inside a database file from acting with the program's
// powers. Every connection is hardened before it runs a statement: defensive
// mode (no writable schema, no journal switched off, no shadow-table writes),
// schema text (views, triggers, defaults, CHECKs, indexes) limited to
// innocuous functions, no two-argument fts3_tokenizer, no extension loading.
// Every file is opened by a URI this file builds from its absolute path, so a
// path that begins with "file:" or holds '?' or '#' names a file and nothing
// else. And a column DEFAULT, text from a schema, is never run on the
// database's connection: it is evaluated apart, under the rules SQLite
// applies to schema text.
#pragma once

#include <string>

#include "toolkit/db/value.h"

struct sqlite3;

namespace relamor::db::detail {

// Applies the settings above to a fresh connection; false when SQLite
// refuses one of them (the connection must not be used then).
bool Harden(sqlite3* db);

// "file://" and the absolute path of `path` (made absolute against the
// current directory), with '%', '?', '#', blanks, control and non-ASCII
// bytes percent-escaped.
std::string FileUri(const std::string& path);

// Evaluates the DEFAULT expression `expression` of a column on a private,
// hardened in-memory connection whose authorizer lets through the SELECT of
// the expression and only the functions SQLite allows in untrusted schema
// text: innocuous ones, never a direct-only one. Returns false, leaving
// `out` unchanged, when the expression is refused or fails.
bool EvaluateDefault(const std::string& expression, Value& out);

}  // namespace relamor::db::detail
