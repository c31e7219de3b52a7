// Feeds arbitrary bytes to the bencode reader. Whatever it accepts must be writable, and
// what is written must read back to the very same bytes: torrents, resume records and
// tracker replies go through both directions.
#include "engine/bencode/Bencode.h"
#include "engine/bencode/QMultiElement.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_bencode: %s\n", what);
    std::abort();
}

// Exact-size copy, so that a read past the end of the encoding is caught as well.
std::unique_ptr<QElement> ParseCopy(const std::string& bytes, std::vector<char>& storage) {
    storage.assign(bytes.begin(), bytes.end());
    return ParseElement(storage.data(), storage.size());
}

// The child links must agree with each other and lookups must only ever return children.
void CheckLinks(const QElement& element, int depth) {
    if (depth > QMultiElement::kMaxDepth) {
        Fail("a parsed tree is deeper than the nesting limit");
    }
    const int count = element.Count();
    int walked = 0;
    const QElement* previous = nullptr;
    for (QElement* child = element.ChildAt(0); child != nullptr; child = element.NextSibling(child)) {
        if (child->Parent() != &element || element.ChildAt(walked) != child ||
            element.PrevSibling(child) != previous) {
            Fail("child links disagree");
        }
        if (!child->IsValid()) {
            Fail("a parsed tree holds an invalid element");
        }
        if (walked < 8 && child->Kind() == QElement::kStringKind) {
            const QElement* found = element.FindValue(child->Data(), child->TextLength());
            if (found != nullptr && found->Parent() != &element) {
                Fail("a lookup returned a foreign element");
            }
            if (element.FindText(child->Data(), child->TextLength()) == nullptr) {
                Fail("a child's own text is not found");
            }
        }
        CheckLinks(*child, depth + 1);
        previous = child;
        ++walked;
    }
    if (walked != count) {
        Fail("sibling walk and Count disagree");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    std::unique_ptr<QElement> root = ParseElement(text, size);
    if (!root) {
        return 0;
    }
    const int consumed = root->EncodedLength();
    if (consumed < 1 || static_cast<std::size_t>(consumed) > size || root->SourceBytes().data() != text) {
        Fail("the root does not describe the bytes it was read from");
    }
    CheckLinks(*root, 0);

    std::string first;
    if (!Encode(root.get(), first)) {
        Fail("a parsed tree does not encode");
    }
    if (static_cast<int>(first.size()) != EncodedLength(root.get())) {
        Fail("EncodedLength disagrees with Encode");
    }
    if (first.size() > static_cast<std::size_t>(consumed)) {
        // Writing only drops leading zeros and upper-case tags; it never adds bytes.
        Fail("the encoding is longer than the input");
    }

    std::vector<char> storage;
    std::unique_ptr<QElement> again = ParseCopy(first, storage);
    if (!again) {
        Fail("the encoding does not parse");
    }
    if (again->EncodedLength() != static_cast<int>(first.size())) {
        Fail("the encoding is not read whole");
    }
    std::string second;
    if (!Encode(again.get(), second) || second != first) {
        Fail("the round trip changed the encoding");
    }

    // Taking the last child out and putting it back must leave the document as it was.
    const int count = again->Count();
    if (count > 0) {
        QElement* last = again->DetachAt(count - 1);
        if (last == nullptr || last->Parent() != nullptr || again->Count() != count - 1) {
            Fail("detaching the last child failed");
        }
        if (again->Append(last) != last) {
            Fail("appending a detached child failed");
        }
        std::string third;
        if (!Encode(again.get(), third) || third != first) {
            Fail("detach and append changed the encoding");
        }
        if (again->EncodedLength() != static_cast<int>(first.size())) {
            Fail("detach and append changed the encoded length");
        }
    }
    return 0;
}
