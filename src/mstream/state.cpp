// The MStream state, as a JSON text and in the binary form: one field list
// per record drives both directions of both forms; the few members with a
// rule of their own (the clock's omissible time, the normalizer's infinite
// bounds, the counted lists of sketch pairs) add an overload of their own.
// The checks that make a read state safe are MStream::check_loaded.
#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "core/binary.hpp"
#include "core/json/reader.hpp"
#include "core/json/record.hpp"
#include "core/json/writer.hpp"
#include "mstream/detector.hpp"

TARN_RECORD(tarn::mstream::MStreamConfig, "MStreamConfig", numeric_dim, categorical_dim, num_rows, num_buckets, alpha)

// The sketches: their sizes, then their arrays in the shapes the sizes call
// for.
TARN_SHAPE(tarn::mstream::RecordSketch, numeric_planes, "sketch", s.num_rows, s.planes(), s.numeric_dim)
TARN_SHAPE(tarn::mstream::RecordSketch, categorical_coeffs, "sketch", s.num_rows, s.categorical_dim)
TARN_SHAPE(tarn::mstream::RecordSketch, count, "sketch", s.num_rows, s.num_buckets)
TARN_RECORD(tarn::mstream::RecordSketch, "RecordSketch", num_rows, num_buckets, numeric_dim, categorical_dim,
            numeric_planes, categorical_coeffs, count)
TARN_SHAPE(tarn::mstream::NumericSketch, count, "sketch", s.num_buckets)
TARN_RECORD(tarn::mstream::NumericSketch, "NumericSketch", num_buckets, count)
TARN_SHAPE(tarn::mstream::CategoricalSketch, hash_a, "sketch", s.num_rows)
TARN_SHAPE(tarn::mstream::CategoricalSketch, hash_b, "sketch", s.num_rows)
TARN_SHAPE(tarn::mstream::CategoricalSketch, count, "sketch", s.num_rows, s.num_buckets)
TARN_RECORD(tarn::mstream::CategoricalSketch, "CategoricalSketch", num_rows, num_buckets, hash_a, hash_b, count)

// A pair of sketches of each kind, and the detector.
TARN_RECORD(tarn::mstream::SketchCounts<tarn::mstream::RecordSketch>, "SketchCounts", current, total)
TARN_RECORD(tarn::mstream::SketchCounts<tarn::mstream::NumericSketch>, "SketchCounts", current, total)
TARN_RECORD(tarn::mstream::SketchCounts<tarn::mstream::CategoricalSketch>, "SketchCounts", current, total)
TARN_RECORD(tarn::mstream::StreamClock, "StreamClock", current_time, current_tick)
TARN_RECORD(tarn::mstream::NumericRangeNormalizer, "NumericRangeNormalizer", min_numeric, max_numeric)
TARN_RECORD(tarn::mstream::MStream, "MStream", config_, clock_, entries_seen_, record_counts_, numeric_counts_,
            categorical_counts_, numeric_normalizer_)

namespace tarn::mstream {

namespace bin = core::binary;
namespace json = core::json;

namespace {
constexpr std::string_view kJsonPrefix = "invalid MStream JSON: ";
constexpr std::string_view kBinaryPrefix = "invalid MStream state: ";
constexpr std::uint32_t kBinaryVersion = 1;

// The fewest bytes a pair of sketches takes in the binary form, so that a
// count of pairs is refused before anything is reserved for it.
template <class S>
constexpr std::size_t kMinPairBytes = 2 * 48;
template <>
constexpr std::size_t kMinPairBytes<NumericSketch> = 2 * 16;

// A list of bounds where null stands for the given infinity: a detector that
// has not seen a record holds +inf / -inf, which the writer emits as null.
void read_bounds(json::Reader& r, std::vector<double>& out, double null_value) {
    out.clear();
    if (!r.begin_array("a sequence")) return;
    while (r.next_element()) {
        const double v = r.consume_null() ? null_value : r.read_f64();
        if (!r.ok()) return;
        out.push_back(v);
    }
}
} // namespace

// The members with a rule of their own, found by the generic record code.

// The clock's current_time may be omitted: it reads as absent.
void read(json::Reader& r, StreamClock& c) {
    json::read_record(
        r, "StreamClock",
        {json::omissible(json::field("current_time", c.current_time)), json::field("current_tick", c.current_tick)});
}

void read(json::Reader& r, NumericRangeNormalizer& n) {
    auto lo = [&](json::Reader& rr) { read_bounds(rr, n.min_numeric, INFINITY); };
    auto hi = [&](json::Reader& rr) { read_bounds(rr, n.max_numeric, -INFINITY); };
    json::read_record(r, "NumericRangeNormalizer", {json::field("min_numeric", lo), json::field("max_numeric", hi)});
}

// Bounds are finite, or the infinity of a detector that has not seen a
// record yet (what the JSON form spells null).
void read(bin::Reader& r, NumericRangeNormalizer& n, std::string_view) {
    r.list(n.min_numeric, "numeric_normalizer bounds", bin::Finite::No);
    r.list(n.max_numeric, "numeric_normalizer bounds", bin::Finite::No);
    for (const double v : n.min_numeric)
        if (!std::isfinite(v) && v != INFINITY) r.fail("a min_numeric bound is neither finite nor +inf");
    for (const double v : n.max_numeric)
        if (!std::isfinite(v) && v != -INFINITY) r.fail("a max_numeric bound is neither finite nor -inf");
}

// A count, then the pairs.
template <class S>
void write(bin::Writer& w, const std::vector<SketchCounts<S>>& pairs) {
    w.u64(pairs.size());
    for (const auto& p : pairs) bin::write(w, p);
}
template <class S>
void read(bin::Reader& r, std::vector<SketchCounts<S>>& pairs, std::string_view) {
    pairs.resize(r.count(kMinPairBytes<S>, "sketch pairs"));
    for (auto& p : pairs) bin::read(r, p);
}

core::Result<std::string> MStream::to_json() const {
    json::Writer w;
    json::write(w, *this);
    return w.take();
}

core::Result<MStream> MStream::from_json(std::string_view text) {
    MStream m;
    return core::then_make(json::read_state(text, kJsonPrefix, [&](json::Reader& r) { json::read(r, m); }),
                           [&] { return from_loaded(m, kJsonPrefix); });
}

core::Result<std::string> MStream::to_bytes() const {
    std::size_t guess = 1024;
    for (const auto* s : {&record_counts_.current, &record_counts_.total})
        guess += 8 * (s->numeric_planes.size() + s->categorical_coeffs.size() + s->count.size());
    guess += numeric_counts_.size() * 16 * (config_.num_buckets + 4);
    guess += categorical_counts_.size() * 16 * (config_.num_rows * (config_.num_buckets + 2) + 8);
    bin::Writer w(guess);
    w.header(bin::ClassTag::MStream, kBinaryVersion);
    bin::write(w, *this);
    return w.take();
}

core::Result<MStream> MStream::from_bytes(std::string_view data) {
    MStream m;
    return core::then_make(bin::read_state(data, bin::ClassTag::MStream, kBinaryVersion, kBinaryPrefix,
                                           [&](bin::Reader& r) { bin::read(r, m); }),
                           [&] { return from_loaded(m, kBinaryPrefix); });
}

core::Result<MStream> MStream::from_loaded(MStream& m, std::string_view prefix) {
    if (auto ok = m.check_loaded(); !ok) return core::invalid(std::string(prefix) + ok.error().text);
    return std::move(m);
}

} // namespace tarn::mstream
