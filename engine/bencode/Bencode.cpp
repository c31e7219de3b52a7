#include "engine/bencode/Bencode.h"

#include "engine/bencode/QDictionaryElement.h"
#include "engine/bencode/QIntegerElement.h"
#include "engine/bencode/QListElement.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <new>

namespace {

constexpr std::size_t kGrowthSlack = 2048;

// Small pieces get slack so that a document of many short strings is not copied over
// and over; growth never falls below doubling so that large documents stay linear.
void Put(std::string& out, const char* data, std::size_t size) {
    if (out.capacity() - out.size() < size) {
        std::size_t wanted = out.size() + size + (size < kGrowthSlack ? kGrowthSlack : 0);
        out.reserve(std::max(wanted, out.capacity() * 2));
    }
    out.append(data, size);
}

void PutChar(std::string& out, char c) {
    Put(out, &c, 1);
}

void PutDecimal(std::string& out, std::int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    Put(out, digits, static_cast<std::size_t>(result.ptr - digits));
}

bool EncodeInto(const QElement& element, std::string& out) {
    if (!element.IsValid()) {
        return false;
    }
    const int kind = element.Kind();
    if (kind == QElement::kStringKind) {
        const std::string_view text = element.RawText();
        PutDecimal(out, static_cast<std::int64_t>(text.size()));
        PutChar(out, ':');
        Put(out, text.data(), text.size());
        if (element.HasInteger()) {
            PutChar(out, 'i');
            PutDecimal(out, element.Integer());
            PutChar(out, 'e');
        }
        return true;
    }
    if (kind == QElement::kDictionaryKind) {
        PutChar(out, 'd');
    } else if (kind == QElement::kListKind) {
        PutChar(out, 'l');
    }
    const int count = element.Count();
    for (int i = 0; i < count; ++i) {
        if (!EncodeInto(*element.ChildAt(i), out)) {
            return false;
        }
    }
    if (kind != QElement::kSequenceKind) {
        PutChar(out, 'e');
    }
    return true;
}

std::int64_t LengthOf(const QElement& element) {
    if (!element.IsValid()) {
        return 0;
    }
    if (element.Kind() == QElement::kStringKind) {
        return QIntegerElement::EncodedSize(element.TextLength(), element.HasInteger(), element.Integer());
    }
    std::int64_t total = element.Kind() == QElement::kSequenceKind ? 0 : 2;
    const int count = element.Count();
    for (int i = 0; i < count; ++i) {
        const std::int64_t child = LengthOf(*element.ChildAt(i));
        if (child <= 0) {
            return 0;
        }
        total += child;
        if (total > INT_MAX) {
            return 0;
        }
    }
    return total;
}

} // namespace

std::unique_ptr<QElement> CreateElementFor(char firstByte) {
    switch (firstByte) {
    case 'd':
    case 'D':
        return std::make_unique<QDictionaryElement>();
    case 'l':
    case 'L':
        return std::make_unique<QListElement>();
    default:
        if (firstByte >= '0' && firstByte <= '9') {
            return std::make_unique<QIntegerElement>();
        }
        return nullptr;
    }
}

std::unique_ptr<QElement> ParseElement(const char* text, std::size_t length) {
    if (text == nullptr || length == 0) {
        return nullptr;
    }
    try {
        std::unique_ptr<QElement> element = CreateElementFor(text[0]);
        if (!element || element->Parse(text, length) < 1) {
            return nullptr;
        }
        return element;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool Encode(const QElement* element, std::string& out) {
    if (element == nullptr) {
        return false;
    }
    const std::size_t start = out.size();
    try {
        if (EncodeInto(*element, out)) {
            return true;
        }
    } catch (const std::bad_alloc&) {
    }
    out.resize(start);
    return false;
}

int EncodedLength(const QElement* element) {
    return element == nullptr ? 0 : static_cast<int>(LengthOf(*element));
}

bool Reserve(const QElement* element, std::string& out) {
    const int length = EncodedLength(element);
    out.reserve(out.size() + static_cast<std::size_t>(length) + 1024);
    return length > 0;
}
