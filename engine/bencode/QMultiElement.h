#pragma once
// An element with children: the base of dictionaries and lists, and on its own a plain
// sequence (children one after another, no brackets). It owns its children.
#include "engine/bencode/QElement.h"

#include <vector>

class QMultiElement : public QElement {
public:
    // Containers nested deeper than this fail to parse. Torrents, resume records and
    // tracker replies nest five levels at most; the limit keeps hostile input from
    // exhausting the stack.
    static constexpr int kMaxDepth = 64;

    ~QMultiElement() override;

    int Parse(const char* text, std::size_t length) override;

    QElement* NextSibling(const QElement* child) const override;
    QElement* PrevSibling(const QElement* child) const override;
    QElement* FindValue(const char* key, int keyLength) const override;
    QElement* FindText(const char* text, int length) const override;
    QElement* ChildAt(int index) const override;
    QElement* Append(QElement* element) override;
    QIntegerElement* AddString(const char* text, int length, std::int64_t integer, bool hasInteger) override;
    QElement* InsertAt(int index, QElement* element) override;
    QIntegerElement* InsertStringAt(int index, const char* text, int length, std::int64_t integer,
                                    bool hasInteger) override;
    bool RemoveAt(int index) override;
    bool Remove(QElement* child) override;
    QElement* DetachAt(int index) override;
    bool Detach(QElement* child) override;
    bool RemoveAll() override;
    int Count() const override;
    std::string Text(std::string_view separator = {}) const override;
    int SetCodePage(int codePage) override;
    void Reset() override;

protected:
    // A new container is valid and empty.
    explicit QMultiElement(int declaredKind);

    // Called after the children changed through one of the editing operations.
    virtual void ChildrenChanged() = 0;

private:
    int ParseNested(const char* text, int length, int depth);
    // Parses children from text until the input ends or a 0, 'e' or 'E' byte comes;
    // returns the bytes they took or a failure.
    int ParseChildren(const char* text, int length, int depth);
    bool OpensThisKind(char c) const;
    int BracketLength() const { return Kind() == kSequenceKind ? 0 : 2; }
    bool IsAncestorOrSelf(const QElement* element) const;
    QElement* Insert(int index, QElement* element);
    void Renumber(int from);
    void DeleteChildren();
    // Keeps the encoded length of this container and every container above it in step
    // with an edit; the edited containers no longer match their input bytes.
    void Grow(int bytes);
    void Shrink(int bytes);

    std::vector<QElement*> children_;
};
