#include "engine/bencode/QListElement.h"

// A list keeps nothing beside its children that would need updating.
void QListElement::ChildrenChanged() {}
