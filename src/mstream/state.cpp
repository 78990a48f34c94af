// The MStream state text: writer, reader and the checks that make a read
// state safe to use.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/binary.hpp"
#include "core/json/reader.hpp"
#include "core/json/record.hpp"
#include "core/json/writer.hpp"
#include "mstream/detector.hpp"

TARN_RECORD(tarn::mstream::MStreamConfig, "MStreamConfig", numeric_dim, categorical_dim, num_rows, num_buckets, alpha)

namespace tarn::mstream {

using core::json::field;
using core::json::read_record;
using core::json::Reader;
using core::json::Writer;

// ------------------------------------------------------------------ writing

namespace {

void write_array(Writer& w, std::initializer_list<std::uint64_t> dim, const std::vector<double>& data) {
    w.ndarray(std::span<const std::uint64_t>(dim.begin(), dim.size()), std::span<const double>(data));
}
void write_array(Writer& w, std::initializer_list<std::uint64_t> dim, const std::vector<std::uint64_t>& data) {
    w.ndarray(std::span<const std::uint64_t>(dim.begin(), dim.size()), std::span<const std::uint64_t>(data));
}

void write_sketch(Writer& w, const RecordSketch& s) {
    w.begin_object();
    w.field("num_rows", s.num_rows);
    w.field("num_buckets", s.num_buckets);
    w.field("numeric_dim", s.numeric_dim);
    w.field("categorical_dim", s.categorical_dim);
    w.key("numeric_planes");
    write_array(w, {s.num_rows, s.planes(), s.numeric_dim}, s.numeric_planes);
    w.key("categorical_coeffs");
    write_array(w, {s.num_rows, s.categorical_dim}, s.categorical_coeffs);
    w.key("count");
    write_array(w, {s.num_rows, s.num_buckets}, s.count);
    w.end_object();
}

void write_sketch(Writer& w, const NumericSketch& s) {
    w.begin_object();
    w.field("num_buckets", s.num_buckets);
    w.key("count");
    write_array(w, {s.num_buckets}, s.count);
    w.end_object();
}

void write_sketch(Writer& w, const CategoricalSketch& s) {
    w.begin_object();
    w.field("num_rows", s.num_rows);
    w.field("num_buckets", s.num_buckets);
    w.key("hash_a");
    write_array(w, {s.num_rows}, s.hash_a);
    w.key("hash_b");
    write_array(w, {s.num_rows}, s.hash_b);
    w.key("count");
    write_array(w, {s.num_rows, s.num_buckets}, s.count);
    w.end_object();
}

template <class S>
void write_pair(Writer& w, const SketchCounts<S>& p) {
    w.begin_object();
    w.key("current");
    write_sketch(w, p.current);
    w.key("total");
    write_sketch(w, p.total);
    w.end_object();
}

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
    w.key("record_counts");
    write_pair(w, record_counts_);
    w.key("numeric_counts");
    w.begin_array();
    for (const auto& p : numeric_counts_) write_pair(w, p);
    w.end_array();
    w.key("categorical_counts");
    w.begin_array();
    for (const auto& p : categorical_counts_) write_pair(w, p);
    w.end_array();
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

// Reads an n-dimensional array and refuses a shape other than want. The
// wanted sizes come from the sketch's own fields, which may follow the
// arrays in the text, so the shape is checked once the sketch is complete.
template <class T>
struct Array {
    std::vector<std::uint64_t> dim;
    std::vector<T> data;

    auto reader(std::size_t ndim) {
        return [this, ndim](Reader& r) { core::json::read_ndarray(r, ndim, dim, data); };
    }
    bool has_shape(std::initializer_list<std::uint64_t> want) const {
        return dim.size() == want.size() && std::equal(dim.begin(), dim.end(), want.begin());
    }
};

std::string shape_error(const char* what) { return std::string(what) + " does not match the sizes of its sketch"; }

// The arrays of a sketch, read by either reader, become the sketch's own
// when their shapes are the ones its sizes call for; otherwise the first
// that is not is named.
const char* adopt(RecordSketch& s, Array<double>& planes, Array<std::uint64_t>& coeffs, Array<double>& count) {
    if (!planes.has_shape({s.num_rows, plane_count(s.num_buckets), s.numeric_dim})) return "numeric_planes";
    if (!coeffs.has_shape({s.num_rows, s.categorical_dim})) return "categorical_coeffs";
    if (!count.has_shape({s.num_rows, s.num_buckets})) return "count";
    s.numeric_planes = std::move(planes.data);
    s.categorical_coeffs = std::move(coeffs.data);
    s.count = std::move(count.data);
    return nullptr;
}

const char* adopt(NumericSketch& s, Array<double>& count) {
    if (!count.has_shape({s.num_buckets})) return "count";
    s.count = std::move(count.data);
    return nullptr;
}

const char* adopt(CategoricalSketch& s, Array<std::uint64_t>& hash_a, Array<std::uint64_t>& hash_b,
                  Array<double>& count) {
    if (!hash_a.has_shape({s.num_rows})) return "hash_a";
    if (!hash_b.has_shape({s.num_rows})) return "hash_b";
    if (!count.has_shape({s.num_rows, s.num_buckets})) return "count";
    s.hash_a = std::move(hash_a.data);
    s.hash_b = std::move(hash_b.data);
    s.count = std::move(count.data);
    return nullptr;
}

void read_sketch(Reader& r, RecordSketch& s) {
    Array<double> planes;
    Array<std::uint64_t> coeffs;
    Array<double> count;
    auto planes_reader = planes.reader(3);
    auto coeffs_reader = coeffs.reader(2);
    auto count_reader = count.reader(2);
    if (!read_record(r, "RecordSketch",
                     {field("num_rows", s.num_rows), field("num_buckets", s.num_buckets),
                      field("numeric_dim", s.numeric_dim), field("categorical_dim", s.categorical_dim),
                      field("numeric_planes", planes_reader), field("categorical_coeffs", coeffs_reader),
                      field("count", count_reader)})) {
        return;
    }
    if (const char* bad = adopt(s, planes, coeffs, count)) r.fail(shape_error(bad));
}

void read_sketch(Reader& r, NumericSketch& s) {
    Array<double> count;
    auto count_reader = count.reader(1);
    if (!read_record(r, "NumericSketch", {field("num_buckets", s.num_buckets), field("count", count_reader)})) return;
    if (const char* bad = adopt(s, count)) r.fail(shape_error(bad));
}

void read_sketch(Reader& r, CategoricalSketch& s) {
    Array<std::uint64_t> hash_a;
    Array<std::uint64_t> hash_b;
    Array<double> count;
    auto a_reader = hash_a.reader(1);
    auto b_reader = hash_b.reader(1);
    auto count_reader = count.reader(2);
    if (!read_record(r, "CategoricalSketch",
                     {field("num_rows", s.num_rows), field("num_buckets", s.num_buckets), field("hash_a", a_reader),
                      field("hash_b", b_reader), field("count", count_reader)})) {
        return;
    }
    if (const char* bad = adopt(s, hash_a, hash_b, count)) r.fail(shape_error(bad));
}

template <class S>
void read_pair(Reader& r, SketchCounts<S>& p) {
    auto current = [&](Reader& rr) { read_sketch(rr, p.current); };
    auto total = [&](Reader& rr) { read_sketch(rr, p.total); };
    read_record(r, "SketchCounts", {field("current", current), field("total", total)});
}

template <class S>
void read_pairs(Reader& r, std::vector<SketchCounts<S>>& out) {
    out.clear();
    if (!r.begin_array("a sequence")) return;
    while (r.next_element()) {
        SketchCounts<S> p;
        read_pair(r, p);
        if (!r.ok()) return;
        out.push_back(std::move(p));
    }
}

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
    auto record = [&](Reader& r) { read_pair(r, m.record_counts_); };
    auto numeric = [&](Reader& r) { read_pairs(r, m.numeric_counts_); };
    auto categorical = [&](Reader& r) { read_pairs(r, m.categorical_counts_); };
    auto normalizer = [&](Reader& r) { read_normalizer(r, m.numeric_normalizer_); };
    auto parsed = core::json::parse(text, [&](Reader& r) {
        read_record(r, "MStream",
                    {field("config", m.config_), field("clock", clock), field("entries_seen", m.entries_seen_),
                     field("record_counts", record), field("numeric_counts", numeric),
                     field("categorical_counts", categorical), field("numeric_normalizer", normalizer)});
    });
    if (!parsed) return core::invalid("invalid MStream JSON: " + parsed.error().text());
    if (auto ok = m.check_loaded(); !ok) return core::invalid("invalid MStream JSON: " + ok.error().text);
    return m;
}

// ------------------------------------------------------------------ binary

namespace {

namespace bin = core::binary;

constexpr std::uint32_t kBinaryVersion = 1;

// An n-dimensional array: its sizes, then its values; counts (doubles) are
// mostly zero and go sparse.
template <class T>
void write_array(bin::Writer& w, std::initializer_list<std::uint64_t> dim, const std::vector<T>& data) {
    for (const std::uint64_t d : dim) w.u64(d);
    if constexpr (std::is_same_v<T, double>) {
        w.sparse(std::span<const T>(data));
    } else {
        w.raw(std::span<const T>(data));
    }
}
template <class T>
void read_array(bin::Reader& r, std::size_t ndim, Array<T>& a) {
    a.dim.clear();
    std::uint64_t n = 1;
    bool overflow = false;
    for (std::size_t i = 0; i < ndim; ++i) {
        a.dim.push_back(r.u64());
        overflow |= !core::checked_mul(n, a.dim.back(), n);
    }
    if (overflow) r.fail("array sizes overflow");
    if constexpr (std::is_same_v<T, double>) {
        r.sparse(a.data, n, "an array");
    } else {
        r.raw(a.data, n, "an array");
    }
}

void write_sketch(bin::Writer& w, const RecordSketch& s) {
    w.u64(s.num_rows);
    w.u64(s.num_buckets);
    w.u64(s.numeric_dim);
    w.u64(s.categorical_dim);
    write_array(w, {s.num_rows, s.planes(), s.numeric_dim}, s.numeric_planes);
    write_array(w, {s.num_rows, s.categorical_dim}, s.categorical_coeffs);
    write_array(w, {s.num_rows, s.num_buckets}, s.count);
}
void read_sketch(bin::Reader& r, RecordSketch& s) {
    s.num_rows = r.u64();
    s.num_buckets = r.u64();
    s.numeric_dim = r.u64();
    s.categorical_dim = r.u64();
    Array<double> planes, count;
    Array<std::uint64_t> coeffs;
    read_array(r, 3, planes);
    read_array(r, 2, coeffs);
    read_array(r, 2, count);
    if (r.ok()) {
        if (const char* bad = adopt(s, planes, coeffs, count)) r.fail(shape_error(bad));
    }
}

void write_sketch(bin::Writer& w, const NumericSketch& s) {
    w.u64(s.num_buckets);
    write_array(w, {s.num_buckets}, s.count);
}
void read_sketch(bin::Reader& r, NumericSketch& s) {
    s.num_buckets = r.u64();
    Array<double> count;
    read_array(r, 1, count);
    if (r.ok()) {
        if (const char* bad = adopt(s, count)) r.fail(shape_error(bad));
    }
}

void write_sketch(bin::Writer& w, const CategoricalSketch& s) {
    w.u64(s.num_rows);
    w.u64(s.num_buckets);
    write_array(w, {s.num_rows}, s.hash_a);
    write_array(w, {s.num_rows}, s.hash_b);
    write_array(w, {s.num_rows, s.num_buckets}, s.count);
}
void read_sketch(bin::Reader& r, CategoricalSketch& s) {
    s.num_rows = r.u64();
    s.num_buckets = r.u64();
    Array<std::uint64_t> hash_a, hash_b;
    Array<double> count;
    read_array(r, 1, hash_a);
    read_array(r, 1, hash_b);
    read_array(r, 2, count);
    if (r.ok()) {
        if (const char* bad = adopt(s, hash_a, hash_b, count)) r.fail(shape_error(bad));
    }
}

template <class S>
void write_pairs(bin::Writer& w, const std::vector<SketchCounts<S>>& pairs) {
    w.u64(pairs.size());
    for (const auto& p : pairs) {
        write_sketch(w, p.current);
        write_sketch(w, p.total);
    }
}
// min_size: the fewest bytes a pair can take.
template <class S>
void read_pairs(bin::Reader& r, std::vector<SketchCounts<S>>& pairs, std::size_t min_size) {
    pairs.resize(r.count(min_size, "sketch pairs"));
    for (auto& p : pairs) {
        read_sketch(r, p.current);
        read_sketch(r, p.total);
    }
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
    write_sketch(w, record_counts_.current);
    write_sketch(w, record_counts_.total);
    write_pairs(w, numeric_counts_);
    write_pairs(w, categorical_counts_);
    w.list(numeric_normalizer_.min_numeric);
    w.list(numeric_normalizer_.max_numeric);
    return w.take();
}

core::Result<MStream> MStream::from_bytes(std::string_view data) {
    static constexpr std::string_view kPrefix = "invalid MStream state: ";
    MStream m;
    bin::Reader r(data);
    if (r.header(bin::ClassTag::MStream, kBinaryVersion)) {
        bin::read(r, m.config_);
        const bool has_time = r.flag();
        const std::uint64_t time = r.u64();
        if (has_time) m.clock_.current_time = time;
        m.clock_.current_tick = r.u64();
        m.entries_seen_ = r.u64();
        read_sketch(r, m.record_counts_.current);
        read_sketch(r, m.record_counts_.total);
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
        r.finish();
    }
    if (!r.ok()) return core::invalid(std::string(kPrefix) + r.error());
    if (auto ok = m.check_loaded(); !ok) return core::invalid(std::string(kPrefix) + ok.error().text);
    return m;
}

} // namespace tarn::mstream
