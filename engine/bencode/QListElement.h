#pragma once
// A bencoded list.
#include "engine/bencode/QMultiElement.h"

class QListElement : public QMultiElement {
public:
    QListElement() : QMultiElement(kListKind) {}

protected:
    void ChildrenChanged() override;
};
