#include "engine/bencode/QElement.h"

#include "engine/bencode/QMultiElement.h"

#include <atomic>

namespace {

std::atomic<int> gDefaultCodePage{QElement::kAnsiCodePage};

} // namespace

QElement::~QElement() {
    if (parent_ != nullptr) {
        parent_->Detach(this);
    }
}

QElement* QElement::NextSibling(const QElement*) const {
    return nullptr;
}
QElement* QElement::PrevSibling(const QElement*) const {
    return nullptr;
}
QElement* QElement::FindValue(const char*, int) const {
    return nullptr;
}
QElement* QElement::FindText(const char*, int) const {
    return nullptr;
}
QElement* QElement::ChildAt(int) const {
    return nullptr;
}
QElement* QElement::Append(QElement*) {
    return nullptr;
}
QIntegerElement* QElement::AddString(const char*, int, std::int64_t, bool) {
    return nullptr;
}
QElement* QElement::InsertAt(int, QElement*) {
    return nullptr;
}
QIntegerElement* QElement::InsertStringAt(int, const char*, int, std::int64_t, bool) {
    return nullptr;
}
bool QElement::RemoveAt(int) {
    return false;
}
bool QElement::Remove(QElement*) {
    return false;
}
QElement* QElement::DetachAt(int) {
    return nullptr;
}
bool QElement::Detach(QElement*) {
    return false;
}
bool QElement::RemoveAll() {
    return false;
}
int QElement::Count() const {
    return 0;
}

int QElement::SetCodePage(int codePage) {
    codePage_ = codePage;
    return 0;
}

void QElement::Reset() {
    if (parent_ != nullptr) {
        parent_->Detach(this);
    }
    ClearContent();
}

std::string_view QElement::SourceBytes() const {
    if (position_ == nullptr || encodedLength_ <= 0) {
        return {};
    }
    return std::string_view(position_, static_cast<std::size_t>(encodedLength_));
}

int QElement::DefaultCodePage() {
    return gDefaultCodePage.load(std::memory_order_relaxed);
}

void QElement::SetDefaultCodePage(int codePage) {
    gDefaultCodePage.store(codePage, std::memory_order_relaxed);
}

void QElement::ClearContent() {
    position_ = nullptr;
    std::string().swap(text_);
    hasText_ = false;
    textLength_ = 0;
    hasInteger_ = 0;
    integer_ = 0;
    validKind_ = 0;
    encodedLength_ = 0;
}

void QElement::SetText(const char* text, int length) {
    text_.assign(text, static_cast<std::size_t>(length));
    hasText_ = true;
    textLength_ = length;
}
