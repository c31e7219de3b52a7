#include "engine/bencode/QDictionaryElement.h"

// Keys and values are not paired up on edits: the flat list is the dictionary.
void QDictionaryElement::ChildrenChanged() {}
