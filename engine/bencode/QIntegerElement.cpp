#include "engine/bencode/QIntegerElement.h"

#include "platform/TextEncoding.h"

#include <climits>
#include <cstring>
#include <new>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int DecimalDigits(std::int64_t value) {
    // The minus sign counts as a digit; the magnitude is taken unsigned so that the
    // most negative value does not overflow.
    int digits = value < 0 ? 1 : 0;
    std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
        ++digits;
        magnitude /= 10;
    } while (magnitude != 0);
    return digits;
}

// The text between 'i' and 'e'. Returns false for anything but an optional '-' followed
// by at least one digit, and for values outside the 64-bit range.
bool ReadInteger(const char* digits, std::size_t count, std::int64_t& value) {
    std::size_t pos = 0;
    const bool negative = count > 0 && digits[0] == '-';
    if (negative) {
        ++pos;
    }
    if (pos == count) {
        return false;
    }
    // Accumulated as a negative number: its range reaches one further than the positive.
    std::int64_t result = 0;
    for (; pos < count; ++pos) {
        if (!IsDigit(digits[pos])) {
            return false;
        }
        const int digit = digits[pos] - '0';
        if (result < (INT64_MIN + digit) / 10) {
            return false;
        }
        result = result * 10 - digit;
    }
    if (!negative) {
        if (result == INT64_MIN) {
            return false;
        }
        result = -result;
    }
    value = result;
    return true;
}

bool IsPlainAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

std::string EncodingName(int codePage) {
    switch (codePage) {
    case 936:
        return "GBK";
    case 54936:
        return "GB18030";
    case 950:
        return "BIG5";
    case 949:
        return "CP949";
    case 932:
        return "CP932";
    case 65001:
        return "UTF-8";
    case 1200:
        return "UTF-16LE";
    case 1201:
        return "UTF-16BE";
    case 20127:
        return "ASCII";
    case 28591:
        return "ISO-8859-1";
    default:
        // iconv knows the Windows and DOS code pages by these names (CP1252, CP874, ...).
        return "CP" + std::to_string(codePage);
    }
}

} // namespace

std::unique_ptr<QIntegerElement> QIntegerElement::Create(const char* text, int length, std::int64_t integer,
                                                         bool hasInteger) {
    if (text == nullptr) {
        return nullptr;
    }
    if (length < 0) {
        const std::size_t measured = std::strlen(text);
        if (measured > static_cast<std::size_t>(INT_MAX)) {
            return nullptr;
        }
        length = static_cast<int>(measured);
    }
    const bool carriesInteger = hasInteger || integer != 0;
    if (length == 0 && carriesInteger) {
        return nullptr;
    }
    const std::int64_t size = EncodedSize(length, carriesInteger, integer);
    if (size > INT_MAX) {
        return nullptr;
    }
    auto element = std::make_unique<QIntegerElement>();
    element->SetText(text, length);
    element->hasInteger_ = hasInteger ? 1 : 0;
    element->integer_ = integer;
    element->validKind_ = kStringKind;
    element->encodedLength_ = static_cast<int>(size);
    return element;
}

std::int64_t QIntegerElement::EncodedSize(std::int64_t textLength, bool hasInteger, std::int64_t integer) {
    std::int64_t size = DecimalDigits(textLength) + textLength + 1;
    if (hasInteger) {
        size += DecimalDigits(integer) + 2;
    }
    return size;
}

int QIntegerElement::Parse(const char* text, std::size_t length) {
    Reset();
    if (text == nullptr || length == 0 || length > static_cast<std::size_t>(INT_MAX) || !IsDigit(text[0])) {
        return kParseNothing;
    }
    const int size = static_cast<int>(length);
    int pos = 0;
    std::int64_t textLength = 0;
    while (pos < size && IsDigit(text[pos])) {
        textLength = textLength * 10 + (text[pos] - '0');
        if (textLength > INT_MAX) {
            // No input we accept is that long; stop before the value overflows.
            return kParseBadLength;
        }
        ++pos;
    }
    if (pos == size || text[pos] != ':') {
        return kParseMalformed;
    }
    ++pos;
    if (textLength > size - pos) {
        return kParseBadLength;
    }
    const char* bytes = text + pos;
    pos += static_cast<int>(textLength);

    bool hasInteger = false;
    std::int64_t integer = 0;
    if (pos < size && (text[pos] == 'i' || text[pos] == 'I')) {
        ++pos;
        const int digitsStart = pos;
        while (pos < size && static_cast<unsigned char>(text[pos]) >= 0x01 && text[pos] <= '9') {
            ++pos;
        }
        if (pos == size || text[pos] != 'e') {
            return kParseMalformed;
        }
        if (!ReadInteger(text + digitsStart, static_cast<std::size_t>(pos - digitsStart), integer)) {
            return kParseMalformed;
        }
        ++pos;
        hasInteger = true;
    }

    try {
        SetText(bytes, static_cast<int>(textLength));
    } catch (const std::bad_alloc&) {
        ClearContent();
        return kParseMalformed;
    }
    position_ = text;
    hasInteger_ = hasInteger ? 1 : 0;
    integer_ = integer;
    validKind_ = kStringKind;
    encodedLength_ = pos;
    return pos;
}

std::string QIntegerElement::Text(std::string_view) const {
    const std::string_view raw = RawText();
    if (codePage_ == 0 || codePage_ == DefaultCodePage() || IsPlainAscii(raw)) {
        return std::string(raw);
    }
    // Through UTF-16, so that any pair of code pages works the same way. A text that is
    // not valid in its code page is handed back untouched rather than mangled.
    std::string utf16;
    std::string converted;
    if (platform::ConvertEncoding(raw, EncodingName(codePage_).c_str(), "UTF-16LE", utf16) &&
        platform::ConvertEncoding(utf16, "UTF-16LE", EncodingName(kAnsiCodePage).c_str(), converted)) {
        return converted;
    }
    return std::string(raw);
}
