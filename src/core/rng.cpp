#include "core/rng.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "core/error.hpp"

namespace tarn::core {

float Xoshiro256PlusPlus::uniform_f32(float low, float high) {
    if (!(low < high)) throw InternalError("cannot sample empty range");
    const float width = high - low;
    if (!std::isfinite(width)) throw InternalError("uniform range width is not finite");
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(next_word() >> 41) | 0x3f800000u);
    return low + (f - 1.0f) * width;
}

double Xoshiro256PlusPlus::uniform_f64(double low, double high) {
    if (!(low < high)) throw InternalError("cannot sample empty range");
    const double width = high - low;
    if (!std::isfinite(width)) throw InternalError("uniform range width is not finite");
    const double f = std::bit_cast<double>((next_word() >> 12) | 0x3ff0000000000000ull);
    return low + (f - 1.0) * width;
}

std::uint64_t Xoshiro256PlusPlus::index_below(std::uint64_t n) {
    if (n == 0) throw InternalError("cannot sample an index below 0");
    return next_word() % n;
}

Xoshiro256PlusPlus expand_seed(std::uint64_t x) {
    Xoshiro256PlusPlus g;
    for (std::uint64_t i = 0; i < 4; ++i) {
        std::uint64_t z = x + (i + 1) * 0x9e3779b97f4a7c15ull;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        g.s[i] = z ^ (z >> 31);
    }
    return g;
}

namespace {

// Calls read(p, n) until len bytes are in buf, retrying interrupted calls;
// false when a call fails or the source runs dry first.
template <class Read>
bool read_fully(unsigned char* buf, std::size_t len, Read read) {
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = read(buf + got, len - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return got == len;
}

// Fills buf from the kernel's random source, retrying interrupted reads;
// falls back to /dev/urandom where the system call is unavailable.
bool read_os_entropy(unsigned char* buf, std::size_t len) {
    if (read_fully(buf, len, [](unsigned char* p, std::size_t n) { return getrandom(p, n, 0); })) return true;
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = read_fully(buf, len, [fd](unsigned char* p, std::size_t n) { return ::read(fd, p, n); });
    ::close(fd);
    return ok;
}

} // namespace

Xoshiro256PlusPlus entropy_generator() {
    unsigned char bytes[32];
    if (!read_os_entropy(bytes, sizeof bytes)) throw InternalError("unexpected failure from SysRng");
    Xoshiro256PlusPlus g;
    for (int i = 0; i < 4; ++i) {
        std::uint64_t w = 0;
        for (int b = 7; b >= 0; --b) w = (w << 8) | bytes[i * 8 + b]; // little-endian
        g.s[i] = w;
    }
    if (g.s[0] == 0 && g.s[1] == 0 && g.s[2] == 0 && g.s[3] == 0) g = expand_seed(0);
    return g;
}

std::uint64_t resolve_seed(std::optional<std::uint64_t> seed) {
    if (seed) return *seed;
    return entropy_generator().next_word();
}

} // namespace tarn::core
