#pragma once
// INI ("profile") files with the behaviour the program's persistence relies on:
// section and key names compare without regard to ASCII case, a missing value gives
// the default, the first write creates the file, a write keeps every other section,
// key, comment and line as it was. A write goes to a new file that is flushed and
// renamed over the old one, so a crash never leaves a half-written file; writers in
// one process take turns, so concurrent writes of different keys all land.
//
// The format: "[name]" opens a section; "key = value" lines belong to the section
// above them (keys before the first section are never found); lines starting with
// ';' or '#' are comments. Blanks around names and values do not count. Names are
// GBK: only ASCII letters fold, and the second byte of a double-byte character is
// never taken for a letter or a bracket. Lines may end in LF or CR LF; a write keeps
// the ending the file already uses, and a new file gets LF. A leading UTF-8 byte
// order mark is skipped and kept. Paths are handed to the system unchanged.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// Copies the value (or def, or "" when def is null) into out, cut to size - 1 bytes
// and always terminated; returns the number of bytes copied without the terminator.
// size 0 copies nothing and returns 0. A value enclosed in one pair of double
// quotes is returned without them; trailing blanks of def are dropped. A missing or
// unreadable file reads as empty.
// A null key lists the section's key names, a null section all section names: each
// name followed by '\0', the list by one more; a list too long for out is cut,
// ends in two terminators and gives size - 2.
uint32_t GetProfileString(const char* section, const char* key, const char* def, char* out, uint32_t size,
                          const char* path);

// The value read as a decimal integer (leading blanks and one '-' allowed, reading
// stops at the first non-digit, no digits give 0, values beyond int saturate); def
// when the key is missing or its value is empty.
int GetProfileInt(const char* section, const char* key, int def, const char* path);

// Sets key = value in section, adding the section at the end and the key at the end
// of its section when missing. A null value removes the key; a null key removes the
// whole section (and a write that changes nothing writes nothing, so removing from a
// missing file does not create it). Returns false when the file cannot be read or
// written (the old file is then untouched), and refuses (false, nothing written)
// text that would not read back as written: a line break anywhere, '=' in a key or
// a key starting with '[', ';' or '#', ']' in a section name.
bool WriteProfileString(const char* section, const char* key, const char* value, const char* path);

// Sets several keys of one section in one write of the file, as WriteProfileString
// would set each in turn; one key that is refused refuses them all (nothing written).
// Values that belong together (two halves of a number, the four parts of a finish
// record) are thus never seen half written, and the file is replaced once, not once
// per key.
bool WriteProfileStrings(const char* section, const std::vector<std::pair<std::string, std::string>>& values,
                         const char* path);

} // namespace platform
