// The MStream state text: writer, reader and the checks that make a read
// state safe to use.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/json/reader.hpp"
#include "core/json/record.hpp"
#include "core/json/writer.hpp"
#include "mstream/detector.hpp"

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
    w.key("config");
    w.begin_object();
    w.field("numeric_dim", config.numeric_dim);
    w.field("categorical_dim", config.categorical_dim);
    w.field("num_rows", config.num_rows);
    w.field("num_buckets", config.num_buckets);
    w.field("alpha", config.alpha);
    w.end_object();
    w.key("clock");
    w.begin_object();
    w.field("current_time", clock.current_time);
    w.field("current_tick", clock.current_tick);
    w.end_object();
    w.field("entries_seen", entries_seen);
    w.key("record_counts");
    write_pair(w, record_counts);
    w.key("numeric_counts");
    w.begin_array();
    for (const auto& p : numeric_counts) write_pair(w, p);
    w.end_array();
    w.key("categorical_counts");
    w.begin_array();
    for (const auto& p : categorical_counts) write_pair(w, p);
    w.end_array();
    // A fresh detector's infinite bounds come out as null; the reader maps
    // them back.
    w.key("numeric_normalizer");
    w.begin_object();
    w.field("min_numeric", numeric_normalizer.min_numeric);
    w.field("max_numeric", numeric_normalizer.max_numeric);
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

bool shape_error(Reader& r, const char* what) {
    return r.fail(std::string(what) + " does not match the sizes of its sketch");
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
    if (!planes.has_shape({s.num_rows, plane_count(s.num_buckets), s.numeric_dim})) {
        shape_error(r, "numeric_planes");
        return;
    }
    if (!coeffs.has_shape({s.num_rows, s.categorical_dim})) {
        shape_error(r, "categorical_coeffs");
        return;
    }
    if (!count.has_shape({s.num_rows, s.num_buckets})) {
        shape_error(r, "count");
        return;
    }
    s.numeric_planes = std::move(planes.data);
    s.categorical_coeffs = std::move(coeffs.data);
    s.count = std::move(count.data);
}

void read_sketch(Reader& r, NumericSketch& s) {
    Array<double> count;
    auto count_reader = count.reader(1);
    if (!read_record(r, "NumericSketch", {field("num_buckets", s.num_buckets), field("count", count_reader)})) return;
    if (!count.has_shape({s.num_buckets})) {
        shape_error(r, "count");
        return;
    }
    s.count = std::move(count.data);
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
    if (!hash_a.has_shape({s.num_rows})) {
        shape_error(r, "hash_a");
        return;
    }
    if (!hash_b.has_shape({s.num_rows})) {
        shape_error(r, "hash_b");
        return;
    }
    if (!count.has_shape({s.num_rows, s.num_buckets})) {
        shape_error(r, "count");
        return;
    }
    s.hash_a = std::move(hash_a.data);
    s.hash_b = std::move(hash_b.data);
    s.count = std::move(count.data);
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

void read_config(Reader& r, MStreamConfig& c) {
    read_record(r, "MStreamConfig",
                {field("numeric_dim", c.numeric_dim), field("categorical_dim", c.categorical_dim),
                 field("num_rows", c.num_rows), field("num_buckets", c.num_buckets), field("alpha", c.alpha)});
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
    auto config = [&](Reader& r) { read_config(r, m.config); };
    auto clock = [&](Reader& r) { read_clock(r, m.clock); };
    auto record = [&](Reader& r) { read_pair(r, m.record_counts); };
    auto numeric = [&](Reader& r) { read_pairs(r, m.numeric_counts); };
    auto categorical = [&](Reader& r) { read_pairs(r, m.categorical_counts); };
    auto normalizer = [&](Reader& r) { read_normalizer(r, m.numeric_normalizer); };
    auto parsed = core::json::parse(text, [&](Reader& r) {
        read_record(r, "MStream",
                    {field("config", config), field("clock", clock), field("entries_seen", m.entries_seen),
                     field("record_counts", record), field("numeric_counts", numeric),
                     field("categorical_counts", categorical), field("numeric_normalizer", normalizer)});
    });
    if (!parsed) return core::invalid("invalid MStream JSON: " + parsed.error().text());
    if (auto ok = m.check_loaded(); !ok) return core::invalid("invalid MStream JSON: " + ok.error().text);
    return m;
}

} // namespace tarn::mstream
