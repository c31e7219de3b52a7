#include "engine/bencode/Bencode.h"
#include "engine/bencode/QDictionaryElement.h"
#include "engine/bencode/QIntegerElement.h"
#include "engine/bencode/QListElement.h"
#include "engine/bencode/QMultiElement.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_literals;

// The input in an allocation of exactly its size, so that the address sanitizer reports
// any read past the end instead of it landing in a neighbouring string.
struct Buffer {
    explicit Buffer(std::string_view bytes)
        : size(bytes.size()), data(new char[bytes.size() ? bytes.size() : 1]) {
        std::memcpy(data.get(), bytes.data(), bytes.size());
    }
    std::size_t size;
    std::unique_ptr<char[]> data;
};

std::unique_ptr<QElement> Parse(const Buffer& buffer) {
    return ParseElement(buffer.data.get(), buffer.size);
}

std::string Encoded(const QElement* element) {
    std::string out;
    EXPECT_TRUE(Encode(element, out));
    return out;
}

// The tree the engine writes for a small two-file torrent, built through the editing
// operations the way a writer of resume records builds its dictionaries.
std::unique_ptr<QDictionaryElement> BuildTorrent() {
    auto root = std::make_unique<QDictionaryElement>();
    root->AddString("announce", -1, 0, false);
    root->AddString("http://tracker.example/announce", -1, 0, false);
    root->AddString("creation date", -1, 1700000000, true);

    root->AddString("info", -1, 0, false);
    auto* info = static_cast<QDictionaryElement*>(root->Append(new QDictionaryElement));
    info->AddString("files", -1, 0, false);
    auto* files = info->Append(new QListElement);
    const char* names[] = {"setup.exe", "data.pak"};
    const std::int64_t sizes[] = {70000, 0};
    for (int i = 0; i < 2; ++i) {
        auto* file = files->Append(new QDictionaryElement);
        file->AddString("length", -1, sizes[i], true);
        file->AddString("path", -1, 0, false);
        auto* path = file->Append(new QListElement);
        path->AddString("game", -1, 0, false);
        path->AddString(names[i], -1, 0, false);
    }
    info->AddString("name", -1, 0, false);
    info->AddString("package", -1, 0, false);
    info->AddString("piece length", -1, 262144, true);
    info->AddString("pieces", -1, 0, false);
    const std::string hashes = "\x00\x01\x02\xff\x00 binary piece hash\x00"s + std::string(16, '\0');
    info->AddString(hashes.data(), static_cast<int>(hashes.size()), 0, false);
    return root;
}

const std::string kTorrentInfo =
    "d5:filesld6:lengthi70000e4:pathl4:game9:setup.exeeed6:lengthi0e4:pathl4:game"
    "8:data.pakeee4:name7:package12:piece lengthi262144e6:pieces40:"
    "\x00\x01\x02\xff\x00 binary piece hash\x00"s +
    std::string(16, '\0') + "e";
const std::string kTorrent =
    "d8:announce31:http://tracker.example/announce13:creation datei1700000000e4:info" + kTorrentInfo + "e";

TEST(Bencode, BuiltTorrentEncodesToTheExpectedBytesAndParsesBack) {
    std::unique_ptr<QDictionaryElement> built = BuildTorrent();
    ASSERT_EQ(Encoded(built.get()), kTorrent);
    EXPECT_EQ(EncodedLength(built.get()), static_cast<int>(kTorrent.size()));
    // Kept in step by every AddString and Append, at every level.
    EXPECT_EQ(built->EncodedLength(), static_cast<int>(kTorrent.size()));
    EXPECT_EQ(built->FindValue("info", -1)->EncodedLength(), static_cast<int>(kTorrentInfo.size()));

    Buffer input(kTorrent);
    std::unique_ptr<QElement> root = Parse(input);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->Kind(), QElement::kDictionaryKind);
    EXPECT_EQ(root->EncodedLength(), static_cast<int>(kTorrent.size()));
    EXPECT_EQ(Encoded(root.get()), kTorrent);

    EXPECT_EQ(root->FindValue("announce", -1)->Text(), "http://tracker.example/announce");
    EXPECT_EQ(root->FindValue("creation date", -1)->Integer(), 1700000000);
    QElement* info = root->FindValue("info", 4);
    ASSERT_NE(info, nullptr);
    // The info hash is taken over exactly the bytes the info value had in the input.
    EXPECT_EQ(info->SourceBytes(), kTorrentInfo);
    EXPECT_EQ(info->Position(), input.data.get() + kTorrent.find("d5:files"));

    EXPECT_EQ(info->FindValue("piece length", -1)->Integer(), 262144);
    QElement* pieces = info->FindValue("pieces", -1);
    ASSERT_NE(pieces, nullptr);
    EXPECT_EQ(pieces->TextLength(), 40);
    EXPECT_EQ(pieces->RawText().substr(0, 5), "\x00\x01\x02\xff\x00"s);
    EXPECT_EQ(pieces->Data()[40], '\0');

    QElement* files = info->FindValue("files", -1);
    ASSERT_EQ(files->Count(), 2);
    QElement* second = files->ChildAt(1);
    QElement* length = second->FindValue("length", -1);
    ASSERT_NE(length, nullptr);
    EXPECT_TRUE(length->HasInteger());
    EXPECT_EQ(length->Integer(), 0);
    EXPECT_EQ(second->FindValue("path", -1)->Text("\\"), "game\\data.pak");
}

TEST(Bencode, EveryProperPrefixOfADocumentFails) {
    for (std::size_t size = 0; size < kTorrent.size(); ++size) {
        SCOPED_TRACE(size);
        Buffer prefix(std::string_view(kTorrent).substr(0, size));
        EXPECT_FALSE(Parse(prefix));
    }
}

TEST(Bencode, PortDictionaryHoldsTheIntegerInsideItsKey) {
    Buffer input("d4:porti6881e4:name3:fooe");
    std::unique_ptr<QElement> root = Parse(input);
    ASSERT_TRUE(root);
    ASSERT_EQ(root->Count(), 3);
    EXPECT_EQ(root->ChildAt(0)->Text(), "port");
    EXPECT_EQ(root->ChildAt(0)->Integer(), 6881);
    EXPECT_EQ(root->ChildAt(1)->Text(), "name");
    EXPECT_EQ(root->ChildAt(2)->Text(), "foo");
    EXPECT_EQ(root->FindValue("port", -1), root->ChildAt(0));
    EXPECT_EQ(root->FindValue("name", -1), root->ChildAt(2));
    EXPECT_EQ(Encoded(root.get()), "d4:porti6881e4:name3:fooe");
}

TEST(Bencode, FindValueWalksKeysAndStepsOverValues) {
    struct Case {
        std::string input;
        std::string key;
        int expectedChild; // -1: not found
    };
    const Case cases[] = {
        {"d1:ai1e1:b1:ce", "a", 0},
        {"d1:ai1e1:b1:ce", "b", 2},
        {"d1:ai1e1:b1:ce", "c", -1}, // a value is never taken for a key
        {"d1:x1:a1:a1:ze", "a", 3},  // the value "a" of x is stepped over
        {"d1:ae", "a", -1},          // a key without a value
        {"d1:a1:bi2ee", "a", -1},    // what follows carries an integer, so it is the next key
        {"d1:a1:bi2ee", "b", 1},     // ... and is found as one
        {"d1:a1:bi2e1:c1:de", "c", 3},
        {"d1:ale1:b1:ce", "b", 3},
        {"d1:ad1:bi1ee1:b1:ce", "b", 3}, // keys inside a value are not this dictionary's
        {"d3:a\0b1:x1:a1:ye"s, "a\0b"s, 1},
        {"d3:a\0b1:x1:a1:ye"s, "a", 3},
        {"d0:1:ve", "", 1},
        {"de", "a", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input + " / " + c.key);
        Buffer input(c.input);
        std::unique_ptr<QElement> root = Parse(input);
        ASSERT_TRUE(root);
        QElement* found = root->FindValue(c.key.data(), static_cast<int>(c.key.size()));
        EXPECT_EQ(found, c.expectedChild < 0 ? nullptr : root->ChildAt(c.expectedChild));
    }
}

TEST(Bencode, StringRuleResults) {
    struct Case {
        std::string input;
        int result;
        std::string text;
        bool hasInteger;
        std::int64_t integer;
    };
    const Case cases[] = {
        {"4:spam", 6, "spam", false, 0},
        {"4:spamXYZ", 6, "spam", false, 0},
        {"0:", 2, "", false, 0},
        {"03:abc", 6, "abc", false, 0},
        {"3:a\0c"s, 5, "a\0c"s, false, 0},
        {"3:abci5e", 8, "abc", true, 5},
        {"3:abcI5e", 8, "abc", true, 5},
        {"3:abci-5e", 9, "abc", true, -5},
        {"3:abci0e", 8, "abc", true, 0},
        {"3:abci007e", 10, "abc", true, 7},
        {"0:i5e", 5, "", true, 5},
        {"1:xi9223372036854775807e", 24, "x", true, INT64_MAX},
        {"1:xi-9223372036854775808e", 25, "x", true, INT64_MIN},
        {"", QElement::kParseNothing, "", false, 0},
        {"x", QElement::kParseNothing, "", false, 0},
        {"-3:abc", QElement::kParseNothing, "", false, 0},
        {"3abc", QElement::kParseMalformed, "", false, 0},
        {"3", QElement::kParseMalformed, "", false, 0},
        {"5:abc", QElement::kParseBadLength, "", false, 0},
        {"99999999999999999999:", QElement::kParseBadLength, "", false, 0},
        {"4294967299:abc", QElement::kParseBadLength, "", false, 0}, // 2^32 + 3 must not wrap to 3
        {"2147483648:", QElement::kParseBadLength, "", false, 0},
        {"3:abci5", QElement::kParseMalformed, "", false, 0},
        {"3:abci5E", QElement::kParseMalformed, "", false, 0},
        {"3:abci", QElement::kParseMalformed, "", false, 0},
        {"3:abcie", QElement::kParseMalformed, "", false, 0},
        {"3:abci-e", QElement::kParseMalformed, "", false, 0},
        {"3:abci--5e", QElement::kParseMalformed, "", false, 0},
        {"3:abci1-2e", QElement::kParseMalformed, "", false, 0},
        {"3:abci+5e", QElement::kParseMalformed, "", false, 0},
        {"3:abci 5e", QElement::kParseMalformed, "", false, 0},
        {"3:abci5\0e"s, QElement::kParseMalformed, "", false, 0},
        {"1:xi9223372036854775808e", QElement::kParseMalformed, "", false, 0},
        {"1:xi-9223372036854775809e", QElement::kParseMalformed, "", false, 0},
        {"1:xi99999999999999999999999e", QElement::kParseMalformed, "", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        Buffer input(c.input);
        QIntegerElement element;
        EXPECT_EQ(element.Parse(input.data.get(), input.size), c.result);
        EXPECT_EQ(element.IsValid(), c.result > 0);
        if (c.result > 0) {
            EXPECT_EQ(element.RawText(), c.text);
            EXPECT_EQ(element.HasInteger(), c.hasInteger);
            EXPECT_EQ(element.Integer(), c.integer);
            EXPECT_EQ(element.EncodedLength(), c.result);
            EXPECT_EQ(element.Position(), input.data.get());
        }
    }
}

TEST(Bencode, HostileDocumentsFailCleanly) {
    const std::string cases[] = {
        "",
        "i5e",
        "e",
        "x",
        "li1ei2ee", // integers only ride on strings
        "l",
        "d",
        "l4:spam",
        "d3:foo",
        "d4:porti6881e",
        "d4:porti6881",
        "lx",
        "l5:abce",
        "ll4:spame",
        "l\0e"s,
        "d3:fooi1eXe",
        "l99999999999999999999:e",
        "d8:announce4294967296:e",
        "l1:xi9223372036854775808ee",
        std::string(100000, 'l'),
        std::string(100000, 'l') + std::string(100000, 'e'),
        std::string(100000, 'd'),
        "l" + std::string(50000, 'd') + "e",
    };
    for (const std::string& bytes : cases) {
        SCOPED_TRACE(bytes.substr(0, 40));
        Buffer input(bytes);
        EXPECT_FALSE(Parse(input));
    }
}

TEST(Bencode, NestingIsBoundedAtTheDepthLimit) {
    const int limit = QMultiElement::kMaxDepth;
    auto nested = [](int depth) { return std::string(depth, 'l') + std::string(depth, 'e'); };
    auto nestedWithLeaf = [](int depth) { return std::string(depth, 'l') + "1:x" + std::string(depth, 'e'); };

    Buffer deepest(nested(limit));
    std::unique_ptr<QElement> root = Parse(deepest);
    ASSERT_TRUE(root);
    EXPECT_EQ(Encoded(root.get()), nested(limit));
    Buffer deepestLeaf(nestedWithLeaf(limit));
    EXPECT_TRUE(Parse(deepestLeaf));

    Buffer tooDeep(nested(limit + 1));
    EXPECT_FALSE(Parse(tooDeep));
    Buffer tooDeepLeaf(nestedWithLeaf(limit + 1));
    EXPECT_FALSE(Parse(tooDeepLeaf));
    QListElement direct;
    EXPECT_EQ(direct.Parse(tooDeep.data.get(), tooDeep.size), QElement::kParseMalformed);
    EXPECT_FALSE(direct.IsValid());
    EXPECT_EQ(direct.Count(), 0);
}

TEST(Bencode, ContainerForms) {
    struct Case {
        std::string input;
        int consumed;
        int count;
        std::string reencoded;
    };
    const Case cases[] = {
        {"de", 2, 0, "de"},
        {"le", 2, 0, "le"},
        {"DE", 2, 0, "de"},
        {"lE", 2, 0, "le"},
        {"lexyz", 2, 0, "le"}, // what follows the element is left to the caller
        {"l4:spami-3eE", 12, 1, "l4:spami-3ee"},
        {"D3:fooLEE", 9, 2, "d3:foolee"},
        {"d03:fooi007ee", 13, 1, "d3:fooi7ee"},
        {"l0:0:0:e", 8, 3, "l0:0:0:e"},
        {"l3:fooi5ee", 10, 1, "l3:fooi5ee"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        Buffer input(c.input);
        std::unique_ptr<QElement> root = Parse(input);
        ASSERT_TRUE(root);
        EXPECT_EQ(root->EncodedLength(), c.consumed);
        EXPECT_EQ(root->Count(), c.count);
        EXPECT_EQ(Encoded(root.get()), c.reencoded);
        EXPECT_EQ(EncodedLength(root.get()), static_cast<int>(c.reencoded.size()));
    }
}

TEST(Bencode, ParseReplacesEarlierContentAndFailureLeavesNothing) {
    Buffer good("l1:a1:be");
    Buffer bad("l1:a1:b");
    QListElement list;
    ASSERT_EQ(list.Parse(good.data.get(), good.size), 8);
    ASSERT_EQ(list.Count(), 2);
    ASSERT_EQ(list.Parse(good.data.get(), good.size), 8);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_LT(list.Parse(bad.data.get(), bad.size), 1);
    EXPECT_FALSE(list.IsValid());
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.ChildAt(0), nullptr);
    EXPECT_EQ(list.FindText("a", 1), nullptr);
    std::string out = "keep";
    EXPECT_FALSE(Encode(&list, out));
    EXPECT_EQ(out, "keep");

    // A dictionary does not take a list's bytes for its own.
    QDictionaryElement dict;
    EXPECT_EQ(dict.Parse(good.data.get(), good.size), QElement::kParseNothing);
}

// A plain sequence: children one after another without brackets.
class SequenceElement : public QMultiElement {
public:
    SequenceElement() : QMultiElement(kSequenceKind) {}

protected:
    void ChildrenChanged() override {}
};

TEST(Bencode, PlainSequenceHasNoBrackets) {
    Buffer input("3:abcle1:xi2e\0trailing"s);
    SequenceElement sequence;
    EXPECT_EQ(sequence.Parse(input.data.get(), input.size), 13);
    EXPECT_EQ(sequence.Count(), 3);
    EXPECT_EQ(Encoded(&sequence), "3:abcle1:xi2e");
    EXPECT_EQ(EncodedLength(&sequence), 13);
}

TEST(Bencode, EditingKeepsOwnershipLengthsAndSiblingsConsistent) {
    QDictionaryElement root;
    EXPECT_EQ(root.EncodedLength(), 2);
    QIntegerElement* key = root.AddString("list", -1, 0, false);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->Parent(), &root);
    auto* list = static_cast<QListElement*>(root.Append(new QListElement));
    QIntegerElement* a = list->AddString("a", 1, 0, false);
    QIntegerElement* c = list->AddString("c", 1, -12, true);
    QIntegerElement* b = list->InsertStringAt(1, "b", 1, 0, false);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Encoded(&root), "d4:listl1:a1:b1:ci-12eee");
    EXPECT_EQ(root.EncodedLength(), EncodedLength(&root));

    EXPECT_EQ(list->NextSibling(a), b);
    EXPECT_EQ(list->NextSibling(b), c);
    EXPECT_EQ(list->NextSibling(c), nullptr);
    EXPECT_EQ(list->PrevSibling(a), nullptr);
    EXPECT_EQ(list->PrevSibling(c), b);
    EXPECT_EQ(root.NextSibling(a), nullptr); // not a child of root

    // Moving an element detaches it from its old container first.
    QListElement other;
    EXPECT_EQ(other.Append(b), b);
    EXPECT_EQ(b->Parent(), &other);
    EXPECT_EQ(list->Count(), 2);
    EXPECT_EQ(list->NextSibling(a), c);
    EXPECT_EQ(Encoded(&root), "d4:listl1:a1:ci-12eee");
    EXPECT_EQ(root.EncodedLength(), EncodedLength(&root));
    EXPECT_EQ(other.EncodedLength(), EncodedLength(&other));

    // A container can not be put inside itself or its own children.
    EXPECT_EQ(list->Append(&root), nullptr);
    EXPECT_EQ(list->Append(list), nullptr);
    auto refused = std::make_unique<QListElement>();
    EXPECT_EQ(list->InsertAt(3, refused.get()), nullptr); // past the end: still ours
    EXPECT_EQ(refused->Parent(), nullptr);
    EXPECT_EQ(list->Count(), 2);

    // Deleting or resetting a child directly takes it out of its container.
    delete a;
    EXPECT_EQ(list->Count(), 1);
    EXPECT_EQ(list->ChildAt(0), c);
    c->Reset();
    EXPECT_EQ(list->Count(), 0);
    EXPECT_EQ(c->Parent(), nullptr);
    EXPECT_FALSE(c->IsValid());
    delete c;
    EXPECT_EQ(Encoded(&root), "d4:listlee");
    EXPECT_EQ(root.EncodedLength(), 10);

    QElement* detached = root.DetachAt(1);
    ASSERT_EQ(detached, list);
    EXPECT_EQ(list->Parent(), nullptr);
    EXPECT_EQ(root.Count(), 1);
    delete detached;
    EXPECT_TRUE(root.Remove(key));
    EXPECT_FALSE(root.RemoveAt(0));
    EXPECT_EQ(root.EncodedLength(), 2);
    EXPECT_TRUE(root.RemoveAll());
}

TEST(Bencode, EditedParsedContainersNoLongerClaimTheirInputBytes) {
    Buffer input("d4:infod4:name1:xee");
    std::unique_ptr<QElement> root = Parse(input);
    ASSERT_TRUE(root);
    QElement* info = root->FindValue("info", -1);
    ASSERT_EQ(info->SourceBytes(), "d4:name1:xe");
    info->AddString("length", -1, 123456, true);
    // The old span would now reach past the end of the input.
    EXPECT_EQ(info->Position(), nullptr);
    EXPECT_EQ(info->SourceBytes(), "");
    EXPECT_EQ(root->SourceBytes(), "");
    EXPECT_EQ(Encoded(root.get()), "d4:infod4:name1:x6:lengthi123456eee");
    EXPECT_EQ(root->EncodedLength(), EncodedLength(root.get()));
    EXPECT_EQ(info->FindValue("name", -1)->SourceBytes(), "1:x");
}

TEST(Bencode, CreatingStringsRefusesWhatCouldNotBeMeant) {
    QListElement list;
    EXPECT_EQ(list.AddString(nullptr, 3, 0, false), nullptr);
    EXPECT_EQ(list.AddString("", 0, 5, true), nullptr);
    EXPECT_EQ(list.AddString("", 0, 5, false), nullptr); // a non-zero integer counts as one
    EXPECT_EQ(list.InsertStringAt(1, "x", 1, 0, false), nullptr);
    EXPECT_EQ(list.Count(), 0);
    // An empty key with an integer may be read, though it is never written.
    Buffer input("l0:i5ee");
    std::unique_ptr<QElement> parsed = Parse(input);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->ChildAt(0)->Integer(), 5);
    EXPECT_EQ(Encoded(parsed.get()), "l0:i5ee");

    QIntegerElement* empty = list.AddString("", -1, 0, false);
    ASSERT_NE(empty, nullptr);
    QIntegerElement* zero = list.AddString("n", -1, 0, true);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(Encoded(&list), "l0:1:ni0ee");
    EXPECT_EQ(list.EncodedLength(), 10);

    // An element that was never filled in makes the whole tree unwritable.
    list.Append(new QIntegerElement);
    std::string out = "prefix";
    EXPECT_FALSE(Encode(&list, out));
    EXPECT_EQ(out, "prefix");
    EXPECT_EQ(EncodedLength(&list), 0);
    EXPECT_FALSE(Reserve(&list, out));
}

TEST(Bencode, LeafAnswersContainerOperationsWithNothing) {
    QIntegerElement leaf;
    QListElement other;
    EXPECT_EQ(leaf.ChildAt(0), nullptr);
    EXPECT_EQ(leaf.FindValue("a", 1), nullptr);
    EXPECT_EQ(leaf.Append(&other), nullptr);
    EXPECT_EQ(leaf.AddString("a", 1, 0, false), nullptr);
    EXPECT_FALSE(leaf.RemoveAll());
    EXPECT_EQ(leaf.Count(), 0);
    EXPECT_EQ(other.Parent(), nullptr);
}

TEST(Bencode, TextConvertsFromTheElementsCodePage) {
    // "中文" in code page 950 (BIG5), and the same characters in the program's code page.
    const std::string big5 = "\xA4\xA4\xA4\xE5";
    const std::string gbk = "\xD6\xD0\xCE\xC4";
    Buffer input("l4:" + big5 + "5:plaine");
    std::unique_ptr<QElement> root = Parse(input);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->ChildAt(0)->Text(), big5); // no code page: bytes as they are

    EXPECT_EQ(root->SetCodePage(950), 2);
    EXPECT_EQ(root->ChildAt(0)->CodePage(), 950);
    EXPECT_EQ(root->ChildAt(0)->Text(), gbk);
    EXPECT_EQ(root->ChildAt(0)->RawText(), big5);
    EXPECT_EQ(root->Text("/"), gbk + "/plain");

    // Texts already in the default code page are not touched.
    QElement::SetDefaultCodePage(950);
    EXPECT_EQ(root->ChildAt(0)->Text(), big5);
    QElement::SetDefaultCodePage(QElement::kAnsiCodePage);
    root->SetCodePage(QElement::kAnsiCodePage);
    EXPECT_EQ(root->ChildAt(0)->Text(), big5);

    // Bytes that are no text of the code page come back untouched.
    QListElement list;
    list.AddString("\xFF\xFF", -1, 0, false)->SetCodePage(950);
    EXPECT_EQ(list.ChildAt(0)->Text(), "\xFF\xFF");
}

TEST(Bencode, LargeDocumentsStayLinear) {
    // Quadratic sibling steps, lookups or output growth would take minutes here.
    const int count = 200000;
    std::string doc = "d";
    for (int i = 0; i < count; ++i) {
        const std::string key = "k" + std::to_string(i);
        doc += std::to_string(key.size()) + ":" + key + "i" + std::to_string(i) + "e";
    }
    doc += "4:last5:valuee";
    Buffer input(doc);
    std::unique_ptr<QElement> root = Parse(input);
    ASSERT_TRUE(root);
    ASSERT_EQ(root->Count(), count + 2);
    int walked = 0;
    for (QElement* child = root->ChildAt(0); child != nullptr; child = root->NextSibling(child)) {
        ++walked;
    }
    EXPECT_EQ(walked, count + 2);
    EXPECT_EQ(root->FindValue("last", -1)->Text(), "value");
    EXPECT_EQ(root->FindValue("k199999", -1)->Integer(), 199999);

    std::string out;
    EXPECT_TRUE(Reserve(root.get(), out));
    EXPECT_GE(out.capacity(), doc.size() + 1024);
    EXPECT_TRUE(Encode(root.get(), out));
    EXPECT_EQ(out, doc);

    while (root->Count() > 0) {
        ASSERT_TRUE(root->RemoveAt(root->Count() - 1));
    }
    EXPECT_EQ(Encoded(root.get()), "de");
}

} // namespace
