#include "core/binary.hpp"

#include <algorithm>

namespace tarn::core::binary {

namespace {
constexpr char kMagic[4] = {'T', 'A', 'R', 'N'};
}

std::string_view class_name(std::uint32_t tag) {
    switch (tag) {
    case static_cast<std::uint32_t>(ClassTag::Forest): return "Forest";
    case static_cast<std::uint32_t>(ClassTag::OnlineIForest): return "OnlineIForest";
    case static_cast<std::uint32_t>(ClassTag::MStream): return "MStream";
    case static_cast<std::uint32_t>(ClassTag::FeatureSketch): return "FeatureSketch";
    case static_cast<std::uint32_t>(ClassTag::Threshold): return "Threshold";
    default: return "an unknown class";
    }
}

void Writer::header(ClassTag tag, std::uint32_t version) {
    out_.append(kMagic, sizeof kMagic);
    u32(static_cast<std::uint32_t>(tag));
    u32(version);
}

bool Reader::header(ClassTag want, std::uint32_t version) {
    if (remaining() < kHeaderSize || !std::equal(kMagic, kMagic + 4, at_))
        return fail("not a tarn binary state (it must start with \"TARN\", a class tag and a version)");
    at_ += 4;
    const std::uint32_t tag = u32();
    if (tag != static_cast<std::uint32_t>(want)) {
        // "a Forest", "an MStream": the article follows the spoken name.
        auto named = [](std::uint32_t t) {
            const std::string n(class_name(t));
            return (n[0] == 'M' || n[0] == 'O' ? "an " : "a ") + n;
        };
        const std::string mine = named(static_cast<std::uint32_t>(want));
        if (class_name(tag) == "an unknown class")
            return fail("unknown class tag " + std::to_string(tag) + ", not " + mine + " state");
        return fail("this is " + named(tag) + " state, not " + mine + " state");
    }
    const std::uint32_t v = u32();
    if (v != version)
        return fail("unsupported format version " + std::to_string(v) + " (this build reads version " +
                    std::to_string(version) + ")");
    return true;
}

bool Reader::flag() {
    const std::uint8_t b = u8();
    if (b > 1) fail("invalid boolean byte " + std::to_string(b) + " at offset " + std::to_string(offset() - 1));
    return b == 1;
}

bool Reader::fits(std::uint64_t n, std::size_t size, std::string_view what) {
    if (!ok()) return false;
    if (n > remaining() / size)
        return fail("length " + std::to_string(n) + " of " + std::string(what) + " at offset " +
                    std::to_string(offset()) + " exceeds the remaining " + std::to_string(remaining()) + " bytes");
    return true;
}

std::uint64_t Reader::sparse_bitmap(std::uint64_t n, std::size_t size, std::string_view what) {
    const std::uint64_t bytes = n / 8 + (n % 8 != 0);
    if (!fits(bytes, 1, what)) return 0;
    const auto* bits = reinterpret_cast<const unsigned char*>(at_);
    std::uint64_t marked = 0;
    for (std::uint64_t i = 0; i < bytes; ++i) marked += static_cast<std::uint64_t>(std::popcount(bits[i]));
    if (n % 8 != 0 && (bits[bytes - 1] >> (n % 8)) != 0)
        return fail("the bitmap of " + std::string(what) + " marks elements beyond its " + std::to_string(n));
    at_ += bytes;
    if (!fits(marked, size, what)) return 0;
    return marked;
}

std::uint64_t Reader::count(std::size_t min_size, std::string_view what) {
    const std::uint64_t n = u64();
    return fits(n, min_size, what) ? n : 0;
}

void Reader::take(void* out, std::size_t n) {
    if (!ok()) return;
    if (n > remaining()) {
        fail("truncated: " + std::to_string(n) + " bytes needed at offset " + std::to_string(offset()) + ", " +
             std::to_string(remaining()) + " left");
        return;
    }
    if (n) std::memcpy(out, at_, n);
    at_ += n;
}

bool Reader::fail(std::string why) {
    if (ok()) error_ = std::move(why);
    at_ = end_;
    return false;
}

bool Reader::finish() {
    if (ok() && remaining() != 0)
        return fail(std::to_string(remaining()) + " trailing bytes after the state at offset " +
                    std::to_string(offset()));
    return ok();
}

} // namespace tarn::core::binary
