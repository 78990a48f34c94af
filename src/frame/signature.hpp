// A method's Python signature, written once: the text signature that heads
// its docstring ("near_neighbors($self, point, top_k=10, percentile=50)\n--\n\n...").
//
// The interpreter shows that text as the method's __text_signature__; the
// frame reads the same text at compile time for the name, the parameters,
// how many are required, their defaults and whether the method is static (no
// $self). A malformed signature stops the build.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace tarn::frame {

inline constexpr std::size_t kMaxParams = 10;

struct Signature {
    std::string_view name;
    std::array<std::string_view, kMaxParams> params{};
    std::array<std::string_view, kMaxParams> defaults{}; // the default's text; empty when required
    std::size_t num_params = 0;
    std::size_t required = 0;
    bool is_static = false; // no $self
};

namespace signature_detail {

constexpr bool is_word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

constexpr bool is_identifier(std::string_view s) {
    if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
    for (char c : s)
        if (!is_word_char(c)) return false;
    return true;
}

// The defaults the frame can read back: None, True, False, and unsigned or
// decimal numbers.
constexpr bool is_default(std::string_view s) {
    if (s == "None" || s == "True" || s == "False") return true;
    std::size_t digits = 0, dots = 0;
    for (char c : s) {
        if (c == '.') {
            ++dots;
        } else if (c >= '0' && c <= '9') {
            ++digits;
        } else {
            return false;
        }
    }
    return digits > 0 && dots <= 1 && s.front() != '.' && s.back() != '.';
}

} // namespace signature_detail

// Reads the text signature at the head of doc. Used in constant expressions
// only, where each `throw` is a compile error naming the fault.
consteval Signature parse_signature(std::string_view doc) {
    using namespace signature_detail;
    Signature sig;
    const std::size_t open = doc.find('(');
    if (open == std::string_view::npos) throw "text signature: no '('";
    sig.name = doc.substr(0, open);
    if (!is_identifier(sig.name)) throw "text signature: the name is not an identifier";
    const std::size_t close = doc.find(')', open);
    if (close == std::string_view::npos) throw "text signature: no ')'";
    if (doc.substr(close, 6) != ")\n--\n\n") throw "text signature: ')' must be followed by \"\\n--\\n\\n\"";
    std::string_view list = doc.substr(open + 1, close - open - 1);
    sig.is_static = !list.starts_with("$self");
    if (!sig.is_static) list.remove_prefix(list.starts_with("$self, ") ? 7 : 5);
    bool defaulted = false;
    while (!list.empty()) {
        const std::size_t comma = list.find(", ");
        std::string_view param = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 2);
        if (sig.num_params == kMaxParams) throw "text signature: more than kMaxParams parameters";
        std::string_view value;
        if (const std::size_t eq = param.find('='); eq != std::string_view::npos) {
            value = param.substr(eq + 1);
            param = param.substr(0, eq);
            if (!is_default(value)) throw "text signature: a default the frame cannot read";
            defaulted = true;
        } else if (defaulted) {
            throw "text signature: a required parameter after a defaulted one";
        } else {
            ++sig.required;
        }
        if (!is_identifier(param)) throw "text signature: a parameter name is not an identifier";
        sig.params[sig.num_params] = param;
        sig.defaults[sig.num_params] = value;
        ++sig.num_params;
    }
    return sig;
}

} // namespace tarn::frame
