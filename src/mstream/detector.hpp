// The mStream detector: a logical clock, a running numeric normalizer and
// decayed count sketches for every numeric feature, every categorical
// feature and the record as a whole.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/fields.hpp"
#include "core/state.hpp"
#include "mstream/normalization.hpp"
#include "mstream/sketch.hpp"

namespace tarn::mstream {

struct MStreamConfig {
    std::uint64_t numeric_dim = 0;     // N
    std::uint64_t categorical_dim = 0; // C
    std::uint64_t num_rows = 2;        // R
    std::uint64_t num_buckets = 1024;  // B
    double alpha = 0.8;                // decay per tick, in (0, 1)

    bool operator==(const MStreamConfig&) const = default;
};

// A record's score and its parts. total = (sum of numeric_features + record)
// + sum of categorical_features, each list summed in feature order.
struct DecomposedScore {
    double total = 0.0;
    double record = 0.0;
    std::vector<double> numeric_features;
    std::vector<double> categorical_features;
};

class MStream {
public:
    // Resolves the seed (entropy when absent), checks the configuration and
    // draws every sketch's seeds and planes from expand_seed(seed). Sizes
    // that cannot be allocated throw std::bad_alloc.
    static core::Result<MStream> create(const MStreamConfig& config, std::optional<std::uint64_t> seed);
    // The constructor's argument checks, in their reporting order.
    static core::Status validate(const MStreamConfig& config);

    // Committing pipeline. A rejected record leaves the detector unchanged.
    core::Status update(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                        std::uint64_t timestamp);
    core::Result<double> update_and_score(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                                          std::uint64_t timestamp);
    core::Result<DecomposedScore> update_and_score_detailed(std::span<const double> numeric,
                                                            std::span<const std::int64_t> categorical,
                                                            std::uint64_t timestamp);

    // Preview pipeline: what the record would score if ingested next.
    core::Result<double> score(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                               std::uint64_t timestamp) const;
    core::Result<DecomposedScore> score_detailed(std::span<const double> numeric,
                                                 std::span<const std::int64_t> categorical,
                                                 std::uint64_t timestamp) const;

    // update() for records one after another that check_update passed in
    // turn against this detector's clock (a batch checks every row before
    // the first), without checking their shapes and values again: record
    // i's values are numeric[i * numeric_dim, (i + 1) * numeric_dim) and
    // categorical[i * categorical_dim, (i + 1) * categorical_dim), its time
    // timestamps[i]. With `scores` (as long as timestamps) record i's score
    // goes to scores[i], as update_and_score() gives it. `applied` counts
    // the records applied (all of them unless this fails).
    core::Status update_checked(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                                std::span<const std::uint64_t> timestamps, std::span<double> scores,
                                std::size_t& applied);

    // The checks update() makes, in its order, with `clock` standing in for
    // the detector's; when they pass, `clock` moves on to the record's time.
    // A batch checks record after record this way before the first changes
    // anything.
    core::Status check_update(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                              std::uint64_t timestamp, StreamClock& clock) const;

    // Whether records with these numeric values (each row's numeric_dim
    // values, one row after another) and timestamps all pass check_update
    // in turn from this detector's clock, told in one sweep; the records'
    // shapes are the caller's to check. False when one may not: checking
    // them one by one then finds it.
    bool accepts_all(std::span<const double> numeric, std::span<const std::uint64_t> timestamps) const;

    bool is_ready() const { return entries_seen_ > 0; }
    std::uint64_t entries_seen() const { return entries_seen_; }
    std::optional<std::uint64_t> current_time() const { return clock_.current_time; }
    const MStreamConfig& config() const { return config_; }
    const StreamClock& clock() const { return clock_; }
    std::string repr() const;

    TARN_STATE_ENTRY_POINTS(MStream)

    bool operator==(const MStream& o) const {
        return config_ == o.config_ && clock_ == o.clock_ && entries_seen_ == o.entries_seen_ &&
               record_counts_ == o.record_counts_ && numeric_counts_ == o.numeric_counts_ &&
               categorical_counts_ == o.categorical_counts_ && numeric_normalizer_ == o.numeric_normalizer_;
    }

private:
    friend struct core::Fields<MStream>; // the state's field list (state.cpp)
    MStream() = default;
    // Checks a state read from JSON against its configuration, so that no
    // later call can index out of bounds or divide by zero, and notes
    // whether its sketch pairs hash alike. The error is the diagnostic
    // without the class prefix.
    core::Status check_loaded();
    // A read detector once it passes check_loaded(), or the failure behind prefix.
    static core::Result<MStream> from_loaded(MStream& m, std::string_view prefix);

    // Scores handed out by the pipelines; the lists are filled only when asked for.
    struct Parts {
        double numeric_sum = 0.0;
        double categorical_sum = 0.0;
        double record = 0.0;
        std::vector<double>* numeric = nullptr;
        std::vector<double>* categorical = nullptr;
        double total() const { return (numeric_sum + record) + categorical_sum; }
    };

    core::Status check_record(std::span<const double> numeric, std::span<const std::int64_t> categorical) const;
    // The record's shape, c's step to timestamp, then finite values: the
    // checks of every path, changing nothing.
    core::Result<Advance> check_step(const StreamClock& c, std::span<const double> numeric,
                                     std::span<const std::int64_t> categorical, std::uint64_t timestamp) const;
    // Whether a record's events are counted all at once (EventSketches).
    bool counts_at_once() const { return twin_hashes_ && (config_.numeric_dim == 0 || !plane_columns_.empty()); }
    // checked: check_update passed for the record (only the clock is asked
    // again). sketches: this detector's, made once for many records when
    // counts_at_once() (made here when null).
    core::Status ingest(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                        std::uint64_t timestamp, Parts& parts, bool checked = false,
                        EventSketches* sketches = nullptr);
    // A batch's scratch for a run of records (update_checked), made per
    // batch: detectors kept by the thousand carry none of it.
    struct Run;
    // Applies records [first, first + count) of a checked batch (as
    // update_checked lays it out) whose buckets and plane signs were worked
    // out beforehand into `run`: the normalizer's bounds hold for all of
    // them. Their scores go to scores when it is not empty (and are not
    // worked out when it is); `applied` ends past the last record applied.
    core::Status apply_run(std::span<const std::int64_t> categorical,
                           std::span<const std::uint64_t> timestamps, std::size_t first, std::size_t count,
                           EventSketches& sketches, Run& run, std::span<double> scores, std::size_t& applied);
    // Moves the clock to a record's time (adv: its step) and decays the
    // current counts by the ticks that passed.
    void move_clock(std::uint64_t timestamp, const Advance& adv);
    core::Status preview(std::span<const double> numeric, std::span<const std::int64_t> categorical,
                         std::uint64_t timestamp, Parts& parts) const;

    MStreamConfig config_;
    StreamClock clock_;
    std::uint64_t entries_seen_ = 0;
    SketchCounts<RecordSketch> record_counts_;
    std::vector<SketchCounts<NumericSketch>> numeric_counts_;
    std::vector<SketchCounts<CategoricalSketch>> categorical_counts_;
    NumericRangeNormalizer numeric_normalizer_;
    // Writer scratch, not part of the state: the numeric values' buckets,
    // then each event's current and total counts and its score (numeric
    // features, the record, categorical features).
    std::vector<std::uint64_t> numeric_buckets_;
    std::vector<double> event_current_, event_total_, event_score_;
    // The categorical values' hashes (derived from the seeds, made anew
    // when a detector is made or read).
    CategoryHashes category_hashes_;
    // The record sketch's planes by column when its pair hashes alike
    // (derived from the state, rebuilt when one is made or read).
    PlaneColumns plane_columns_;
    // Every categorical and record pair's sketches hash alike (always so
    // for a created detector), so a bucket is computed once for both.
    bool twin_hashes_ = true;
};

// Shortest decimal text that reads back as v, positional, without a
// trailing ".0" for whole values.
std::string shortest_positional(double v);

} // namespace tarn::mstream
