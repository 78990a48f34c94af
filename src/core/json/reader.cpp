#include "core/json/reader.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>
#include <type_traits>

#include "core/error.hpp"

namespace tarn::core::json {

std::string ParseError::text() const {
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

ParseError Reader::error() const {
    ParseError e;
    e.message = message_;
    const std::size_t end = std::min(error_pos_, text_.size());
    std::uint64_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < end; ++i) {
        if (text_[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    e.line = line;
    e.column = std::max<std::uint64_t>(1, end - line_start);
    return e;
}

bool Reader::fail(std::string message) {
    if (!failed_) {
        failed_ = true;
        message_ = std::move(message);
        error_pos_ = pos_;
    }
    return false;
}

bool Reader::fail_here(std::string message) {
    if (!failed_) {
        failed_ = true;
        message_ = std::move(message);
        error_pos_ = std::min(pos_ + 1, text_.size());
    }
    return false;
}

bool Reader::fail_no_value() {
    skip_ws();
    if (pos_ >= text_.size()) return fail("EOF while parsing a value");
    return fail_here("expected value");
}

Reader::Type Reader::peek() {
    if (failed_) return Type::None;
    skip_ws();
    if (pos_ >= text_.size()) return Type::None;
    switch (text_[pos_]) {
    case 'n': return Type::Null;
    case 't':
    case 'f': return Type::Bool;
    case '"': return Type::String;
    case '[': return Type::Array;
    case '{': return Type::Object;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': return Type::Number;
    default: return Type::None;
    }
}

bool Reader::expect_literal(std::string_view word) {
    for (const char c : word) {
        if (pos_ >= text_.size()) return fail("EOF while parsing a value");
        if (text_[pos_] != c) return fail_here("expected ident");
        ++pos_;
    }
    return true;
}

bool Reader::scan_number(Number& num) {
    const char* const begin = text_.data();
    const char* const end = begin + text_.size();
    const char* p = begin + pos_;
    auto is_digit = [](char c) { return static_cast<unsigned>(c - '0') < 10u; };
    auto bad = [&]() {
        pos_ = static_cast<std::size_t>(p - begin);
        if (p == end) return fail("EOF while parsing a value");
        return fail_here("invalid number");
    };
    num = Number{};
    if (p < end && *p == '-') {
        num.negative = true;
        ++p;
    }
    if (p == end || !is_digit(*p)) return bad();
    // Mantissa digits straight into sig; more than 19 of them (rare) are
    // redone below, keeping the first 19 significant ones.
    std::uint64_t sig = 0;
    int digits = 0;
    int frac = 0;
    if (*p == '0') {
        ++p;
    } else {
        while (p < end && is_digit(*p)) {
            sig = sig * 10 + static_cast<unsigned>(*p++ - '0');
            ++digits;
        }
    }
    const char* mantissa_end = p;
    if (p < end && *p == '.') {
        num.is_float = true;
        ++p;
        if (p == end || !is_digit(*p)) return bad();
        while (p < end && is_digit(*p)) {
            sig = sig * 10 + static_cast<unsigned>(*p++ - '0');
            ++digits;
            ++frac;
        }
        mantissa_end = p;
    }
    int exp = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        num.is_float = true;
        ++p;
        bool neg_exp = false;
        if (p < end && (*p == '+' || *p == '-')) neg_exp = *p++ == '-';
        if (p == end || !is_digit(*p)) return bad();
        while (p < end && is_digit(*p)) {
            if (exp < 100000) exp = exp * 10 + (*p - '0');
            ++p;
        }
        if (neg_exp) exp = -exp;
    }
    const std::size_t start = pos_;
    pos_ = static_cast<std::size_t>(p - begin);
    num.text = text_.substr(start, pos_ - start);
    if (digits <= 19) {
        num.sig = sig;
        num.exp10 = exp - frac;
        return true;
    }
    // Long mantissa: keep 19 significant digits, note whether any nonzero
    // digit was dropped. Exponent shifts are clamped far beyond any range
    // where the exact value matters (it then comes from from_chars).
    constexpr int kClamp = 1000000;
    sig = 0;
    int kept = 0;
    int shift = 0;
    bool fraction = false;
    for (const char* q = begin + start + (num.negative ? 1 : 0); q < mantissa_end; ++q) {
        if (*q == '.') {
            fraction = true;
            continue;
        }
        const unsigned d = static_cast<unsigned>(*q - '0');
        if (kept < 19) {
            sig = sig * 10 + d;
            if (sig != 0) ++kept;
            if (fraction && shift > -kClamp) --shift;
        } else {
            if (d != 0) num.exact = false;
            if (!fraction && shift < kClamp) ++shift;
        }
    }
    num.sig = sig;
    num.exp10 = exp + shift;
    return true;
}

bool Reader::scan_number_at_value(Number& num, std::string_view expected) {
    if (peek() != Type::Number) return fail_type(expected);
    return scan_number(num);
}

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Length of the well-formed UTF-8 sequence at s[i] (lead byte >= 0x80), or
// 0 when it is not well formed.
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) -> unsigned {
        return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
    };
    const unsigned c = b(0);
    auto cont = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) { return b(k) >= lo && b(k) <= hi; };
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
    if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return cont(1) && cont(2) ? 3 : 0;
    if (c == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
    if (c == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
    if (c >= 0xF1 && c <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
    if (c == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
    return 0;
}

} // namespace

bool Reader::scan_string(std::string_view& out) {
    const std::size_t n = text_.size();
    ++pos_; // opening quote
    const std::size_t start = pos_;
    auto eof = [&]() { return fail("EOF while parsing a string"); };
    // Fast path: no escapes, the string is a slice of the text.
    while (true) {
        if (pos_ >= n) return eof();
        const auto c = static_cast<unsigned char>(text_[pos_]);
        if (c == '"') {
            out = text_.substr(start, pos_ - start);
            ++pos_;
            return true;
        }
        if (c == '\\') {
            break;
        }
        if (c < 0x20) return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
        if (c >= 0x80) {
            const std::size_t len = utf8_sequence(text_, pos_);
            if (len == 0) return fail_here("invalid unicode code point");
            pos_ += len;
        } else {
            ++pos_;
        }
    }
    // Slow path: decode into scratch_.
    scratch_.assign(text_.substr(start, pos_ - start));
    while (true) {
        if (pos_ >= n) return eof();
        const auto c = static_cast<unsigned char>(text_[pos_]);
        if (c == '"') {
            ++pos_;
            out = scratch_;
            return true;
        }
        if (c < 0x20) return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
        if (c >= 0x80) {
            const std::size_t len = utf8_sequence(text_, pos_);
            if (len == 0) return fail_here("invalid unicode code point");
            scratch_.append(text_.substr(pos_, len));
            pos_ += len;
            continue;
        }
        if (c != '\\') {
            scratch_.push_back(static_cast<char>(c));
            ++pos_;
            continue;
        }
        ++pos_;
        if (pos_ >= n) return eof();
        const char e = text_[pos_];
        switch (e) {
        case '"': scratch_.push_back('"'); break;
        case '\\': scratch_.push_back('\\'); break;
        case '/': scratch_.push_back('/'); break;
        case 'b': scratch_.push_back('\b'); break;
        case 'f': scratch_.push_back('\f'); break;
        case 'n': scratch_.push_back('\n'); break;
        case 'r': scratch_.push_back('\r'); break;
        case 't': scratch_.push_back('\t'); break;
        case 'u': {
            auto hex4 = [&](std::uint32_t& v) {
                v = 0;
                for (int k = 0; k < 4; ++k) {
                    ++pos_;
                    if (pos_ >= n) return eof();
                    const int h = hex_value(text_[pos_]);
                    if (h < 0) return fail_here("invalid escape");
                    v = v * 16 + static_cast<std::uint32_t>(h);
                }
                return true;
            };
            std::uint32_t cp = 0;
            if (!hex4(cp)) return false;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_here("lone trailing surrogate in hex escape");
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (pos_ + 2 >= n || text_[pos_ + 1] != '\\' || text_[pos_ + 2] != 'u') {
                    return fail_here("lone leading surrogate in hex escape");
                }
                pos_ += 2; // now at 'u'
                std::uint32_t lo = 0;
                if (!hex4(lo)) return false;
                if (lo < 0xDC00 || lo > 0xDFFF) return fail_here("lone leading surrogate in hex escape");
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            }
            append_utf8(scratch_, cp);
            break;
        }
        default: return fail_here("invalid escape");
        }
        ++pos_;
    }
}

void Reader::describe_next(std::string& found) {
    switch (peek()) {
    case Type::Null:
        if (expect_literal("null")) found = "null";
        return;
    case Type::Bool: {
        const bool v = text_[pos_] == 't';
        if (expect_literal(v ? "true" : "false")) found = v ? "boolean `true`" : "boolean `false`";
        return;
    }
    case Type::Number: {
        Number num;
        if (scan_number(num)) {
            found = num.is_float ? "floating point `" : "integer `";
            found.append(num.text);
            found.push_back('`');
        }
        return;
    }
    case Type::String: {
        std::string_view s;
        if (scan_string(s)) {
            found = "string \"";
            found.append(s);
            found.push_back('"');
        }
        return;
    }
    case Type::Array: found = "sequence"; return;
    case Type::Object: found = "map"; return;
    case Type::None: return;
    }
}

bool Reader::fail_type(std::string_view expected) {
    if (failed_) return false;
    const Type t = peek();
    if (t == Type::None) return fail_no_value();
    std::string found;
    describe_next(found);
    if (failed_) return false;
    std::string msg = "invalid type: " + found + ", expected ";
    msg.append(expected);
    // A container is not consumed: point at its opening bracket.
    if (t == Type::Array || t == Type::Object) return fail_here(std::move(msg));
    return fail(std::move(msg));
}

template <class T>
T Reader::read_integer(std::string_view type_name) {
    Number num;
    if (!scan_number_at_value(num, type_name)) return 0;
    if (num.is_float) {
        fail("invalid type: floating point `" + std::string(num.text) + "`, expected " + std::string(type_name));
        return 0;
    }
    if constexpr (std::is_unsigned_v<T>) {
        if (!num.negative && num.exact && num.exp10 == 0) return num.sig; // the scan's value, no second parse
    }
    T v = 0;
    const auto r = std::from_chars(num.text.data(), num.text.data() + num.text.size(), v);
    if ((std::is_unsigned_v<T> && num.negative) || r.ec != std::errc() || r.ptr != num.text.data() + num.text.size()) {
        fail("invalid value: integer `" + std::string(num.text) + "`, expected " + std::string(type_name));
        return 0;
    }
    return v;
}

std::uint64_t Reader::read_u64() { return read_integer<std::uint64_t>("u64"); }

std::int64_t Reader::read_i64() { return read_integer<std::int64_t>("i64"); }

namespace {

// For a literal that from_chars found out of range: true when its magnitude
// is below the smallest subnormal (it reads as zero), false when it is too
// large. The decimal exponent of the first significant digit decides: the
// two limits are hundreds of orders of magnitude apart.
bool underflows(std::string_view tok) {
    std::size_t i = tok[0] == '-' ? 1 : 0;
    long long first = 0; // position of the first nonzero digit relative to the point
    bool found = false;
    long long int_digits = 0;
    for (; i < tok.size() && tok[i] >= '0' && tok[i] <= '9'; ++i, ++int_digits) {
        if (!found && tok[i] != '0') {
            found = true;
            first = int_digits;
        }
    }
    if (i < tok.size() && tok[i] == '.') {
        ++i;
        for (long long k = 0; i < tok.size() && tok[i] >= '0' && tok[i] <= '9'; ++i, ++k) {
            if (!found && tok[i] != '0') {
                found = true;
                first = int_digits + k;
            }
        }
    }
    if (!found) return true; // all zeros
    long long exp = 0;
    if (i < tok.size() && (tok[i] == 'e' || tok[i] == 'E')) {
        ++i;
        const bool neg = i < tok.size() && tok[i] == '-';
        if (i < tok.size() && (tok[i] == '+' || tok[i] == '-')) ++i;
        for (; i < tok.size(); ++i) {
            if (exp < 100000000) exp = exp * 10 + (tok[i] - '0');
        }
        if (neg) exp = -exp;
    }
    // value ~ 10^(int_digits - 1 - first + exp)
    return int_digits - 1 - first + exp < 0;
}

template <class F>
bool parse_float(std::string_view tok, F& out) {
    const auto r = std::from_chars(tok.data(), tok.data() + tok.size(), out, std::chars_format::general);
    if (r.ptr != tok.data() + tok.size()) return false;
    if (r.ec == std::errc()) return true;
    if (r.ec == std::errc::result_out_of_range && underflows(tok)) {
        out = tok[0] == '-' ? -F(0) : F(0);
        return true;
    }
    return false;
}

constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The correctly rounded double of a short decimal, when one exact
// operation gives it: a significand below 2^53 and a power of ten up to
// 10^22 are both exact, so one multiplication or division rounds once.
bool fast_double(const Reader::Number& num, double& out) {
    if (!num.exact || num.sig > (std::uint64_t{1} << 53) || num.exp10 < -22 || num.exp10 > 22) return false;
    double d = static_cast<double>(num.sig);
    d = num.exp10 < 0 ? d / kPow10[-num.exp10] : d * kPow10[num.exp10];
    out = num.negative ? -d : d;
    return true;
}

} // namespace

double Reader::read_f64() {
    Number num;
    if (!scan_number_at_value(num, "f64")) return 0.0;
    double v = 0.0;
    if (fast_double(num, v)) return v;
    if (!parse_float(num.text, v)) {
        fail("number out of range");
        return 0.0;
    }
    return v;
}

float Reader::read_f32() {
    Number num;
    if (!scan_number_at_value(num, "f32")) return 0.0f;
    double d = 0.0;
    if (fast_double(num, d)) {
        // Rounding the correctly rounded double to float is the correctly
        // rounded float unless the double sits exactly halfway between two
        // floats; keep to the normal float range, where that is a fixed bit
        // pattern.
        const double mag = d < 0 ? -d : d;
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
        if ((mag == 0.0 || (mag >= 0x1p-125 && mag <= 0x1p127)) && (bits & 0x1FFFFFFFu) != 0x10000000u) {
            return static_cast<float>(d);
        }
    }
    float v = 0.0f;
    if (!parse_float(num.text, v)) {
        fail("number out of range");
        return 0.0f;
    }
    return v;
}

bool Reader::read_bool() {
    if (peek() != Type::Bool) {
        fail_type("a boolean");
        return false;
    }
    if (text_[pos_] == 't') return expect_literal("true");
    expect_literal("false");
    return false;
}

void Reader::read_null() {
    if (peek() != Type::Null) {
        fail_type("null");
        return;
    }
    expect_literal("null");
}

bool Reader::consume_null() {
    if (peek() != Type::Null) return false;
    expect_literal("null");
    return true;
}

std::string_view Reader::read_string() {
    if (peek() != Type::String) {
        fail_type("a string");
        return {};
    }
    std::string_view s;
    if (!scan_string(s)) return {};
    return s;
}

bool Reader::enter(char kind) {
    if (depth_ >= kMaxDepth) return fail_here("recursion limit exceeded");
    kinds_[depth_++] = kind;
    ++pos_;
    after_open_ = true;
    return true;
}

void Reader::leave() {
    ++pos_;
    --depth_;
    after_open_ = false;
}

bool Reader::begin_array(std::string_view expected) {
    if (peek() != Type::Array) return fail_type(expected);
    return enter('[');
}

bool Reader::begin_object(std::string_view expected) {
    if (peek() != Type::Object) return fail_type(expected);
    return enter('{');
}

// The texts of the two container kinds, by their opening character.
namespace {
char closer(char kind) { return kind == '[' ? ']' : '}'; }
const char* eof_inside(char kind) { return kind == '[' ? "EOF while parsing a list" : "EOF while parsing an object"; }
} // namespace

bool Reader::at_container_end(char kind, const char* misuse) {
    if (failed_) return true;
    check_internal(depth_ > 0 && kinds_[depth_ - 1] == kind, misuse);
    skip_ws();
    if (pos_ >= text_.size()) {
        fail(eof_inside(kind));
        return true;
    }
    if (text_[pos_] != closer(kind)) return false;
    leave();
    return true;
}

bool Reader::separator(char kind) {
    if (text_[pos_] != ',') return fail_here(std::string("expected `,` or `") + closer(kind) + "`");
    ++pos_;
    skip_ws();
    if (pos_ < text_.size() && text_[pos_] == closer(kind)) return fail_here("trailing comma");
    return true;
}

bool Reader::next_element() {
    if (at_container_end('[', "json: next_element outside an array")) return false;
    if (after_open_) {
        after_open_ = false;
        return true;
    }
    return separator('[');
}

bool Reader::next_key(std::string_view& key) {
    if (at_container_end('{', "json: next_key outside an object")) return false;
    if (!after_open_ && !separator('{')) return false;
    after_open_ = false;
    if (pos_ >= text_.size()) return fail(eof_inside('{'));
    if (text_[pos_] != '"') return fail_here("key must be a string");
    if (!scan_string(key)) return false;
    skip_ws();
    if (pos_ >= text_.size()) return fail(eof_inside('{'));
    if (text_[pos_] != ':') return fail_here("expected `:`");
    ++pos_;
    return true;
}

void Reader::end_container(char kind, const char* misuse) {
    if (!at_container_end(kind, misuse) && !failed_) fail_here(std::string("expected `") + closer(kind) + "`");
}

void Reader::end_array() { end_container('[', "json: end_array outside an array"); }

void Reader::end_object() { end_container('{', "json: end_object outside an object"); }

void Reader::skip_value() {
    const std::size_t base = depth_;
    bool need_value = true;
    while (!failed_) {
        if (need_value) {
            switch (peek()) {
            case Type::None: fail_no_value(); return;
            case Type::Null: expect_literal("null"); break;
            case Type::Bool: read_bool(); break;
            case Type::Number: {
                Number num;
                scan_number(num);
                break;
            }
            case Type::String: {
                std::string_view s;
                scan_string(s);
                break;
            }
            case Type::Array: enter('['); break;
            case Type::Object: enter('{'); break;
            }
            if (failed_) return;
        }
        if (depth_ == base) return;
        if (kinds_[depth_ - 1] == '[') {
            need_value = next_element();
        } else {
            std::string_view key;
            need_value = next_key(key);
        }
    }
}

void Reader::finish() {
    if (failed_) return;
    skip_ws();
    if (pos_ < text_.size()) fail_here("trailing characters");
}

} // namespace tarn::core::json
