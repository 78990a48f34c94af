// The MStream state text: writer, reader and the checks that make a read
// state safe to use.
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
template <>
struct tarn::core::Fields<tarn::mstream::RecordSketch> {
    static constexpr std::string_view name = "RecordSketch";
    static constexpr std::string_view shape_owner = "sketch";
    template <class Self, class F>
    static void each(Self& s, F&& field) {
        field("num_rows", s.num_rows);
        field("num_buckets", s.num_buckets);
        field("numeric_dim", s.numeric_dim);
        field("categorical_dim", s.categorical_dim);
        field("numeric_planes",
              shaped(s.numeric_planes, [&s] { return std::array{s.num_rows, s.planes(), s.numeric_dim}; }));
        field("categorical_coeffs",
              shaped(s.categorical_coeffs, [&s] { return std::array{s.num_rows, s.categorical_dim}; }));
        field("count", shaped(s.count, [&s] { return std::array{s.num_rows, s.num_buckets}; }));
    }
};

template <>
struct tarn::core::Fields<tarn::mstream::NumericSketch> {
    static constexpr std::string_view name = "NumericSketch";
    static constexpr std::string_view shape_owner = "sketch";
    template <class Self, class F>
    static void each(Self& s, F&& field) {
        field("num_buckets", s.num_buckets);
        field("count", shaped(s.count, [&s] { return std::array{s.num_buckets}; }));
    }
};

template <>
struct tarn::core::Fields<tarn::mstream::CategoricalSketch> {
    static constexpr std::string_view name = "CategoricalSketch";
    static constexpr std::string_view shape_owner = "sketch";
    template <class Self, class F>
    static void each(Self& s, F&& field) {
        field("num_rows", s.num_rows);
        field("num_buckets", s.num_buckets);
        field("hash_a", shaped(s.hash_a, [&s] { return std::array{s.num_rows}; }));
        field("hash_b", shaped(s.hash_b, [&s] { return std::array{s.num_rows}; }));
        field("count", shaped(s.count, [&s] { return std::array{s.num_rows, s.num_buckets}; }));
    }
};

template <class S>
struct tarn::core::Fields<tarn::mstream::SketchCounts<S>> {
    static constexpr std::string_view name = "SketchCounts";
    template <class Self, class F>
    static void each(Self& p, F&& field) {
        field("current", p.current);
        field("total", p.total);
    }
};

namespace tarn::mstream {

using core::json::field;
using core::json::read_record;
using core::json::Reader;
using core::json::Writer;

namespace {
constexpr std::string_view kJsonPrefix = "invalid MStream JSON: ";
constexpr std::string_view kBinaryPrefix = "invalid MStream state: ";
} // namespace

core::Result<std::string> MStream::to_json() const {
    Writer w;
    w.begin_object();
    w.field("config", config_);
    w.key("clock");
    w.begin_object();
    w.field("current_time", clock_.current_time);
    w.field("current_tick", clock_.current_tick);
    w.end_object();
    w.field("entries_seen", entries_seen_);
    w.field("record_counts", record_counts_);
    w.field("numeric_counts", numeric_counts_);
    w.field("categorical_counts", categorical_counts_);
    // A fresh detector's infinite bounds come out as null; the reader maps
    // them back.
    w.key("numeric_normalizer");
    w.begin_object();
    w.field("min_numeric", numeric_normalizer_.min_numeric);
    w.field("max_numeric", numeric_normalizer_.max_numeric);
    w.end_object();
    w.end_object();
    return w.take();
}

// ------------------------------------------------------------------ reading

namespace {

// A list of bounds where null stands for the given infinity: a detector that
// has not seen a record holds +inf / -inf, which the writer emits as null.
void read_bounds(Reader& r, std::vector<double>& out, double null_value) {
    out.clear();
    if (!r.begin_array("a sequence")) return;
    while (r.next_element()) {
        const double v = r.consume_null() ? null_value : r.read_f64();
        if (!r.ok()) return;
        out.push_back(v);
    }
}

void read_normalizer(Reader& r, NumericRangeNormalizer& n) {
    auto lo = [&](Reader& rr) { read_bounds(rr, n.min_numeric, INFINITY); };
    auto hi = [&](Reader& rr) { read_bounds(rr, n.max_numeric, -INFINITY); };
    read_record(r, "NumericRangeNormalizer", {field("min_numeric", lo), field("max_numeric", hi)});
}

// The clock's current_time may be omitted (it reads as absent), which the
// generic record reader does not offer; this reader keeps its other rules:
// object or array form, duplicates and a missing current_tick refused,
// unknown members skipped.
void read_clock(Reader& r, StreamClock& c) {
    c = {};
    if (r.peek() == Reader::Type::Array) {
        if (!r.begin_array("struct StreamClock")) return;
        std::size_t n = 0;
        while (r.next_element()) {
            if (n == 0) {
                core::json::read(r, c.current_time);
            } else if (n == 1) {
                c.current_tick = r.read_u64();
            } else {
                r.skip_value();
            }
            ++n;
        }
        if (r.ok() && n != 2) {
            r.fail("invalid length " + std::to_string(n) + ", expected struct StreamClock with 2 elements");
        }
        return;
    }
    if (!r.begin_object("struct StreamClock")) return;
    bool seen_time = false;
    bool seen_tick = false;
    std::string_view key;
    while (r.next_key(key)) {
        if (key == "current_time") {
            if (seen_time) {
                r.fail("duplicate field `current_time`");
                return;
            }
            seen_time = true;
            core::json::read(r, c.current_time);
        } else if (key == "current_tick") {
            if (seen_tick) {
                r.fail("duplicate field `current_tick`");
                return;
            }
            seen_tick = true;
            c.current_tick = r.read_u64();
        } else {
            r.skip_value();
        }
    }
    if (r.ok() && !seen_tick) r.fail("missing field `current_tick`");
}

} // namespace

core::Result<MStream> MStream::from_json(std::string_view text) {
    MStream m;
    auto clock = [&](Reader& r) { read_clock(r, m.clock_); };
    auto normalizer = [&](Reader& r) { read_normalizer(r, m.numeric_normalizer_); };
    auto read = [&](Reader& r) {
        read_record(r, "MStream",
                    {field("config", m.config_), field("clock", clock), field("entries_seen", m.entries_seen_),
                     field("record_counts", m.record_counts_), field("numeric_counts", m.numeric_counts_),
                     field("categorical_counts", m.categorical_counts_), field("numeric_normalizer", normalizer)});
    };
    return core::then_make(core::json::read_state(text, kJsonPrefix, read), [&] { return from_loaded(m, kJsonPrefix); });
}

core::Result<MStream> MStream::from_loaded(MStream& m, std::string_view prefix) {
    if (auto ok = m.check_loaded(); !ok) return core::invalid(std::string(prefix) + ok.error().text);
    return std::move(m);
}

// ------------------------------------------------------------------ binary

namespace {

namespace bin = core::binary;

constexpr std::uint32_t kBinaryVersion = 1;

template <class S>
void write_pairs(bin::Writer& w, const std::vector<SketchCounts<S>>& pairs) {
    w.u64(pairs.size());
    for (const auto& p : pairs) bin::write(w, p);
}
// min_size: the fewest bytes a pair can take.
template <class S>
void read_pairs(bin::Reader& r, std::vector<SketchCounts<S>>& pairs, std::size_t min_size) {
    pairs.resize(r.count(min_size, "sketch pairs"));
    for (auto& p : pairs) bin::read(r, p);
}

} // namespace

core::Result<std::string> MStream::to_bytes() const {
    std::size_t guess = 1024;
    for (const auto* s : {&record_counts_.current, &record_counts_.total})
        guess += 8 * (s->numeric_planes.size() + s->categorical_coeffs.size() + s->count.size());
    guess += numeric_counts_.size() * 16 * (config_.num_buckets + 4);
    guess += categorical_counts_.size() * 16 * (config_.num_rows * (config_.num_buckets + 2) + 8);
    bin::Writer w(guess);
    w.header(bin::ClassTag::MStream, kBinaryVersion);
    bin::write(w, config_);
    w.flag(clock_.current_time.has_value());
    w.u64(clock_.current_time.value_or(0));
    w.u64(clock_.current_tick);
    w.u64(entries_seen_);
    bin::write(w, record_counts_);
    write_pairs(w, numeric_counts_);
    write_pairs(w, categorical_counts_);
    w.list(numeric_normalizer_.min_numeric);
    w.list(numeric_normalizer_.max_numeric);
    return w.take();
}

core::Result<MStream> MStream::from_bytes(std::string_view data) {
    MStream m;
    auto read = [&](bin::Reader& r) {
        bin::read(r, m.config_);
        const bool has_time = r.flag();
        const std::uint64_t time = r.u64();
        if (has_time) m.clock_.current_time = time;
        m.clock_.current_tick = r.u64();
        m.entries_seen_ = r.u64();
        bin::read(r, m.record_counts_);
        read_pairs(r, m.numeric_counts_, 2 * 16);
        read_pairs(r, m.categorical_counts_, 2 * 48);
        // Bounds are finite, or the infinity of a detector that has not
        // seen a record yet (what the JSON form spells null).
        r.list(m.numeric_normalizer_.min_numeric, "numeric_normalizer bounds", bin::Finite::No);
        r.list(m.numeric_normalizer_.max_numeric, "numeric_normalizer bounds", bin::Finite::No);
        for (const double v : m.numeric_normalizer_.min_numeric)
            if (!std::isfinite(v) && v != INFINITY) r.fail("a min_numeric bound is neither finite nor +inf");
        for (const double v : m.numeric_normalizer_.max_numeric)
            if (!std::isfinite(v) && v != -INFINITY) r.fail("a max_numeric bound is neither finite nor -inf");
    };
    return core::then_make(bin::read_state(data, bin::ClassTag::MStream, kBinaryVersion, kBinaryPrefix, read),
                           [&] { return from_loaded(m, kBinaryPrefix); });
}

} // namespace tarn::mstream
