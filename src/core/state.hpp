// What the state code of every detector shares: the four entry points each
// declares, and failures reported behind the reader's prefix.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"

// A detector's state: the JSON text and the binary form
// (docs/binary-state.md), each read back through the class's checks and
// refused as an invalid argument behind the reader's prefix ("invalid
// <Class> JSON: ", "invalid <Class> state: ").
#define TARN_STATE_ENTRY_POINTS(Class)                                                                                 \
    core::Result<std::string> to_json() const;                                                                         \
    static core::Result<Class> from_json(std::string_view text);                                                       \
    core::Result<std::string> to_bytes() const;                                                                        \
    static core::Result<Class> from_bytes(std::string_view data);

namespace tarn::core {

// r, or its failure as an invalid argument whose text follows `prefix`.
template <class T>
Result<T> prefixed(std::string_view prefix, Result<T>&& r) {
    if (!r) return invalid(std::string(prefix) + r.error().text);
    return std::move(r);
}

// The second step of a loader: after `read` (the reader's verdict on the
// input, already behind its prefix) succeeded, make() checks what it read
// and builds the detector.
template <class Make>
auto then_make(Status read, Make&& make) -> decltype(make()) {
    if (!read) return fail(std::move(read.error()));
    return make();
}

} // namespace tarn::core
