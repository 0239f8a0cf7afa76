// Reports of damage found in the tree file and of refused operations: every
// message names the file, so each layer passes the path it works on.
#pragma once

#include <string>

#include "BTreeException.h"
#include "TamBase.h"

namespace TamBTree {

// The text followed by the tree file's path.
inline std::wstring WithPath(const std::string& path, const std::wstring& text) {
    return text + L" (" + Tam::FromMultiByte(path) + L")";
}

// Damage found in the file: "The B-Tree is invalid. <what> (<path>)".
[[noreturn]] inline void ThrowInvalid(const std::string& path, const std::wstring& what) {
    throw BTreeDamagedException(WithPath(path, L"The B-Tree is invalid. " + what));
}

}  // namespace TamBTree
