#pragma once
// Letter case in names is ignored the way Windows ignores it in file and image names: every
// character is mapped to its invariant upper case, one for one, so a folded name keeps its length.

#include <string>

std::wstring FoldCase(const wchar_t* text, size_t length);
// A null text folds to an empty one.
std::wstring FoldCase(const wchar_t* text);
bool SameIgnoringCase(const wchar_t* left, const wchar_t* right);
