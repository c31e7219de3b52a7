#pragma once
// INI ("profile") files with the behaviour the program's persistence relies on:
// section and key names compare without regard to ASCII case, a missing value gives
// the default, the first write creates the file, a write keeps every other section,
// key, comment and line as it was. A write goes to a new file that is flushed and
// renamed over the old one, so a crash never leaves a half-written file.
#include <cstdint>

namespace platform {

// Copies the value (or def, or "" when def is null) into out, cut to size - 1 bytes
// and always terminated; returns the number of bytes copied without the terminator.
// size 0 copies nothing and returns 0. A value enclosed in one pair of double
// quotes is returned without them.
uint32_t GetProfileString(const char* section, const char* key, const char* def, char* out, uint32_t size,
                          const char* path);

// The value read as a decimal integer (leading blanks and one '-' allowed, reading
// stops at the first non-digit, no digits give 0); def when the key is missing.
int GetProfileInt(const char* section, const char* key, int def, const char* path);

// Sets key = value in section, adding the section at the end and the key at the end
// of its section when missing. A null value removes the key; a null key removes the
// whole section. Returns false when the file cannot be written (the old file is then
// untouched).
bool WriteProfileString(const char* section, const char* key, const char* value, const char* path);

} // namespace platform
