#pragma once
#include <string>

// Creates every missing level of path ('/' separated; a trailing separator is
// allowed). 0 on success, -2 for a path of one character or less, otherwise minus the
// number of the level whose creation failed (the first level below the root is 1).
int CreateFolderChain(const std::string& path);
