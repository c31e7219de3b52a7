#pragma once
// Conversions between the program's text form (GBK, code page 936) and the forms
// the screen, the terminal and the file system want. Texts stay GBK everywhere
// else; convert only where a text is shown or handed to the system.
#include <string>
#include <string_view>

namespace platform {

// Bytes that do not form a valid character of the source encoding, and characters
// the target encoding lacks, become '?'. An empty input gives an empty output.
std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);
std::u16string GbkToUtf16(std::string_view gbk);
std::string Utf16ToGbk(std::u16string_view utf16);
std::wstring GbkToWide(std::string_view gbk);
std::string WideToGbk(std::wstring_view wide);

// Any pair of iconv encoding names ("GBK", "BIG5", "EUC-KR", "SHIFT_JIS", "UTF-8", ...).
// Returns false, leaving out empty, when an encoding is unknown or the input holds
// a byte sequence that is invalid in `from`.
bool ConvertEncoding(std::string_view in, const char* from, const char* to, std::string& out);

} // namespace platform
