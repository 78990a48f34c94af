// Converted argument forms shared by the frame and the detectors.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tarn::core {

// A feature event in the caller's order, duplicates allowed.
using FeaturePairs = std::vector<std::pair<std::string, double>>;
// A feature event keyed by name; std::string orders bytewise (as unsigned
// bytes), which is the order the detectors rely on.
using FeatureDict = std::map<std::string, double>;
// KeyValueLike: either form, kept apart because detectors treat them differently.
using KeyValueLike = std::variant<FeaturePairs, FeatureDict>;

// StrOrBytes: a JSON text given as str (UTF-8) or as a byte string.
struct StrOrBytes {
    bool is_bytes = false;
    std::string data;
};

} // namespace tarn::core
