#include "mstream/detector.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <new>

#include "core/rng.hpp"
#include "core/scale.hpp"

namespace tarn::mstream {

using core::checked_add;
using core::checked_mul;

namespace {

// Total 8-byte cells of a detector's sketches, or false when the count
// itself does not fit.
bool total_cells(const MStreamConfig& c, std::uint64_t& out) {
    const std::uint64_t p = plane_count(c.num_buckets);
    std::uint64_t rb = 0, pn = 0, rpn = 0, rc = 0, record = 0, numeric = 0, categorical = 0, sum = 0;
    bool ok = checked_mul(c.num_rows, c.num_buckets, rb) && checked_mul(p, c.numeric_dim, pn) &&
              checked_mul(c.num_rows, pn, rpn) && checked_mul(c.num_rows, c.categorical_dim, rc);
    // record sketch: planes + coefficients + counts
    ok = ok && checked_add(rb, rpn, record) && checked_add(record, rc, record);
    // numeric sketch: B counts; categorical sketch: R x B counts + 2 R seeds
    numeric = c.num_buckets;
    std::uint64_t per_cat = 0;
    ok = ok && checked_add(rb, c.num_rows, per_cat) && checked_add(per_cat, c.num_rows, per_cat);
    ok = ok && checked_mul(numeric, c.numeric_dim, numeric) && checked_mul(per_cat, c.categorical_dim, categorical);
    ok = ok && checked_add(record, numeric, sum) && checked_add(sum, categorical, sum) && checked_mul(sum, 2, sum);
    std::uint64_t bounds = 0; // the normalizer's two lists
    ok = ok && checked_mul(c.numeric_dim, 2, bounds) && checked_add(sum, bounds, sum);
    out = sum;
    return ok;
}

inline void book(double score, double& sum, std::vector<double>* list, std::size_t i) {
    sum += score;
    if (list) (*list)[i] = score;
}

// A record's event scores (n numeric features, the record, c categorical
// features) into its parts, each list summed in feature order.
template <class Parts>
void book_events(const double* score, std::size_t n, std::size_t c, Parts& parts) {
    for (std::size_t i = 0; i < n; ++i) book(score[i], parts.numeric_sum, parts.numeric, i);
    for (std::size_t j = 0; j < c; ++j) book(score[n + 1 + j], parts.categorical_sum, parts.categorical, j);
    parts.record = score[n];
}

// A detailed result of one scoring pass (MStream's ingest or preview), which
// fills the per-feature lists through the Parts it is given.
template <class Parts, class Pass>
core::Result<DecomposedScore> detailed(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                                       Pass&& pass) {
    DecomposedScore out;
    out.numeric_features.resize(numeric.size());
    out.categorical_features.resize(categorical.size());
    Parts parts{0.0, 0.0, 0.0, &out.numeric_features, &out.categorical_features};
    if (auto ok = pass(parts); !ok) return core::fail(ok.error());
    out.record = parts.record;
    out.total = parts.total();
    return out;
}

} // namespace

core::Status MStream::validate(const MStreamConfig& c) {
    if (c.numeric_dim == 0 && c.categorical_dim == 0) {
        return core::invalid("at least one of numeric_dim or categorical_dim must be > 0");
    }
    if (c.num_rows == 0) return core::invalid("num_rows must be > 0");
    if (c.num_buckets < 2) return core::invalid("num_buckets must be >= 2");
    if (!std::isfinite(c.alpha) || c.alpha <= 0.0 || c.alpha >= 1.0)
        return core::invalid("alpha must be in range (0, 1)");
    std::uint64_t out = 0;
    if (!checked_mul(c.num_rows, c.num_buckets, out)) return core::invalid("num_rows * num_buckets overflows usize");
    if (!checked_mul(plane_count(c.num_buckets), c.numeric_dim, out) || !checked_mul(out, c.num_rows, out)) {
        return core::invalid("num_rows * planes * numeric_dim overflows usize");
    }
    if (!checked_mul(c.num_rows, c.categorical_dim, out))
        return core::invalid("num_rows * categorical_dim overflows usize");
    return {};
}

core::Result<MStream> MStream::create(const MStreamConfig& config, std::optional<std::uint64_t> seed) {
    const std::uint64_t resolved = core::resolve_seed(seed);
    if (auto ok = validate(config); !ok) return core::fail(ok.error());
    // Refuse sizes no allocation can satisfy before drawing anything.
    std::uint64_t cells = 0;
    if (!total_cells(config, cells) || cells > static_cast<std::uint64_t>(PTRDIFF_MAX) / 8) throw std::bad_alloc();

    MStream m;
    m.config_ = config;
    const std::uint64_t r = config.num_rows, b = config.num_buckets;
    auto g = core::expand_seed(resolved);
    RecordSketch record(r, b, config.numeric_dim, config.categorical_dim, g);
    m.record_counts_ = {record, record};
    NumericSketch numeric(b);
    m.numeric_counts_.assign(config.numeric_dim, {numeric, numeric});
    m.categorical_counts_.reserve(config.categorical_dim);
    for (std::uint64_t j = 0; j < config.categorical_dim; ++j) {
        CategoricalSketch cat(r, b, g);
        m.categorical_counts_.push_back({cat, cat});
    }
    m.numeric_normalizer_ = NumericRangeNormalizer(config.numeric_dim);
    m.plane_columns_ = PlaneColumns(m.record_counts_.current);
    m.category_hashes_ = CategoryHashes(config.num_rows, config.categorical_dim);
    return m;
}

core::Status MStream::check_record(std::span<const double> numeric, std::span<const std::int64_t> categorical) const {
    if (numeric.size() != config_.numeric_dim) {
        return core::fail(core::DetectorError::dimension_mismatch(config_.numeric_dim, numeric.size()));
    }
    if (categorical.size() != config_.categorical_dim) {
        return core::fail(core::DetectorError::dimension_mismatch(config_.categorical_dim, categorical.size()));
    }
    return {};
}

core::Result<Advance> MStream::check_step(const StreamClock& c, std::span<const double> numeric,
                                          std::span<const std::int64_t> categorical, std::uint64_t timestamp) const {
    if (auto ok = check_record(numeric, categorical); !ok) return core::fail(ok.error());
    auto adv = c.advance(timestamp);
    if (adv) {
        if (auto ok = check_finite(numeric); !ok) return core::fail(ok.error());
    }
    return adv;
}

core::Status MStream::ingest(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                             std::uint64_t timestamp, Parts& parts, bool checked, EventSketches* sketches) {
    // Every check comes before the first change: a refused record leaves
    // the clock, the counts and the bounds as they were.
    const auto adv = checked ? clock_.advance(timestamp) : check_step(clock_, numeric, categorical, timestamp);
    if (!adv) return core::fail(adv.error());

    move_clock(timestamp, *adv);
    numeric_normalizer_.normalize(numeric, entries_seen_ == 0, config_.num_buckets, numeric_buckets_);

    const double t = max_of(static_cast<double>(adv->tick), 1.0);
    core::check_internal(numeric_counts_.size() == numeric.size() && categorical_counts_.size() == categorical.size(),
                         "index out of bounds: sketch lists shorter than the record");
    // Every event is counted first, then all are scored together; the
    // sums keep their order.
    const std::size_t n = numeric.size(), events = n + 1 + categorical.size();
    event_current_.resize(events);
    event_total_.resize(events);
    event_score_.resize(events);
    const auto keep = [&](std::size_t e, const PairCounts& counts) {
        event_current_[e] = counts.current;
        event_total_[e] = counts.total;
    };
    const Record rec{numeric, categorical};
    if (counts_at_once()) {
        if (!sketches) {
            EventSketches(numeric_counts_, record_counts_, plane_columns_, categorical_counts_, category_hashes_)
                .increment_events(numeric_buckets_.data(), rec, event_current_.data(), event_total_.data());
        } else {
            sketches->increment_events(numeric_buckets_.data(), rec, event_current_.data(), event_total_.data());
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) keep(i, increment_pair(numeric_counts_[i], numeric_buckets_[i]));
        keep(n, plane_columns_.empty() ? increment_pair(record_counts_, rec, twin_hashes_)
                                       : increment_pair(record_counts_, rec, plane_columns_));
        for (std::size_t j = 0; j < categorical.size(); ++j) {
            keep(n + 1 + j, increment_pair(categorical_counts_[j], categorical[j], twin_hashes_));
        }
    }
    chi_scores(event_current_.data(), event_total_.data(), events, t, event_score_.data());
    book_events(event_score_.data(), n, categorical.size(), parts);
    entries_seen_ += 1;
    return {};
}

void MStream::move_clock(std::uint64_t timestamp, const Advance& adv) {
    clock_.commit(timestamp, adv.tick);
    if (adv.elapsed > 0) {
        const core::Scaling f(decay_factor(config_.alpha, adv.elapsed));
        record_counts_.current.decay(f);
        for (auto& s : numeric_counts_) s.current.decay(f);
        for (auto& s : categorical_counts_) s.current.decay(f);
    }
}

core::Status MStream::check_update(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                                   std::uint64_t timestamp, StreamClock& clock) const {
    const auto adv = check_step(clock, numeric, categorical, timestamp);
    if (!adv) return core::fail(adv.error());
    clock.commit(timestamp, adv->tick);
    return {};
}

bool MStream::accepts_all(std::span<const double> numeric, std::span<const std::uint64_t> timestamps) const {
    // Before the first record any timestamp above 0 is accepted; after it,
    // none below the previous one.
    std::uint64_t previous = clock_.current_time.value_or(0), refused = 0;
    for (const std::uint64_t ts : timestamps) {
        refused |= static_cast<std::uint64_t>(ts == 0) | static_cast<std::uint64_t>(ts < previous);
        previous = ts;
    }
    return refused == 0 && all_finite(numeric);
}

core::Status MStream::preview(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                              std::uint64_t timestamp, Parts& parts) const {
    const auto adv = check_step(clock_, numeric, categorical, timestamp);
    if (!adv) return core::fail(adv.error());
    const core::Scaling f(decay_factor(config_.alpha, adv->elapsed));

    // Decay, increment and the minimum over rows commute for f > 0, so the
    // counts the committing path would read are query * f + 1 and query + 1
    // (the product taken the same way the decay takes it).
    const double t = max_of(static_cast<double>(adv->tick), 1.0);
    core::check_internal(numeric_counts_.size() == numeric.size() && categorical_counts_.size() == categorical.size(),
                         "index out of bounds: sketch lists shorter than the record");
    // Readers may preview at the same time: the buckets live on this call's
    // stack (or heap, for long records).
    std::uint64_t small[64];
    std::vector<std::uint64_t> large(numeric.size() > 64 ? numeric.size() : 0);
    const std::span<std::uint64_t> buckets =
        large.empty() ? std::span<std::uint64_t>(small, 64) : std::span<std::uint64_t>(large);
    numeric_normalizer_.preview_buckets(numeric, entries_seen_ == 0, config_.num_buckets, buckets);
    const auto score = [&](const PairCounts& n) { return chi_score(f.apply(n.current) + 1.0, n.total + 1.0, t); };
    for (std::size_t i = 0; i < numeric.size(); ++i) {
        book(score(query_pair(numeric_counts_[i], buckets[i])), parts.numeric_sum, parts.numeric, i);
    }
    for (std::size_t j = 0; j < categorical.size(); ++j) {
        book(score(query_pair(categorical_counts_[j], categorical[j], twin_hashes_)), parts.categorical_sum,
             parts.categorical, j);
    }
    const Record rec{numeric, categorical};
    parts.record = score(plane_columns_.empty() ? query_pair(record_counts_, rec, twin_hashes_)
                                                : query_pair(record_counts_, rec, plane_columns_));
    return {};
}

struct MStream::Run {
    static constexpr std::size_t kLength = 64; // records at most

    Run(std::size_t n, std::size_t events) {
        std::uint64_t values = 0, counts = 0;
        if (!checked_mul(kLength, n, values) || !checked_mul(kLength, events, counts)) throw std::bad_alloc();
        buckets.reset(new std::uint64_t[values]);
        current.reset(new double[counts]);
        total.reset(new double[counts]);
        score.reset(new double[counts]);
    }

    // Per record: its values' buckets (n each), its plane signs and tick,
    // its events' counts and scores (`events` each).
    std::unique_ptr<std::uint64_t[]> buckets;
    std::uint64_t signs[kLength];
    std::uint64_t ticks[kLength];
    std::unique_ptr<double[]> current, total, score;
};

core::Status MStream::update_checked(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                                     std::span<const std::uint64_t> timestamps, std::span<double> scores,
                                     std::size_t& applied) {
    applied = 0;
    const std::size_t rows = timestamps.size(), n = config_.numeric_dim, c = config_.categorical_dim;
    std::uint64_t numeric_len = 0, categorical_len = 0;
    core::check_internal(checked_mul(n, rows, numeric_len) && numeric_len == numeric.size() &&
                             checked_mul(c, rows, categorical_len) && categorical_len == categorical.size() &&
                             (scores.empty() || scores.size() == rows),
                         "index out of bounds: batch arrays differ from its records' sizes");
    const auto one = [&](std::size_t i, EventSketches* sketches) -> core::Status {
        Parts parts;
        if (auto ok = ingest(numeric.subspan(i * n, n), categorical.subspan(i * c, c), timestamps[i], parts, true,
                             sketches);
            !ok) {
            return ok;
        }
        if (!scores.empty()) scores[i] = parts.total();
        applied = i + 1;
        return {};
    };
    if (!counts_at_once()) {
        for (std::size_t i = 0; i < rows; ++i) {
            if (auto ok = one(i, nullptr); !ok) return ok;
        }
        return {};
    }
    // The sketches stay where they are for the whole batch: their sizes are
    // checked once. Records go in runs: first the buckets and plane signs
    // of as many as the estimate settles (a settled record leaves the
    // normalizer's bounds as they are, so the next one's buckets do not
    // wait for it), then their counts in order, then their scores. Each
    // step is one loop over independent records, which the processor
    // overlaps; a record the estimate does not settle (or the first ever)
    // ends its run and goes through ingest alone.
    EventSketches sketches(numeric_counts_, record_counts_, plane_columns_, categorical_counts_, category_hashes_);
    Run run(n, n + 1 + c);
    std::size_t i = 0;
    while (i < rows) {
        const std::size_t end = rows - i < Run::kLength ? rows : i + Run::kLength;
        std::size_t ready = i;
        if (entries_seen_ > 0) {
            ready += numeric_normalizer_.settled_rows(numeric.subspan(i * n, (end - i) * n), end - i,
                                                      config_.num_buckets, run.buckets.get());
            sketches.signs_of_rows(numeric.data() + i * n, ready - i, run.signs);
            if (auto ok = apply_run(categorical, timestamps, i, ready - i, sketches, run, scores, applied);
                !ok) {
                return ok;
            }
        }
        if (ready < end) {
            if (auto ok = one(ready, &sketches); !ok) return ok;
            ++ready;
        }
        i = ready;
    }
    return {};
}

core::Status MStream::apply_run(std::span<const std::int64_t> categorical,
                                std::span<const std::uint64_t> timestamps, std::size_t first, std::size_t count,
                                EventSketches& sketches, Run& run, std::span<double> scores, std::size_t& applied) {
    const std::size_t n = config_.numeric_dim, c = config_.categorical_dim, events = n + 1 + c;
    core::check_internal(count <= Run::kLength, "index out of bounds: a run longer than its scratch");
    // The records of one timestamp share a tick: after the first moves the
    // clock (and decays the counts), they are counted in one pass.
    for (std::size_t k = 0; k < count;) {
        const std::size_t i = first + k;
        const auto adv = clock_.advance(timestamps[i]);
        if (!adv) {
            applied = i;
            return core::fail(adv.error());
        }
        move_clock(timestamps[i], *adv);
        std::size_t same = k + 1;
        while (same < count && timestamps[first + same] == timestamps[i]) ++same;
        std::fill(run.ticks + k, run.ticks + same, adv->tick);
        sketches.count_records(&run.buckets[k * n], run.signs + k, categorical.data() + i * c, same - k,
                               &run.current[k * events], &run.total[k * events]);
        entries_seen_ += same - k;
        k = same;
    }
    applied = first + count;
    if (scores.empty()) return {};
    // Records of one tick are scored in one pass.
    for (std::size_t k = 0; k < count;) {
        std::size_t same = k + 1;
        while (same < count && run.ticks[same] == run.ticks[k]) ++same;
        const double t = max_of(static_cast<double>(run.ticks[k]), 1.0);
        chi_scores(&run.current[k * events], &run.total[k * events], (same - k) * events, t, &run.score[k * events]);
        k = same;
    }
    for (std::size_t k = 0; k < count; ++k) {
        Parts parts;
        book_events(&run.score[k * events], n, c, parts);
        scores[first + k] = parts.total();
    }
    return {};
}

core::Status MStream::update(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                             std::uint64_t timestamp) {
    Parts parts;
    return ingest(numeric, categorical, timestamp, parts);
}

core::Result<double> MStream::update_and_score(std::span<const double> numeric,
                                               std::span<const std::int64_t> categorical, std::uint64_t timestamp) {
    Parts parts;
    if (auto ok = ingest(numeric, categorical, timestamp, parts); !ok) return core::fail(ok.error());
    return parts.total();
}

core::Result<DecomposedScore> MStream::update_and_score_detailed(std::span<const double> numeric,
                                                                 std::span<const std::int64_t> categorical,
                                                                 std::uint64_t timestamp) {
    return detailed<Parts>(numeric, categorical,
                           [&](Parts& parts) { return ingest(numeric, categorical, timestamp, parts); });
}

core::Result<double> MStream::score(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                                    std::uint64_t timestamp) const {
    Parts parts;
    if (auto ok = preview(numeric, categorical, timestamp, parts); !ok) return core::fail(ok.error());
    return parts.total();
}

core::Result<DecomposedScore> MStream::score_detailed(std::span<const double> numeric,
                                                      std::span<const std::int64_t> categorical,
                                                      std::uint64_t timestamp) const {
    return detailed<Parts>(numeric, categorical,
                           [&](Parts& parts) { return preview(numeric, categorical, timestamp, parts); });
}

std::string shortest_positional(double v) {
    char buf[1100]; // the longest positional double (a subnormal) has under 800 characters
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    core::check_internal(res.ec == std::errc{}, "formatting a double overflowed its buffer");
    return std::string(buf, res.ptr);
}

std::string MStream::repr() const {
    return "MStream(numeric_dim=" + std::to_string(config_.numeric_dim) +
           ", categorical_dim=" + std::to_string(config_.categorical_dim) +
           ", num_rows=" + std::to_string(config_.num_rows) + ", num_buckets=" + std::to_string(config_.num_buckets) +
           ", alpha=" + shortest_positional(config_.alpha) + ", entries_seen=" + std::to_string(entries_seen_) + ")";
}

} // namespace tarn::mstream

// ------------------------------------------------------------ loaded states

namespace tarn::mstream {

namespace {

core::Status bad(std::string text) { return core::invalid(std::move(text)); }

core::Status check_counts(const std::vector<double>& count, std::uint64_t cells, const char* what) {
    if (count.size() != cells) return bad(std::string(what) + " count array does not match its sizes");
    return {};
}

core::Status check_sketch(const NumericSketch& s, const MStreamConfig& c) {
    if (s.num_buckets != c.num_buckets) return bad("numeric sketch num_buckets does not match the configuration");
    return check_counts(s.count, c.num_buckets, "numeric sketch");
}

core::Status check_sketch(const CategoricalSketch& s, const MStreamConfig& c, std::uint64_t rb) {
    if (s.num_rows != c.num_rows || s.num_buckets != c.num_buckets) {
        return bad("categorical sketch sizes do not match the configuration");
    }
    if (s.hash_a.size() != c.num_rows || s.hash_b.size() != c.num_rows) {
        return bad("categorical sketch hash seeds do not match num_rows");
    }
    return check_counts(s.count, rb, "categorical sketch");
}

core::Status check_sketch(const RecordSketch& s, const MStreamConfig& c, std::uint64_t rb, std::uint64_t rpn,
                          std::uint64_t rc) {
    if (s.num_rows != c.num_rows || s.num_buckets != c.num_buckets || s.numeric_dim != c.numeric_dim ||
        s.categorical_dim != c.categorical_dim) {
        return bad("record sketch sizes do not match the configuration");
    }
    if (s.numeric_planes.size() != rpn) return bad("record sketch numeric_planes do not match its sizes");
    if (s.categorical_coeffs.size() != rc) return bad("record sketch categorical_coeffs do not match its sizes");
    return check_counts(s.count, rb, "record sketch");
}

} // namespace

core::Status MStream::check_loaded() {
    const MStreamConfig& c = config_;
    if (c.num_buckets < 2) return bad("num_buckets must be >= 2");
    std::uint64_t rb = 0, rpn = 0, rc = 0;
    if (!checked_mul(c.num_rows, c.num_buckets, rb) || !checked_mul(plane_count(c.num_buckets), c.numeric_dim, rpn) ||
        !checked_mul(rpn, c.num_rows, rpn) || !checked_mul(c.num_rows, c.categorical_dim, rc)) {
        return bad("sketch sizes overflow usize");
    }
    if (auto ok = check_sketch(record_counts_.current, c, rb, rpn, rc); !ok) return ok;
    if (auto ok = check_sketch(record_counts_.total, c, rb, rpn, rc); !ok) return ok;
    if (numeric_counts_.size() != c.numeric_dim) return bad("numeric_counts length does not match numeric_dim");
    for (const auto& p : numeric_counts_) {
        if (auto ok = check_sketch(p.current, c); !ok) return ok;
        if (auto ok = check_sketch(p.total, c); !ok) return ok;
    }
    if (categorical_counts_.size() != c.categorical_dim) {
        return bad("categorical_counts length does not match categorical_dim");
    }
    for (const auto& p : categorical_counts_) {
        if (auto ok = check_sketch(p.current, c, rb); !ok) return ok;
        if (auto ok = check_sketch(p.total, c, rb); !ok) return ok;
    }
    if (numeric_normalizer_.min_numeric.size() != c.numeric_dim ||
        numeric_normalizer_.max_numeric.size() != c.numeric_dim) {
        return bad("numeric_normalizer lengths do not match numeric_dim");
    }
    twin_hashes_ = same_hashing(record_counts_);
    for (const auto& p : categorical_counts_) twin_hashes_ = twin_hashes_ && same_hashing(p);
    plane_columns_ = twin_hashes_ ? PlaneColumns(record_counts_.current) : PlaneColumns();
    category_hashes_ = CategoryHashes(c.num_rows, c.categorical_dim);
    return {};
}

} // namespace tarn::mstream
