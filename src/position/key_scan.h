// Values in one line of JSON-lines text, found by key without parsing JSON.
//
// A value is found by a textual search for the first occurrence of "key":
// anywhere in the line (case-sensitive, no space before the colon; also
// inside nested objects or other values), after which only spaces and tabs
// are skipped. The ply-log and fixture readers both read their lines this way.
#pragma once

#include <cstddef>

namespace q4d {

enum KeyScanResult {
  KEY_OK = 0,
  KEY_ERR_NULL = -1,      // line, key or output absent, or key too long
  KEY_ABSENT = -2,        // "key": does not occur in the line
  KEY_NO_VALUE = -3,      // the key is there but its value is not readable
};

// The first byte at or after p that is neither a space nor a tab.
const char* skip_blanks(const char* p);

// Points *value at the first byte after "key": and any spaces and tabs.
int find_key(const char* line, const char* key, const char** value);

// A double-quoted string value: every byte up to the next double quote, with
// no escape processing. *start points into the line; the line must hold the
// closing quote.
int find_string_value(const char* line, const char* key, const char** start, std::size_t* length);

}  // namespace q4d
