// Values in one line of JSON-lines text, found by key without parsing JSON.
//
// A value is found by a textual search for the first occurrence of "key":
// anywhere in the line (case-sensitive, no space before the colon; also
// inside nested objects or other values), after which only spaces and tabs
// are skipped. The ply-log and fixture readers, and the packer's named keys,
// all read their lines this way. Every lookup returns OK, ERR_NULL (an
// argument absent, or a key of 60 bytes or more), KEY_ABSENT or KEY_NO_VALUE.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/result.h"

namespace q4d {

// The first byte at or after p that is neither a space nor a tab.
const char* skip_blanks(const char* p);

// Points *value at the first byte after "key": and any spaces and tabs.
Result find_key(const char* line, const char* key, const char** value);

// A double-quoted string value: every byte up to the next double quote, with
// no escape processing. *start points into the line; the line must hold the
// closing quote.
Result find_string_value(const char* line, const char* key, const char** start, std::size_t* length);

// Base-10 integer starting at `text` with an optional "-" then digits,
// saturating at the int64 limits; stops at the first other byte, so "1.5"
// reads 1 and a lone "-" reads 0. Returns the end of the digits.
const char* ndjson4_parse_integer(const char* text, std::int64_t* value);

// An integer value: must start with "-" or a digit (a quoted or other value
// counts as absent), read by ndjson4_parse_integer.
Result find_int_key(const char* line, const char* key, std::int64_t* value);

// A list of exactly four integers, "[a, b, c, d]", with spaces and tabs
// allowed around the elements. Each element is a run of minus signs and
// digits, read as ndjson4_parse_integer reads it. On any deviation the whole
// list counts as absent (KEY_NO_VALUE) and `values` is left untouched.
Result find_int_array4(const char* line, const char* key, std::int64_t values[4]);

// A number: an optional "-", digits, then optionally "." and digits and an
// exponent ("e" or "E", a sign, digits), read to the nearest double (beyond
// its range: an infinity or zero of the number's sign). Anything else, a
// quoted number or null included, is KEY_NO_VALUE and leaves *value as it was.
Result find_number_key(const char* line, const char* key, double* value);

}  // namespace q4d
