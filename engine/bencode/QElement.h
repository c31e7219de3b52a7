#pragma once
// One node of a bencoded document. Torrents, resume records and tracker replies are all
// read and written through this tree.
//
// The model is deliberately not a one-to-one image of bencoding: an integer never stands
// on its own but rides on the string element right before it, so "4:porti6881e" is a
// single element with text "port" and integer 6881, and a dictionary is a flat, ordered
// list of children (key, value, key, value, ... where an integer-valued entry is one
// child). Everything that reads these documents relies on that shape.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class QMultiElement;
class QIntegerElement;

class QElement {
public:
    // Values of Kind() and ValidKind().
    static constexpr int kSequenceKind = 1; // children one after another, no brackets
    static constexpr int kStringKind = 2;
    static constexpr int kDictionaryKind = 3;
    static constexpr int kListKind = 4;

    // Results of Parse() other than a positive byte count.
    static constexpr int kParseNothing = 0;    // empty input, or a first byte that starts no element
    static constexpr int kParseMalformed = -1; // missing ':' or 'e', a failing child, too deep
    static constexpr int kParseBadLength = -3; // a string length that overflows or overruns the input

    // Texts are kept in the code page they arrived in and converted when read through
    // Text(). This is the program's own code page (GBK).
    static constexpr int kAnsiCodePage = 936;

    QElement(const QElement&) = delete;
    QElement& operator=(const QElement&) = delete;
    // An element that still has a parent leaves it first, so deleting a child directly
    // never leaves a dangling pointer behind in the container.
    virtual ~QElement();

    // Reads one element from the start of text and returns the bytes it took (see the
    // kParse* values for failures). Parsing resets the element first, which also takes it
    // out of any container it was in. Bytes after the element are not looked at.
    virtual int Parse(const char* text, std::size_t length) = 0;
    virtual int Kind() const { return declaredKind_; }

    // Container operations; a string element answers them with null, 0 or false.
    virtual QElement* NextSibling(const QElement* child) const;
    virtual QElement* PrevSibling(const QElement* child) const;
    // Dictionary lookup over the flat child list. For an integer-valued entry the key
    // element itself is returned (read its Integer()). A negative length measures a
    // 0-terminated key.
    virtual QElement* FindValue(const char* key, int keyLength) const;
    // The first string child whose text is exactly these bytes.
    virtual QElement* FindText(const char* text, int length) const;
    virtual QElement* ChildAt(int index) const;
    // The container takes ownership of element (moving it out of its old container).
    // Returns element, or null when it was refused; ownership then stays with the caller.
    virtual QElement* Append(QElement* element);
    virtual QIntegerElement* AddString(const char* text, int length, std::int64_t integer, bool hasInteger);
    virtual QElement* InsertAt(int index, QElement* element);
    virtual QIntegerElement* InsertStringAt(int index, const char* text, int length, std::int64_t integer,
                                            bool hasInteger);
    virtual bool RemoveAt(int index);
    virtual bool Remove(QElement* child);
    // Takes the child out without deleting it; the caller owns what is returned.
    virtual QElement* DetachAt(int index);
    virtual bool Detach(QElement* child);
    virtual bool RemoveAll();
    virtual int Count() const;

    // The text in the program's code page; a container joins its children's texts.
    virtual std::string Text(std::string_view separator = {}) const = 0;
    virtual int SetCodePage(int codePage);
    virtual void Reset();

    bool IsValid() const { return validKind_ != 0 && hasText_ && textLength_ >= 0; }
    int ValidKind() const { return validKind_; }
    bool HasInteger() const { return hasInteger_ || integer_ != 0; }
    std::int64_t Integer() const { return integer_; }
    int CodePage() const { return codePage_; }
    // The unconverted bytes; Data() is 0-terminated, null when the element has no text.
    std::string_view RawText() const { return std::string_view(text_.data(), text_.size()); }
    const char* Data() const { return hasText_ ? text_.c_str() : nullptr; }
    int TextLength() const { return textLength_; }
    // Bytes the element occupies in bencoded form: what it took in the input after a
    // parse, what it will take when encoded after it was built.
    int EncodedLength() const { return encodedLength_; }
    // Where the element started in the text it was parsed from. That text must outlive
    // any use of it; null for built elements and for containers changed after parsing.
    const char* Position() const { return position_; }
    // The exact input bytes of a parsed element (the info hash of a torrent is taken over
    // these); empty when Position() is null.
    std::string_view SourceBytes() const;
    QMultiElement* Parent() const { return parent_; }

    // The code page texts are assumed to be in already; Text() converts only texts of
    // another code page.
    static int DefaultCodePage();
    static void SetDefaultCodePage(int codePage);

protected:
    explicit QElement(int declaredKind) : declaredKind_(declaredKind) {}

    // Drops what a parse or creation filled in, leaving the element invalid. Keeps the
    // parent link and the code page.
    void ClearContent();
    void SetText(const char* text, int length);

    int hasInteger_ = 0;
    int codePage_ = 0;
    const char* position_ = nullptr;
    std::string text_;
    bool hasText_ = false;
    int textLength_ = 0;
    int declaredKind_;
    int validKind_ = 0;
    std::int64_t integer_ = 0;
    int encodedLength_ = 0;
    QMultiElement* parent_ = nullptr;

private:
    friend class QMultiElement;
    // Position in the parent's child list, kept by the parent so that sibling steps and
    // detaching cost no search.
    int indexInParent_ = -1;
};
