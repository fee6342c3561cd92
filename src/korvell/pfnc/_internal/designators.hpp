// designators.hpp -- the joining rule of designation pieces as plain C++, shared
// by the compiled `join_designators` and the modules that format pieces in C++.
#pragma once

#include <string>
#include <string_view>

namespace korvell {

/// Whether a "_" goes between `left` and `right`: only where two ASCII digit
/// runs would meet and read as one number.  The texts are UTF-8, whose
/// multi-byte sequences never hold an ASCII byte, so the last and first bytes
/// decide.
inline bool pieces_need_separator(std::string_view left, std::string_view right) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return !left.empty() && !right.empty() && digit(left.back()) && digit(right.front());
}

/// `joined` followed by `piece` as one designation, in place: the join of
/// a longer designation piece by piece without a string per step.
inline void append_piece(std::string &joined, std::string_view piece) {
    if (pieces_need_separator(joined, piece))
        joined.push_back('_');
    joined.append(piece);
}

/// `left` and `right` joined as one designation ("c3" + "p32" gives "c3p32",
/// "YCbCr422" + "8" gives "YCbCr422_8").
inline std::string join_pieces(std::string_view left, std::string_view right) {
    std::string joined;
    joined.reserve(left.size() + right.size() + 1);
    joined.append(left);
    append_piece(joined, right);
    return joined;
}

} // namespace korvell
