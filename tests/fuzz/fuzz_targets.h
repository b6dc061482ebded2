// Entry functions of the fuzz targets. Each takes one input, runs it through
// one part of the converters and aborts when a promise is broken; an Error
// is a clean refusal and passes. libFuzzer drives them (tests/fuzz/run.sh,
// built with -DRELAMOR_FUZZ=ON); the normal test suite replays the kept
// inputs of tests/fuzz/{seeds,regressions}/<target>/ through the same
// functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace relamor::fuzz {

using Entry = void (*)(const std::uint8_t* data, std::size_t size);

// The program's arguments, NUL-separated, through the option parsing.
void CommandLine(const std::uint8_t* data, std::size_t size);
// A statement in the original dialect through the translation, prepared on
// SQLite against the release 3.5 main database's schema.
void Dialect(const std::uint8_t* data, std::size_t size);
// "declared type\n", a value kind (n, i, r, t, b) and the value's bytes,
// through the conversion to the column's type.
void TypeConversion(const std::uint8_t* data, std::size_t size);
// A database file image, opened read-only and read table by table.
void DamagedDatabase(const std::uint8_t* data, std::size_t size);
// Schema text (CREATE and INSERT statements) of a new database, whose tables
// then get what the copy does to them: rows added row by row and
// set-based, defaults read, an UPDATE with LIKE.
void NewSchema(const std::uint8_t* data, std::size_t size);

// The entry of a target by its name (command_line, dialect, type_conversion,
// damaged_database, new_schema); nullptr for another name.
Entry FindTarget(std::string_view name);

}  // namespace relamor::fuzz
