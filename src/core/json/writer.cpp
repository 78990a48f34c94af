#include "core/json/writer.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace tarn::core::json {

namespace {

// Lays out the shortest round-trip digits of a finite value. `sci` is what
// std::to_chars gives in scientific form ("-1.2345e+07"): sign, digits with
// a point after the first, exponent. Positional when lo <= exponent <= hi.
std::size_t layout(char* out, const char* sci, std::size_t n, int lo, int hi) {
    std::size_t i = 0;
    char* o = out;
    if (sci[0] == '-') {
        *o++ = '-';
        i = 1;
    }
    char digits[kMaxNumberChars];
    std::size_t nd = 0;
    while (i < n && sci[i] != 'e') {
        if (sci[i] != '.') digits[nd++] = sci[i];
        ++i;
    }
    int exp = 0;
    // sci[i] == 'e'; then sign and at least two digits
    const bool neg_exp = sci[i + 1] == '-';
    for (std::size_t k = i + 2; k < n; ++k) exp = exp * 10 + (sci[k] - '0');
    if (neg_exp) exp = -exp;
    if (nd == 1 && digits[0] == '0') exp = 0; // zero: "0e+00"

    if (exp >= lo && exp <= hi) {
        if (exp < 0) {
            *o++ = '0';
            *o++ = '.';
            for (int z = -1; z > exp; --z) *o++ = '0';
            std::memcpy(o, digits, nd);
            o += nd;
        } else {
            const std::size_t int_digits = static_cast<std::size_t>(exp) + 1;
            if (nd <= int_digits) {
                std::memcpy(o, digits, nd);
                o += nd;
                for (std::size_t z = nd; z < int_digits; ++z) *o++ = '0';
                *o++ = '.';
                *o++ = '0';
            } else {
                std::memcpy(o, digits, int_digits);
                o += int_digits;
                *o++ = '.';
                std::memcpy(o, digits + int_digits, nd - int_digits);
                o += nd - int_digits;
            }
        }
    } else {
        *o++ = digits[0];
        if (nd > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, nd - 1);
            o += nd - 1;
        }
        *o++ = 'e';
        *o++ = exp < 0 ? '-' : '+';
        const auto r = std::to_chars(o, o + 8, exp < 0 ? -exp : exp);
        o = r.ptr;
    }
    return static_cast<std::size_t>(o - out);
}

std::size_t write_null(char* out) {
    std::memcpy(out, "null", 4);
    return 4;
}

} // namespace

namespace {

// The shortest round-trip text of v laid out by the positional range
// [lo, hi]. The plain std::to_chars form is already right for the common
// case -- a positional text with a point and an exponent inside the range --
// and is only redone in scientific form and laid out otherwise.
// exact_digits: integers with at most this many digits are printed by the
// plain form as their shortest text (all smaller integers are exact in F);
// larger ones come out as their exact value, not the shortest.
template <class F>
std::size_t format_shortest(char* out, F v, int lo, int hi, std::size_t exact_digits) {
    if (!std::isfinite(v)) return write_null(out);
    const auto r = std::to_chars(out, out + kMaxNumberChars, v);
    const std::size_t n = static_cast<std::size_t>(r.ptr - out);
    const std::size_t sign = out[0] == '-' ? 1 : 0;
    std::size_t point = 0;
    bool exponent = false;
    for (std::size_t i = sign; i < n; ++i) {
        if (out[i] == '.') point = i;
        if (out[i] == 'e') exponent = true;
    }
    if (!exponent) {
        if (point == 0) {
            // A small integer: positional with ".0".
            if (n - sign <= exact_digits) {
                out[n] = '.';
                out[n + 1] = '0';
                return n + 2;
            }
        } else if (out[sign] != '0') {
            if (static_cast<int>(point - sign) - 1 <= hi) return n;
        } else {
            std::size_t zeros = 0;
            while (point + 1 + zeros < n && out[point + 1 + zeros] == '0') ++zeros;
            if (-static_cast<int>(zeros) - 1 >= lo) return n;
        }
    }
    char sci[kMaxNumberChars];
    const auto s = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    return layout(out, sci, static_cast<std::size_t>(s.ptr - sci), lo, hi);
}

} // namespace

std::size_t format_f64(char* out, double v) { return format_shortest(out, v, -5, 15, 15); }
std::size_t format_f32(char* out, float v) { return format_shortest(out, v, -6, 12, 7); }

std::string Writer::take() {
    buf_.resize(len_);
    len_ = 0;
    need_comma_ = false;
    return std::move(buf_);
}

void Writer::grow(std::size_t n) {
    std::size_t want = buf_.size() < 256 ? 256 : buf_.size() * 2;
    while (want - len_ < n) want *= 2;
    buf_.resize(want);
}

void Writer::key(std::string_view name) {
    bool plain = true;
    for (const char c : name) plain = plain && c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20;
    if (!plain) {
        string(name);
        put(':');
        need_comma_ = false;
        return;
    }
    // Member names are plain identifiers: no escaping needed.
    char* o = reserve(name.size() + 4);
    std::size_t k = 0;
    if (need_comma_) o[k++] = ',';
    o[k++] = '"';
    std::memcpy(o + k, name.data(), name.size());
    k += name.size();
    o[k++] = '"';
    o[k++] = ':';
    len_ += k;
    need_comma_ = false;
}

void Writer::u64(std::uint64_t v) {
    separate();
    char* p = reserve(20);
    len_ = static_cast<std::size_t>(std::to_chars(p, p + 20, v).ptr - buf_.data());
}

void Writer::i64(std::int64_t v) {
    separate();
    char* p = reserve(20);
    len_ = static_cast<std::size_t>(std::to_chars(p, p + 20, v).ptr - buf_.data());
}

void Writer::f64(double v) {
    separate();
    char* p = reserve(kMaxNumberChars);
    len_ += format_f64(p, v);
}

void Writer::f32(float v) {
    separate();
    char* p = reserve(kMaxNumberChars);
    len_ += format_f32(p, v);
}

void Writer::boolean(bool v) {
    separate();
    const std::string_view t = v ? "true" : "false";
    std::memcpy(reserve(t.size()), t.data(), t.size());
    len_ += t.size();
}

void Writer::null() {
    separate();
    std::memcpy(reserve(4), "null", 4);
    len_ += 4;
}

void Writer::string(std::string_view s) {
    separate();
    // Worst case every byte becomes \u00XX.
    char* o = reserve(s.size() * 6 + 2);
    char* const start = o;
    *o++ = '"';
    static const char hex[] = "0123456789abcdef";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            *o++ = '\\';
            *o++ = '"';
            break;
        case '\\':
            *o++ = '\\';
            *o++ = '\\';
            break;
        case '\n':
            *o++ = '\\';
            *o++ = 'n';
            break;
        case '\r':
            *o++ = '\\';
            *o++ = 'r';
            break;
        case '\t':
            *o++ = '\\';
            *o++ = 't';
            break;
        case '\b':
            *o++ = '\\';
            *o++ = 'b';
            break;
        case '\f':
            *o++ = '\\';
            *o++ = 'f';
            break;
        default:
            if (c < 0x20) {
                *o++ = '\\';
                *o++ = 'u';
                *o++ = '0';
                *o++ = '0';
                *o++ = hex[c >> 4];
                *o++ = hex[c & 15];
            } else {
                *o++ = ch;
            }
        }
    }
    *o++ = '"';
    len_ += static_cast<std::size_t>(o - start);
}

template <class T>
void Writer::ndarray_impl(std::span<const std::uint64_t> dim, std::span<const T> data) {
    begin_object();
    key("v");
    u64(1);
    key("dim");
    begin_array();
    for (const std::uint64_t d : dim) u64(d);
    end_array();
    key("data");
    begin_array();
    for (const T& x : data) write(*this, x);
    end_array();
    end_object();
}

void Writer::ndarray(std::span<const std::uint64_t> dim, std::span<const float> data) { ndarray_impl(dim, data); }
void Writer::ndarray(std::span<const std::uint64_t> dim, std::span<const double> data) { ndarray_impl(dim, data); }
void Writer::ndarray(std::span<const std::uint64_t> dim, std::span<const std::uint64_t> data) {
    ndarray_impl(dim, data);
}
void Writer::ndarray(std::span<const std::uint64_t> dim, std::span<const std::int64_t> data) {
    ndarray_impl(dim, data);
}

void write(Writer& w, const Xoshiro256PlusPlus& g) {
    w.begin_object();
    w.key("s");
    w.begin_array();
    for (const std::uint64_t s : g.s) w.u64(s);
    w.end_array();
    w.end_object();
}

} // namespace tarn::core::json
