// Letter case as Windows ignores it in file names.
#pragma once

#include <string>
#include <string_view>

namespace km::updater {

// The character's simple uppercase mapping (UnicodeData.txt field 12), or the character itself
// when it has none.
char32_t simple_uppercase(char32_t c);

// `text` with every UTF-8 character replaced by its simple uppercase mapping: NTFS compares names
// through an upcase table made from that mapping, so two names with the same folded form are one
// file there ("α"/"Α", "ÿ"/"Ÿ", "ſ"/"S"). Bytes that are not strict UTF-8 (overlong forms,
// surrogates, cut-off sequences) are kept as they are, so no such byte ever folds onto a letter.
// Characters beyond the Basic Multilingual Plane are folded too, although NTFS leaves them
// alone: a name pair refused for that is refused on the safe side.
std::string case_folded(std::string_view text);

}  // namespace km::updater
