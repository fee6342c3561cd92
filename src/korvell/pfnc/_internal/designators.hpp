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

/// `left` and `right` joined as one designation ("c3" + "p32" gives "c3p32",
/// "YCbCr422" + "8" gives "YCbCr422_8").
inline std::string join_pieces(std::string_view left, std::string_view right) {
    std::string joined;
    joined.reserve(left.size() + right.size() + 1);
    joined.append(left);
    if (pieces_need_separator(left, right))
        joined.push_back('_');
    joined.append(right);
    return joined;
}

} // namespace korvell
