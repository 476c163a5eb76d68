#pragma once

#include <cstddef>
#include <string>

// One simple case folding: a code point and the one it folds to.
struct CaseFold {
    char32_t from;
    char32_t to;
};

// Every folding of a code point outside ASCII, sorted by `from` (case_folding_table.cpp, made by
// scripts/gen-case-folding from the Unicode data).
extern const CaseFold case_folds[];
extern const std::size_t case_fold_count;

// UTF-8 text with every letter folded to one case, the same on every build and in every locale:
// names that differ only in letter case fold to the same text. Bytes that are not valid UTF-8
// stay as they are.
std::string fold_case(const std::string& utf8);
