// The detector's arithmetic in generic vectors: two lanes on any processor
// (SSE2 on x86-64, NEON elsewhere), four on x86-64 processors with AVX2 and
// eight on those with AVX-512F (chosen at run time). Lane-wise operations round as the scalar ones do,
// so every path gives the same bits. The kernels themselves are in
// lane_kernels.inc, compiled once per instruction set by lanes.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#define TARN_LANES_AVX2 1
#else
#define TARN_LANES_AVX2 0
#endif

namespace tarn::mstream {

template <std::size_t W>
struct Lanes {
    typedef double Doubles __attribute__((vector_size(8 * W)));
    typedef std::uint64_t Bits __attribute__((vector_size(8 * W)));
};

// The widest vectors any path uses.
inline constexpr std::size_t kMaxLanes = 8;
// Features settled at a time (settle_eight).
inline constexpr std::size_t kSettleBlock = 8;

// The lanes the kernels run on: 8, 4 or 2, the widest the processor has
// up to the limit force_lanes set.
std::size_t lane_count();
// Process-wide: every later call takes the widest paths the processor has
// up to `most` lanes (2, 4 or 8). For tests of the narrower paths.
void force_lanes(std::size_t most);

// The scaled estimate (normalization.cpp) for the kSettleBlock features
// at x with bounds lo, hi: a bit per feature whose bucket it settles, that
// bucket in bucket[k] (written for every feature).
unsigned settle_eight(const double* x, const double* lo, const double* hi, std::uint64_t buckets,
                      std::uint64_t* bucket);
// settle_eight for the kSettleBlock features at x + row * stride of each
// of `rows` records under the same bounds (their buckets at bucket + row *
// stride): record row's settled bits go to settled[row]. One loop, so the
// processor overlaps the records' chains of dependent operations.
void settle_rows(const double* x, std::size_t stride, std::size_t rows, const double* lo, const double* hi,
                 std::uint64_t buckets, std::uint64_t* bucket, unsigned* settled);

// The sign bits of every slot's plane for the n numeric values y, from a
// record sketch's planes by column (PlaneColumns, sketch.hpp); slots <= 64,
// a multiple of kMaxLanes at most stride.
std::uint64_t plane_signs(const double* columns, std::size_t stride, const double* y, std::size_t n,
                          std::size_t slots);
// plane_signs for `rows` records of n values, one after another in y, into
// signs[row]: one loop, as settle_rows.
void plane_signs_rows(const double* columns, std::size_t stride, const double* y, std::size_t n, std::size_t rows,
                      std::size_t slots, std::uint64_t* signs);

} // namespace tarn::mstream
