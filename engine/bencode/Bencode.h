#pragma once
// Reading and writing whole bencoded documents with the QElement tree.
#include "engine/bencode/QElement.h"

#include <cstddef>
#include <memory>
#include <string>

// The element class that the byte starting an element asks for: a dictionary for 'd' or
// 'D', a list for 'l' or 'L', a string element for a digit; null for anything else (an
// integer never starts an element).
std::unique_ptr<QElement> CreateElementFor(char firstByte);

// Parses the element at the start of text. Null when the input is empty or malformed;
// never throws. Bytes after the element are ignored; the root's EncodedLength() says how
// many were used. Positions in the tree point into text.
std::unique_ptr<QElement> ParseElement(const char* text, std::size_t length);

// Appends the bencoded form of element to out. Fails, leaving out as it was, when any
// element of the tree is invalid.
bool Encode(const QElement* element, std::string& out);

// The bytes Encode() would append; 0 when some part of the tree is invalid.
int EncodedLength(const QElement* element);

// Makes room in out for the encoded element and 1 024 bytes more. False when the element
// cannot be encoded.
bool Reserve(const QElement* element, std::string& out);
