#pragma once
// The string element, named for the integer it may carry: the integer that directly
// follows a string in the bencoded bytes belongs to that string ("4:porti6881e" is one
// element). A bare integer is never an element of its own.
#include "engine/bencode/QElement.h"

#include <memory>

class QIntegerElement : public QElement {
public:
    QIntegerElement() : QElement(kStringKind) {}

    // A new valid string element. A negative length measures a 0-terminated text.
    // Refuses a null text and an empty text with an integer: such an element could be
    // read back, but no writer of ours ever means it.
    static std::unique_ptr<QIntegerElement> Create(const char* text, int length, std::int64_t integer,
                                                   bool hasInteger);

    // "<length>:<bytes>", then "i<integer>e" when the next byte is 'i' or 'I'. The integer
    // is an optional '-' and decimal digits that fit 64 bits (leading zeros are read);
    // anything else between 'i' and 'e' fails rather than being read partially.
    int Parse(const char* text, std::size_t length) override;
    std::string Text(std::string_view separator = {}) const override;

    // Bytes the bencoded form of a string element takes.
    static std::int64_t EncodedSize(std::int64_t textLength, bool hasInteger, std::int64_t integer);
};
