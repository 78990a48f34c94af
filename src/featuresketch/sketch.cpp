#include "featuresketch/sketch.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <type_traits>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace tarn::featuresketch {

namespace {

// std::fmax(x, kRatioFloor), inline: a NaN x gives the floor, and the floor
// is positive, so no choice between zeros of two signs arises.
inline double at_least_floor(double x) { return x > kRatioFloor ? x : kRatioFloor; }

// v / d. Drawn bin widths and volume ratios are normal powers of two, whose
// reciprocals are exact: multiplying by one rounds the same real number as
// the division does, so gives the same bits, in a fraction of the time.
// Other divisors (a loaded state may hold any) divide.
inline double quotient(double v, double d) {
    const auto bits = std::bit_cast<std::uint64_t>(d);
    const std::uint64_t exponent = bits >> 52; // with the sign bit, which must be clear
    if ((bits & ((std::uint64_t{1} << 52) - 1)) == 0 && exponent >= 1 && exponent <= 2045) {
        return v * std::bit_cast<double>((2046 - exponent) << 52);
    }
    return v / d;
}

// The most surprising level of a chain, -ln of its smallest ratio, with as
// few logarithms as possible. A level whose ratio exceeds a smaller one by
// the factor kCandidate cannot be the most surprising: its -ln is smaller by
// about 1e-9, far beyond the logarithm's rounding error (under 1e-14 at
// these magnitudes). So only ratios near the smallest are kept, and their
// logarithms taken when the chain ends. The result is the largest -ln of
// all the chain's ratios below 1, as if each had been computed.
class ChainSurprise {
public:
    void add(double ratio) {
        if (!(ratio < 1.0) || ratio > least_ * kCandidate) return;
        if (ratio < least_) {
            least_ = ratio;
            std::size_t kept = 0;
            for (std::size_t k = 0; k < count_; ++k) {
                if (!(near_[k] > least_ * kCandidate)) near_[kept++] = near_[k];
            }
            count_ = kept;
        }
        for (std::size_t k = 0; k < count_; ++k) {
            if (near_[k] == ratio) return; // the same logarithm
        }
        if (count_ == std::size(near_)) settle();
        near_[count_++] = ratio;
    }
    // The chain's score; starts the next chain.
    double finish() {
        settle();
        const double out = best_;
        *this = ChainSurprise();
        return out;
    }

private:
    static constexpr double kCandidate = 1.000000001;
    void settle() {
        // -ln(1) = -0.0 never reaches here, and the strict comparison keeps
        // the initial +0.0 of a chain without a ratio below 1.
        for (std::size_t k = 0; k < count_; ++k) {
            const double surprise = -std::log(near_[k]);
            if (surprise > best_) best_ = surprise;
        }
        count_ = 0;
    }
    double best_ = 0.0;
    double least_ = 1.0;
    double near_[4];
    std::size_t count_ = 0;
};

constexpr std::size_t kHugePage = std::size_t{1} << 21;

} // namespace

const double* decay_table(std::uint64_t half_life) {
    // Tables are never freed: detectors and their readers may hold a pointer
    // at any time. The cap bounds the memory a process can spend on them.
    constexpr std::size_t kMaxTables = 64;
    static std::mutex lock;
    static std::map<std::uint64_t, std::unique_ptr<const double[]>> tables;
    const std::lock_guard<std::mutex> guard(lock);
    if (auto it = tables.find(half_life); it != tables.end()) return it->second.get();
    if (tables.size() >= kMaxTables) return nullptr;
    auto table = std::make_unique<double[]>(kDecayTableSize);
    const double h = static_cast<double>(half_life);
    for (std::uint64_t d = 0; d < kDecayTableSize; ++d) table[d] = std::exp2(-static_cast<double>(d) / h);
    const double* out = table.get();
    tables.emplace(half_life, std::move(table));
    return out;
}

// ------------------------------------------------------------ cell store

static_assert(std::is_trivially_copyable_v<DecayedValue> && sizeof(DecayedValue) == 16);

void CellStore::Release::operator()(DecayedValue* p) const { std::free(p); }

CellStore::CellStore(std::size_t n, bool zero) {
    if (n == 0) return;
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(DecayedValue) - kHugePage) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(DecayedValue);
    void* p = nullptr;
    if (bytes >= kHugePage) {
        p = std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
#if defined(MADV_HUGEPAGE)
        // Only whole huge pages of cells: the tail keeps small pages. Advice
        // the kernel does not take changes nothing.
        if (p != nullptr) ::madvise(p, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
    } else {
        p = std::malloc(bytes);
    }
    if (p == nullptr) throw std::bad_alloc();
    if (zero) std::memset(p, 0, bytes); // a zero counter is all zero bits
    cells_.reset(static_cast<DecayedValue*>(p));
    size_ = n;
}

CellStore::CellStore(const CellStore& other) : CellStore(other.size_, false) {
    if (size_ != 0) std::memcpy(cells_.get(), other.cells_.get(), size_ * sizeof(DecayedValue));
}

CellStore& CellStore::operator=(const CellStore& other) {
    if (this != &other) *this = CellStore(other);
    return *this;
}

bool CellStore::operator==(const CellStore& other) const {
    return size_ == other.size_ && std::equal(data(), data() + size_, other.data());
}

// -------------------------------------------------------------- ensemble

EnsembleSketch::EnsembleSketch(std::uint64_t rows, std::uint64_t buckets, std::vector<Seed4> row_seeds, bool zero)
    : rows_(rows), buckets_(buckets), seeds_(std::move(row_seeds)) {
    core::check_internal(rows != 0 && buckets != 0 && seeds_.size() % rows == 0, "ensemble of no rows or buckets");
    const std::uint64_t levels = seeds_.size() / rows;
    std::uint64_t cells = 0;
    core::check_internal(core::checked_mul(seeds_.size(), buckets, cells), "level sketch size overflows");
    row_hashers_.reserve(seeds_.size());
    for (std::size_t k = 0; k < seeds_.size(); ++k) {
        KeyedHasher h(seeds_[k]);
        h.absorb_word(k % rows); // the row's own index
        row_hashers_.push_back(h.words());
    }
    masses_.assign(levels, DecayedValue{});
    cells_ = CellStore(cells, zero);
}

EnsembleSketch build_ensemble(std::uint64_t rows, std::uint64_t buckets, std::uint64_t levels,
                              core::Xoshiro256PlusPlus& rng) {
    std::uint64_t keys = 0;
    core::check_internal(core::checked_mul(rows, levels, keys), "level sketch size overflows");
    std::vector<Seed4> seeds(keys);
    for (Seed4& key : seeds) {
        for (auto& w : key.k) w = rng.next_word();
    }
    return EnsembleSketch(rows, buckets, std::move(seeds));
}

namespace {
constexpr int kScore = 1;
constexpr int kCount = 2;
// Cells located ahead of their use: about what the memory system fetches at
// once.
constexpr std::size_t kAheadCells = 32;
} // namespace

template <int Mode, class Self>
double EnsembleSketch::pass(Self& self, const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
                            std::uint64_t half_life, const double* decay) {
    constexpr bool kScores = (Mode & kScore) != 0;
    constexpr bool kCounts = (Mode & kCount) != 0;
    using Cell = std::remove_pointer_t<decltype(self.cells_.data())>;

    const std::size_t levels = self.masses_.size();
    const std::uint64_t rows = self.rows_;
    const std::uint64_t buckets = self.buckets_;
    const std::uint64_t depth = layout.chain_depth;
    core::check_internal(layout.levels.size() == levels && self.row_hashers_.size() == levels * rows &&
                             self.cells_.size() == levels * rows * buckets && rows != 0 && buckets != 0,
                         "ensemble and layout disagree in size");
    core::check_internal(depth != 0 && levels % depth == 0 && levels != 0,
                         "chain layout without whole chains of levels");
    const std::uint64_t score_now = now;
    const std::uint64_t count_now = Mode == (kScore | kCount) ? now + 1 : now;
    const bool pow2 = (buckets & (buckets - 1)) == 0;
    Cell* const base = self.cells_.data();

    // The cells of a block of levels are located, and their lines asked
    // for, while the block before is worked on.
    const std::size_t block = rows >= kAheadCells ? 1 : kAheadCells / rows;
    const std::size_t slots = block * rows;
    Cell* inline_slots[2 * kAheadCells];
    std::vector<Cell*> heap_slots;
    Cell** slot = inline_slots;
    if (2 * slots > std::size(inline_slots)) {
        heap_slots.resize(2 * slots);
        slot = heap_slots.data();
    }
    auto locate = [&](std::size_t begin, std::size_t end, Cell** out) {
        for (std::size_t i = begin; i < end; ++i) {
            const ChainLevel& lv = layout.levels[i];
            core::check_internal(lv.dimension < x.size(), "chain level dimension beyond the projected vector");
            const auto bin =
                static_cast<std::uint64_t>(saturating_floor_to_i64(quotient(x[lv.dimension] + lv.offset, lv.width)));
            const WordHasher* keys = &self.row_hashers_[i * rows];
            Cell* level_cells = base + i * rows * buckets;
            for (std::uint64_t j = 0; j < rows; ++j) {
                WordHasher h = keys[j];
                h.absorb_word(bin);
                const std::uint64_t g = h.finish();
                // The same remainder without a division for power-of-two counts (the default).
                Cell* c = level_cells + j * buckets + (pow2 ? g & (buckets - 1) : g % buckets);
                __builtin_prefetch(c, kCounts ? 1 : 0);
                *out++ = c;
            }
        }
    };

    DecayFactor score_decay(half_life, decay);
    DecayFactor count_decay(half_life, decay);
    double total = 0.0;
    ChainSurprise chain;
    std::uint64_t chain_levels = 0;
    locate(0, std::min(block, levels), slot);
    for (std::size_t begin = 0, b = 0; begin < levels; begin += block, ++b) {
        const std::size_t end = std::min(begin + block, levels);
        Cell** cells = slot + (b & 1) * slots;
        if (end < levels) locate(end, std::min(end + block, levels), slot + ((b + 1) & 1) * slots);
        for (std::size_t i = begin; i < end; ++i, cells += rows) {
            // Count-min estimate: the smallest decayed row count.
            double n = std::numeric_limits<double>::infinity();
            if constexpr (kScores) {
                for (std::uint64_t j = 0; j < rows; ++j) {
                    const double v = cells[j]->read(score_now, score_decay);
                    if (v < n) n = v;
                }
            }
            if constexpr (kCounts) {
                // Every row is incremented (no conservative update).
                for (std::uint64_t j = 0; j < rows; ++j) cells[j]->increment(count_now, count_decay);
            }
            if constexpr (kScores) {
                const double r = self.masses_[i].read(score_now, score_decay);
                // An empty bin's ratio is a zero, which the floor replaces.
                double ratio = kRatioFloor;
                if (n != 0.0) {
                    ratio = at_least_floor(
                        quotient(n / at_least_floor(r), at_least_floor(layout.levels[i].bin_volume_ratio)));
                }
                chain.add(ratio < 1.0 ? ratio : 1.0);
                if (++chain_levels == depth) {
                    total += chain.finish();
                    chain_levels = 0;
                }
            }
            if constexpr (kCounts) self.masses_[i].increment(count_now, count_decay);
        }
    }
    return kScores ? total / static_cast<double>(levels / depth) : 0.0;
}

double EnsembleSketch::score(const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
                             std::uint64_t half_life, const double* decay) const {
    return pass<kScore>(*this, layout, x, now, half_life, decay);
}

void EnsembleSketch::update(const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
                            std::uint64_t half_life, const double* decay) {
    pass<kCount>(*this, layout, x, now, half_life, decay);
}

double EnsembleSketch::update_and_score(const ChainLayout& layout, std::span<const double> x, std::uint64_t now,
                                        std::uint64_t half_life, const double* decay) {
    return pass<kScore | kCount>(*this, layout, x, now, half_life, decay);
}

} // namespace tarn::featuresketch
