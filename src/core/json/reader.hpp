// Pull reader over a JSON text, without a document tree.
//
// The reader walks the text once. Values are pulled by type (read_u64,
// read_f32, begin_array + next_element, begin_object + next_key, ...). The
// first error is recorded with the position where reading stopped; from then
// on every call returns a neutral value (0, false, empty) and every loop
// ends, so a format reader needs no error plumbing of its own: it runs to the
// end and the caller asks ok() / error() once. parse() does exactly that.
//
// Nothing here recurses over the input: containers are tracked by a depth
// counter (limited to kMaxDepth), skipping a value is a loop, and no length
// claimed by the text is trusted for an allocation.
//
// Messages are "what went wrong" + " at line L column C" (1-based, columns in
// bytes), e.g. "missing field `root` at line 1 column 42".
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/error.hpp"

namespace tarn::core::json {

inline constexpr std::size_t kMaxDepth = 128;

struct ParseError {
    std::string message;      // without the position
    std::uint64_t line = 0;   // from 1
    std::uint64_t column = 0; // from 1

    // message + " at line L column C"
    std::string text() const;
};

// A non-owning callable reference (the callable must outlive the call).
template <class Sig>
class FunctionRef;
template <class R, class... A>
class FunctionRef<R(A...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>)
    FunctionRef(F&& f) noexcept // NOLINT: implicit on purpose
        : obj_(const_cast<void*>(static_cast<const void*>(&f))), call_([](void* o, A... a) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<A>(a)...);
          }) {}
    R operator()(A... a) const { return call_(obj_, std::forward<A>(a)...); }

private:
    void* obj_;
    R (*call_)(void*, A...);
};

class Reader {
public:
    enum class Type { Null, Bool, Number, String, Array, Object, None };

    explicit Reader(std::string_view text) : text_(text) {}

    // A number token and, when it has at most 19 significant digits, its
    // exact decimal value sig * 10^exp10.
    struct Number {
        std::string_view text;
        std::uint64_t sig = 0;
        int exp10 = 0;
        bool negative = false;
        bool is_float = false; // has a fraction or an exponent
        bool exact = true;     // sig holds every significant digit
    };

    bool ok() const { return !failed_; }
    // The recorded error (meaningful only when !ok()).
    ParseError error() const;
    // The recorded message without position (empty when ok()).
    const std::string& message() const { return message_; }

    // Records message at the current position unless an error is already
    // recorded. Always returns false, for `return r.fail(...)`.
    bool fail(std::string message);
    // Records "invalid type: <what the next value is>, expected <expected>".
    // A scalar is consumed first so that the position follows it.
    bool fail_type(std::string_view expected);

    // Skips whitespace and tells the type of the next value; None at the end
    // of the text, at a character that cannot start a value, or after an
    // error.
    Type peek();

    // Scalars. On a value of another type: "invalid type: ..., expected X"
    // with X = u64, i64, f64, f32, a boolean, a string, null. Integers refuse
    // fractions and exponents ("invalid type: floating point `1.5`, expected
    // u64"); u64 refuses negative literals; doubles and floats accept integer
    // literals; a literal beyond the type's range fails.
    std::uint64_t read_u64();
    std::int64_t read_i64();
    double read_f64();
    float read_f32();
    bool read_bool();
    void read_null();
    // Consumes a null and returns true if the next value is null.
    bool consume_null();
    // The decoded string; valid until the next call that reads a string.
    std::string_view read_string();
    // Skips one whole value of any type.
    void skip_value();

    // Arrays: if (r.begin_array("a sequence")) while (r.next_element()) { read one value }
    // begin_array fails with "invalid type: ..., expected <expected>" on a non-array.
    bool begin_array(std::string_view expected);
    // Moves to the next element; false (and the array closed) at its end.
    bool next_element();

    // Objects: if (r.begin_object("struct X")) while (r.next_key(key)) { read the member value }
    bool begin_object(std::string_view expected);
    // Moves to the next member and reads its key (valid until the next
    // string read); false (and the object closed) at its end.
    bool next_key(std::string_view& key);

    // Closes the innermost container at its end: "expected `]`" / "expected
    // `}`" when more follows. For containers of a fixed number of entries.
    void end_array();
    void end_object();

    // After the top-level value: refuses anything but whitespace.
    void finish();

    // Byte offset of the next unread character.
    std::size_t offset() const { return pos_; }
    // Bytes left after the current position: an upper bound for how many
    // more values the text can hold (each takes at least one byte).
    std::size_t remaining() const { return text_.size() - pos_; }

private:
    void skip_ws() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
            ++pos_;
        }
    }
    bool fail_here(std::string message); // error position includes the char at pos_
    bool enter(char kind);
    void leave();
    // At the end of the innermost container (kind '[' or '{'), closes it
    // and returns true; also true once a failure is recorded (here at the
    // end of the text, or earlier). `misuse` names the call made outside
    // such a container, an internal failure.
    bool at_container_end(char kind, const char* misuse);
    // The comma between entries, and no closing bracket right after it.
    bool separator(char kind);
    void end_container(char kind, const char* misuse);
    bool fail_no_value();
    bool expect_literal(std::string_view word);
    // Scans a number token at pos_. False (error recorded) on bad syntax.
    bool scan_number(Number& num);
    bool scan_number_at_value(Number& num, std::string_view expected);
    template <class T>
    T read_integer(std::string_view type_name);
    bool scan_string(std::string_view& out);
    void describe_next(std::string& found);

    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t depth_ = 0;
    char kinds_[kMaxDepth] = {}; // '[' or '{' per open container
    bool after_open_ = false;    // just inside '[' or '{': no comma expected
    bool failed_ = false;
    std::size_t error_pos_ = 0;
    std::string message_;
    std::string scratch_; // decoded strings with escapes
};

// Reads one whole text with read(reader) and refuses trailing characters.
inline std::expected<void, ParseError> parse(std::string_view text, FunctionRef<void(Reader&)> read) {
    Reader r(text);
    read(r);
    if (r.ok()) r.finish();
    if (!r.ok()) return std::unexpected(r.error());
    return {};
}

// parse() for a whole state: a failure comes back as an invalid argument
// behind `prefix`.
inline Status read_state(std::string_view text, std::string_view prefix, FunctionRef<void(Reader&)> read) {
    if (auto parsed = parse(text, read); !parsed) return invalid(std::string(prefix) + parsed.error().text());
    return {};
}

} // namespace tarn::core::json
