// libFuzzer target for one state reader, chosen at compile time with
// TARN_FUZZ_FORMAT: the JSON readers 1 Forest, 2 OnlineIForest, 3 MStream,
// 4 FeatureSketch, 5 Threshold (tarn.alerts), and the binary readers 6 to 10
// of the same classes.
//
// Every input is handed to the reader as a state. A rejected one must come
// back as an invalid-argument error with the class's "invalid ... JSON: " or
// "invalid ... state: " prefix (a FeatureSketch configuration read from JSON
// may fail with the constructor's own message). An accepted one must write a
// state that reads back and writes the same bytes again (a binary state also
// through its JSON text), and must survive a few calls of every kind (queries,
// scores, updates, copies) without an internal failure or a runtime error
// such as a deletion from an empty tree: a loaded state is one the detector
// can work on safely. Anything else -- a crash, a sanitizer report, an
// unexpected exception -- aborts, which is what libFuzzer reports.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/key_value.hpp"

#if TARN_FUZZ_FORMAT < 1 || TARN_FUZZ_FORMAT > 10
#error "TARN_FUZZ_FORMAT must be 1..10"
#endif
#define TARN_FUZZ_CLASS ((TARN_FUZZ_FORMAT - 1) % 5 + 1)
#define TARN_FUZZ_BINARY (TARN_FUZZ_FORMAT > 5)

#if TARN_FUZZ_CLASS == 1
#include "rcf/forest/forest.hpp"
#include "rcf/forest/impute.hpp"
#include "rcf/forest/query.hpp"
#elif TARN_FUZZ_CLASS == 2
#include "onlineiforest/detector.hpp"
#elif TARN_FUZZ_CLASS == 3
#include "mstream/detector.hpp"
#elif TARN_FUZZ_CLASS == 4
#include "featuresketch/detector.hpp"
#elif TARN_FUZZ_CLASS == 5
#include "alerts/threshold.hpp"
#endif

namespace {

using tarn::core::DetectorError;
using tarn::core::ErrorKind;

// What a refused state says, by class: the JSON and binary prefixes, and
// whether a configuration read from JSON may fail with the constructor's
// own message instead.
struct Rejection {
    std::string_view json_prefix;
    std::string_view binary_prefix;
    bool bare_json_allowed;
};
constexpr Rejection kRejections[] = {
    {"invalid forest JSON: ", "invalid Forest state: ", false},
    {"invalid OnlineIForest JSON: ", "invalid OnlineIForest state: ", false},
    {"invalid MStream JSON: ", "invalid MStream state: ", false},
    {"invalid FeatureSketch JSON: ", "invalid FeatureSketch state: ", true},
    {"invalid Threshold JSON: ", "invalid Threshold state: ", false},
};
constexpr Rejection kRejection = kRejections[TARN_FUZZ_CLASS - 1];

// Beyond this many coordinates a loaded detector is only read and written,
// not fed: a text may claim any dimension, and building huge points would
// measure the harness rather than the reader.
[[maybe_unused]] constexpr std::uint64_t kMaxFeedDim = 256;

[[noreturn]] void die(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz_state: %s %s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

// Caller errors from a loaded detector's operations are fine (a point of
// the wrong shape, a timestamp in the past); only their kind is checked.
template <class R>
void allow_caller_error(const R& r) {
    if (!r && r.error().kind == ErrorKind::Runtime) die("operation failed with:", r.error().display());
}

// The single-input calls of a detector fed one input: score, update, both.
template <class S, class X>
[[maybe_unused]] void feed(S& s, const X& x) {
    allow_caller_error(s.score(x));
    allow_caller_error(s.update(x));
    allow_caller_error(s.update_and_score(x));
}

// Values for fed points: finite, varied and derived from the input, so the
// fuzzer can steer them a little.
std::vector<float> point_of(std::uint64_t dim, const std::uint8_t* data, std::size_t size, int salt) {
    std::vector<float> p(dim);
    for (std::uint64_t i = 0; i < dim; ++i) {
        const std::uint8_t b = size ? data[(i * 7 + static_cast<std::uint64_t>(salt) * 13) % size] : 0;
        p[i] = static_cast<float>(static_cast<int>(b) - 128) / 16.0f + static_cast<float>(salt);
    }
    return p;
}

#if TARN_FUZZ_CLASS == 1
using State = tarn::rcf::Forest;

// The queries, on an observation and on a full point.
void query(const State& s, const std::uint8_t* data, std::size_t size, int salt) {
    namespace r = tarn::rcf;
    const std::uint64_t dims = s.dims();
    for (const std::uint64_t len : {s.config().input_dim, dims}) {
        const auto p = point_of(len, data, size, salt);
        allow_caller_error(r::displacement_score(s, p));
        allow_caller_error(r::density(s, p));
        allow_caller_error(r::attribution(s, p));
        allow_caller_error(r::near_neighbors(s, p, 5, static_cast<std::uint64_t>(salt) * 30));
    }
    const auto full = point_of(dims, data, size, salt);
    const std::vector<std::uint64_t> missing{0, dims - 1, dims / 2};
    allow_caller_error(r::impute(s, full, missing, 1.0));
    allow_caller_error(r::impute(s, full, missing, 0.25));
    allow_caller_error(r::extrapolate(s, s.config().shingle_size));
}

void exercise(State& s, const std::uint8_t* data, std::size_t size) {
    const std::uint64_t dim = s.config().internal_shingling ? s.config().input_dim : s.dims();
    if (dim == 0 || dim > kMaxFeedDim || s.dims() > kMaxFeedDim) return;
    query(s, data, size, 0);
    for (int i = 0; i < 4; ++i) feed(s, point_of(dim, data, size, i));
    query(s, data, size, 3);
}
#elif TARN_FUZZ_CLASS == 2
using State = tarn::onlineiforest::OnlineIForest;

void exercise(State& s, const std::uint8_t* data, std::size_t size) {
    const std::uint64_t dim = s.config().input_dim;
    if (dim == 0 || dim > kMaxFeedDim) return;
    for (int i = 0; i < 4; ++i) feed(s, point_of(dim, data, size, i));
}
#elif TARN_FUZZ_CLASS == 3
using State = tarn::mstream::MStream;

void exercise(State& s, const std::uint8_t* data, std::size_t size) {
    const std::uint64_t n = s.config().numeric_dim, c = s.config().categorical_dim;
    if (n > kMaxFeedDim || c > kMaxFeedDim) return;
    std::uint64_t t = s.current_time().value_or(0);
    for (int i = 0; i < 4; ++i) {
        std::vector<double> numeric(n);
        const auto p = point_of(n, data, size, i);
        for (std::uint64_t k = 0; k < n; ++k) numeric[k] = p[k];
        std::vector<std::int64_t> categorical(c);
        for (std::uint64_t k = 0; k < c; ++k) categorical[k] = static_cast<std::int64_t>(k * 31 + i) - 40;
        allow_caller_error(s.score(numeric, categorical, t));
        allow_caller_error(s.score_detailed(numeric, categorical, t));
        allow_caller_error(s.update(numeric, categorical, t));
        allow_caller_error(s.update_and_score_detailed(numeric, categorical, t + 1));
        allow_caller_error(s.update_and_score(numeric, categorical, t + 1));
        t += static_cast<std::uint64_t>(i);
    }
}
#elif TARN_FUZZ_CLASS == 4
using State = tarn::featuresketch::FeatureSketch;

void exercise(State& s, const std::uint8_t* data, std::size_t size) {
    // Each event builds vectors of V and P + 1 entries, which a text may
    // claim in the billions just as a constructor call may.
    if (s.config().value_projection_dims > kMaxFeedDim * 256 ||
        s.config().presence_projection_dims > kMaxFeedDim * 256) {
        return;
    }
    const auto p = point_of(3, data, size, 1);
    const tarn::core::KeyValueLike pairs = tarn::core::FeaturePairs{{"a", p[0]}, {"b", p[1]}, {"a", p[2]}, {"", 0.0}};
    const tarn::core::KeyValueLike dict = tarn::core::FeatureDict{{"x", p[1]}, {"\xff", -p[0]}};
    const tarn::core::KeyValueLike empty = tarn::core::FeatureDict{};
    for (const auto* e : {&pairs, &dict, &empty}) feed(s, *e);
}
#elif TARN_FUZZ_CLASS == 5
using State = tarn::alerts::Threshold;

// Scores across the whole key range (both infinities, zero, subnormals, the
// largest doubles), then the threshold: grades must stay in [0, 1].
void exercise(State& s, const std::uint8_t* data, std::size_t size) {
    const auto p = point_of(4, data, size, 2);
    const double scores[] = {0.0,  -0.0,        5e-324,        -1e308, 1.7976931348623157e308, -INFINITY, INFINITY,
                             p[0], p[1] * 1e10, p[2] * 1e-200, p[3]};
    for (const double x : scores) {
        const auto a = s.update(x);
        if (!a) die("update failed:", a.error().display());
        if (!(a->grade >= 0.0 && a->grade <= 1.0)) die("grade out of [0, 1]");
        const auto preview = s.preview(x);
        if (!preview) die("preview failed:", preview.error().display());
        if (!(preview->grade >= 0.0 && preview->grade <= 1.0)) die("preview grade out of [0, 1]");
    }
    std::vector<std::int8_t> flags(4);
    std::vector<double> grades(4);
    allow_caller_error(s.update_many(std::span<const double>(scores, 4), flags, grades));
    if (const auto t = s.threshold(); t && std::isnan(*t)) die("threshold is NaN");
}
#endif

tarn::core::Result<State> read_json(std::string_view t) { return State::from_json(t); }
tarn::core::Result<std::string> write_json(const State& s) { return s.to_json(); }
[[maybe_unused]] tarn::core::Result<State> read_bytes(std::string_view t) { return State::from_bytes(t); }
[[maybe_unused]] tarn::core::Result<std::string> write_bytes(const State& s) { return s.to_bytes(); }

#if TARN_FUZZ_BINARY
constexpr auto read = read_bytes;
constexpr auto write = write_bytes;
#else
constexpr auto read = read_json;
constexpr auto write = write_json;
#endif

// States are refused as invalid arguments: with the class's prefix, or (for
// a FeatureSketch configuration in JSON) with the constructor's own message.
void expect_rejection(const DetectorError& e) {
    const std::string_view prefix = TARN_FUZZ_BINARY ? kRejection.binary_prefix : kRejection.json_prefix;
    const bool prefixed = e.text.rfind(prefix, 0) == 0;
    if (e.kind != ErrorKind::InvalidArgument || (!prefixed && (TARN_FUZZ_BINARY || !kRejection.bare_json_allowed))) {
        die("reader failed with an unexpected error:", e.display());
    }
}

std::string written(tarn::core::Result<std::string>&& r, const char* failure) {
    if (!r) die(failure, r.error().display());
    return std::move(*r);
}

// `text` must read back with read_form and write `want` again with
// write_form: what a reader accepted, its writers reproduce.
template <class Read, class Write>
void expect_reproduced(const std::string& text, Read read_form, Write write_form, const std::string& want,
                       const char* what) {
    auto back = read_form(text);
    if (!back) die(what, "does not read back: " + back.error().display());
    auto again = write_form(*back);
    if (!again || *again != want) die(what, "changed across a round trip");
}

void run(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto loaded = read(text);
    if (!loaded) {
        expect_rejection(loaded.error());
        return;
    }
    // What was accepted writes a state that reads back to the same bytes.
    const std::string first = written(write(*loaded), "accepted state does not write:");
    expect_reproduced(first, read, write, first, "state");
#if TARN_FUZZ_BINARY
    // Both forms hold the same states: the JSON text of what the binary
    // reader accepted reads back to the same binary state.
    const std::string text_form = written(write_json(*loaded), "accepted state does not write as JSON:");
    expect_reproduced(text_form, read_json, write_bytes, first, "JSON text of an accepted binary state");
#endif

    // A copy fed the same inputs stays identical to the original.
    State copy(*loaded);
    exercise(*loaded, data, size);
    exercise(copy, data, size);
    auto a = write(*loaded);
    auto b = write(copy);
    if (a.has_value() != b.has_value() || (a && *a != *b)) die("copies diverged");
}

} // namespace

#if !TARN_FUZZ_BINARY
namespace {

// The numbers of a text: (offset, length) of each numeric literal.
std::vector<std::pair<std::size_t, std::size_t>> number_tokens(std::string_view t) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    bool in_string = false;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t j = i + 1;
            while (j < t.size() && std::strchr("0123456789.eE+-", t[j]) != nullptr) ++j;
            out.emplace_back(i, j - i);
            i = j - 1;
        }
    }
    return out;
}

} // namespace
#endif

// Besides libFuzzer's byte mutations, edits that keep a state well formed
// but inconsistent, which is where a reader's checks are tested: a number
// replaced by another number of the same text (an index pointing elsewhere),
// by a neighbour or an edge value, or an array element dropped or repeated.
extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
    std::minstd_rand rng(seed);
#if TARN_FUZZ_BINARY
    // Binary states: a length, index or value word overwritten by an edge
    // value or by another word of the same state, at any byte offset.
    if (size < 20 || rng() % 3 == 0) return LLVMFuzzerMutate(data, size, max_size);
    static const std::uint64_t kWords[] = {0,
                                           1,
                                           2,
                                           3,
                                           0xffffffffull,
                                           0x100000000ull,
                                           0x7fffffffffffffffull,
                                           ~0ull,
                                           0x3ff0000000000000ull,
                                           0x7ff0000000000000ull,
                                           0x80000000ull};
    const std::size_t at = 12 + rng() % (size - 19);
    std::uint64_t word = 0;
    if (rng() % 2) {
        word = kWords[rng() % (sizeof kWords / sizeof kWords[0])];
    } else {
        std::memcpy(&word, data + 12 + rng() % (size - 19), 8);
    }
    std::memcpy(data + at, &word, rng() % 2 ? 8 : 4);
    return size;
#else
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto numbers = number_tokens(text);
    if (numbers.empty() || rng() % 3 == 0) return LLVMFuzzerMutate(data, size, max_size);

    static const char* const kEdges[] = {
        "0",   "1",    "2",     "-1",     "4294967295", "4294967296", "9223372036854775807", "18446744073709551615",
        "0.5", "-0.0", "1e308", "3.5e38", "1e-320"};
    const auto [at, len] = numbers[rng() % numbers.size()];
    const std::string_view old = text.substr(at, len);
    std::string replacement;
    switch (rng() % 5) {
    case 0: {
        const auto [o, l] = numbers[rng() % numbers.size()];
        replacement = std::string(text.substr(o, l));
        break;
    }
    case 1: replacement = kEdges[rng() % (sizeof kEdges / sizeof kEdges[0])]; break;
    case 2: {
        // An integer moved by one either way.
        std::uint64_t v = 0;
        for (char c : old) {
            if (c < '0' || c > '9') return LLVMFuzzerMutate(data, size, max_size);
            v = v * 10 + static_cast<std::uint64_t>(c - '0');
        }
        replacement = std::to_string(rng() % 2 ? v + 1 : v - 1);
        break;
    }
    case 3: {
        // Drop the element with the comma before or after it.
        std::size_t from = at, to = at + len;
        if (to < size && text[to] == ',') ++to;
        else if (from > 0 && text[from - 1] == ',') --from;
        std::memmove(data + from, data + to, size - to);
        return size - (to - from);
    }
    default: replacement = std::string(old) + "," + std::string(old); break;
    }
    const std::size_t new_size = size - len + replacement.size();
    if (new_size > max_size) return LLVMFuzzerMutate(data, size, max_size);
    std::memmove(data + at + replacement.size(), data + at + len, size - at - len);
    std::memcpy(data + at, replacement.data(), replacement.size());
    return new_size;
#endif
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        run(data, size);
    } catch (const std::bad_alloc&) {
        // A state that claims more memory than the machine has is refused by
        // the frame with MemoryError; libFuzzer's own malloc limit catches
        // unreasonable requests before this point.
    } catch (const tarn::core::InternalError& e) {
        die("internal failure:", e.what());
    } catch (const std::exception& e) {
        die("unexpected exception:", e.what());
    }
    return 0;
}
