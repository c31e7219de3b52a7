#pragma once
// A bencoded dictionary, held as the flat child list described in QElement.h.
#include "engine/bencode/QMultiElement.h"

class QDictionaryElement : public QMultiElement {
public:
    QDictionaryElement() : QMultiElement(kDictionaryKind) {}

protected:
    void ChildrenChanged() override;
};
