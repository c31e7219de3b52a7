#include "engine/bencode/QMultiElement.h"

#include "engine/bencode/Bencode.h"
#include "engine/bencode/QIntegerElement.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace {

bool IsClosing(char c) {
    return c == 'e' || c == 'E';
}

} // namespace

QMultiElement::QMultiElement(int declaredKind) : QElement(declaredKind) {
    hasText_ = true;
    validKind_ = declaredKind;
    encodedLength_ = BracketLength();
}

QMultiElement::~QMultiElement() {
    DeleteChildren();
}

int QMultiElement::Parse(const char* text, std::size_t length) {
    if (length > static_cast<std::size_t>(INT_MAX)) {
        Reset();
        return kParseNothing;
    }
    try {
        return ParseNested(text, static_cast<int>(length), 1);
    } catch (const std::bad_alloc&) {
        // A document too large for memory is a failed parse like any other.
        DeleteChildren();
        ClearContent();
        return kParseMalformed;
    }
}

int QMultiElement::ParseNested(const char* text, int length, int depth) {
    Reset();
    if (text == nullptr || length < 2) {
        return kParseNothing;
    }
    int consumed = 0;
    if (Kind() == kSequenceKind) {
        consumed = ParseChildren(text, length, depth);
    } else {
        if (!OpensThisKind(text[0])) {
            return kParseNothing;
        }
        if (depth > kMaxDepth) {
            return kParseMalformed;
        }
        if (IsClosing(text[1])) {
            consumed = 2;
        } else {
            // The last byte is kept out of the children so that the closing byte always
            // lies inside the input.
            const int inner = ParseChildren(text + 1, length - 2, depth);
            if (inner < 0) {
                consumed = inner;
            } else if (!IsClosing(text[1 + inner])) {
                consumed = kParseMalformed;
            } else {
                consumed = inner + 2;
            }
        }
    }
    if (consumed < 1) {
        DeleteChildren();
        return consumed;
    }
    position_ = text;
    hasText_ = true;
    validKind_ = Kind();
    encodedLength_ = consumed;
    return consumed;
}

int QMultiElement::ParseChildren(const char* text, int length, int depth) {
    int pos = 0;
    while (pos < length) {
        const char c = text[pos];
        if (c == '\0' || IsClosing(c)) {
            break;
        }
        std::unique_ptr<QElement> child = CreateElementFor(c);
        if (!child) {
            return kParseMalformed;
        }
        int used;
        if (child->Kind() == kStringKind) {
            used = child->Parse(text + pos, static_cast<std::size_t>(length - pos));
        } else {
            used = static_cast<QMultiElement*>(child.get())->ParseNested(text + pos, length - pos, depth + 1);
        }
        if (used < 1) {
            return kParseMalformed;
        }
        children_.push_back(child.get());
        child->parent_ = this;
        child->indexInParent_ = static_cast<int>(children_.size()) - 1;
        child.release();
        pos += used;
    }
    return pos;
}

bool QMultiElement::OpensThisKind(char c) const {
    switch (Kind()) {
    case kDictionaryKind:
        return c == 'd' || c == 'D';
    case kListKind:
        return c == 'l' || c == 'L';
    default:
        return false;
    }
}

QElement* QMultiElement::NextSibling(const QElement* child) const {
    if (!IsValid() || child == nullptr || child->parent_ != this) {
        return nullptr;
    }
    const std::size_t next = static_cast<std::size_t>(child->indexInParent_) + 1;
    return next < children_.size() ? children_[next] : nullptr;
}

QElement* QMultiElement::PrevSibling(const QElement* child) const {
    if (!IsValid() || child == nullptr || child->parent_ != this || child->indexInParent_ == 0) {
        return nullptr;
    }
    return children_[static_cast<std::size_t>(child->indexInParent_) - 1];
}

QElement* QMultiElement::FindValue(const char* key, int keyLength) const {
    if (!IsValid() || key == nullptr) {
        return nullptr;
    }
    const std::size_t length = keyLength < 0 ? std::strlen(key) : static_cast<std::size_t>(keyLength);
    const std::size_t count = children_.size();
    for (std::size_t i = 0; i < count; ++i) {
        QElement* child = children_[i];
        const bool isKey = child->Kind() == kStringKind && child->IsValid() &&
                           child->text_.size() == length &&
                           std::memcmp(child->text_.data(), key, length) == 0;
        if (isKey) {
            if (child->HasInteger()) {
                return child;
            }
            if (i + 1 == count) {
                return nullptr;
            }
            QElement* value = children_[i + 1];
            // A following element with an integer is the next key, not this key's value.
            return value->HasInteger() ? nullptr : value;
        }
        if (!child->HasInteger() && i + 1 < count && !children_[i + 1]->HasInteger()) {
            // A key whose value is the next child: step over the value. A following
            // element with an integer is a key of its own, as in the match above.
            ++i;
        }
    }
    return nullptr;
}

QElement* QMultiElement::FindText(const char* text, int length) const {
    if (!IsValid() || text == nullptr) {
        return nullptr;
    }
    const std::size_t size = length < 0 ? std::strlen(text) : static_cast<std::size_t>(length);
    for (QElement* child : children_) {
        if (child->Kind() == kStringKind && child->IsValid() && child->text_.size() == size &&
            std::memcmp(child->text_.data(), text, size) == 0) {
            return child;
        }
    }
    return nullptr;
}

QElement* QMultiElement::ChildAt(int index) const {
    if (!IsValid() || index < 0 || static_cast<std::size_t>(index) >= children_.size()) {
        return nullptr;
    }
    return children_[static_cast<std::size_t>(index)];
}

QElement* QMultiElement::Append(QElement* element) {
    return Insert(static_cast<int>(children_.size()), element);
}

QIntegerElement* QMultiElement::AddString(const char* text, int length, std::int64_t integer,
                                          bool hasInteger) {
    return InsertStringAt(static_cast<int>(children_.size()), text, length, integer, hasInteger);
}

QElement* QMultiElement::InsertAt(int index, QElement* element) {
    return Insert(index, element);
}

QIntegerElement* QMultiElement::InsertStringAt(int index, const char* text, int length, std::int64_t integer,
                                               bool hasInteger) {
    if (!IsValid() || index < 0 || static_cast<std::size_t>(index) > children_.size()) {
        return nullptr;
    }
    std::unique_ptr<QIntegerElement> element = QIntegerElement::Create(text, length, integer, hasInteger);
    if (!element || Insert(index, element.get()) == nullptr) {
        return nullptr;
    }
    return element.release();
}

QElement* QMultiElement::Insert(int index, QElement* element) {
    if (element == nullptr || !IsValid() || index < 0 || static_cast<std::size_t>(index) > children_.size() ||
        IsAncestorOrSelf(element)) {
        return nullptr;
    }
    // Room first: once the element has left its old container nothing may fail.
    children_.reserve(children_.size() + 1);
    if (element->parent_ != nullptr) {
        element->parent_->Detach(element);
    }
    const std::size_t at = std::min(static_cast<std::size_t>(index), children_.size());
    children_.insert(children_.begin() + static_cast<std::ptrdiff_t>(at), element);
    element->parent_ = this;
    Renumber(static_cast<int>(at));
    Grow(element->encodedLength_);
    ChildrenChanged();
    return element;
}

bool QMultiElement::RemoveAt(int index) {
    QElement* element = DetachAt(index);
    delete element;
    return element != nullptr;
}

bool QMultiElement::Remove(QElement* child) {
    if (!Detach(child)) {
        return false;
    }
    delete child;
    return true;
}

QElement* QMultiElement::DetachAt(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= children_.size()) {
        return nullptr;
    }
    QElement* element = children_[static_cast<std::size_t>(index)];
    children_.erase(children_.begin() + index);
    Renumber(index);
    element->parent_ = nullptr;
    element->indexInParent_ = -1;
    Shrink(element->encodedLength_);
    ChildrenChanged();
    return element;
}

bool QMultiElement::Detach(QElement* child) {
    if (child == nullptr || child->parent_ != this) {
        return false;
    }
    return DetachAt(child->indexInParent_) != nullptr;
}

bool QMultiElement::RemoveAll() {
    if (children_.empty()) {
        return true;
    }
    int removed = 0;
    for (const QElement* child : children_) {
        if (child->encodedLength_ > 0) {
            removed = removed > INT_MAX - child->encodedLength_ ? INT_MAX : removed + child->encodedLength_;
        }
    }
    DeleteChildren();
    Shrink(removed);
    ChildrenChanged();
    return true;
}

int QMultiElement::Count() const {
    return IsValid() ? static_cast<int>(children_.size()) : 0;
}

std::string QMultiElement::Text(std::string_view separator) const {
    std::string joined;
    if (!IsValid()) {
        return joined;
    }
    for (std::size_t i = 0; i < children_.size(); ++i) {
        if (i > 0) {
            joined.append(separator);
        }
        joined.append(children_[i]->Text(separator));
    }
    return joined;
}

int QMultiElement::SetCodePage(int codePage) {
    codePage_ = codePage;
    for (QElement* child : children_) {
        child->SetCodePage(codePage);
    }
    return static_cast<int>(children_.size());
}

void QMultiElement::Reset() {
    DeleteChildren();
    QElement::Reset();
}

bool QMultiElement::IsAncestorOrSelf(const QElement* element) const {
    for (const QElement* p = this; p != nullptr; p = p->parent_) {
        if (p == element) {
            return true;
        }
    }
    return false;
}

void QMultiElement::Renumber(int from) {
    for (std::size_t i = static_cast<std::size_t>(from); i < children_.size(); ++i) {
        children_[i]->indexInParent_ = static_cast<int>(i);
    }
}

void QMultiElement::DeleteChildren() {
    for (QElement* child : children_) {
        // Cleared first so that the child does not try to leave this container again.
        child->parent_ = nullptr;
        delete child;
    }
    children_.clear();
}

void QMultiElement::Grow(int bytes) {
    for (QElement* p = this; p != nullptr; p = p->parent_) {
        if (bytes > 0) {
            p->encodedLength_ = p->encodedLength_ > INT_MAX - bytes ? INT_MAX : p->encodedLength_ + bytes;
        }
        p->position_ = nullptr;
    }
}

void QMultiElement::Shrink(int bytes) {
    for (QElement* p = this; p != nullptr; p = p->parent_) {
        if (bytes > 0 && bytes < p->encodedLength_) {
            p->encodedLength_ -= bytes;
        }
        p->position_ = nullptr;
    }
}
