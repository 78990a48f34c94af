// The one error type of the detectors, and the internal-failure exception.
//
// Detectors report a caller's mistake by returning a DetectorError inside a
// Result; they never throw for it. A broken internal invariant (an index that
// points at a freed slot, an unreachable branch) throws InternalError, which
// the frame turns into PanicException.
#pragma once

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/arith.hpp" // checked_mul / checked_add, used with these errors throughout

namespace tarn::core {

enum class ErrorKind {
    InvalidArgument,
    DimensionMismatch,
    NotReady,
    IndexOutOfBounds,
    Overflow,
    Runtime,
    Io,
};

struct DetectorError {
    ErrorKind kind;
    std::string text;           // InvalidArgument, Overflow, Runtime, Io
    std::uint64_t expected = 0; // DimensionMismatch
    std::uint64_t received = 0; // DimensionMismatch
    std::uint64_t index = 0;    // IndexOutOfBounds

    static DetectorError invalid_argument(std::string t) { return {ErrorKind::InvalidArgument, std::move(t)}; }
    static DetectorError dimension_mismatch(std::uint64_t exp, std::uint64_t got) {
        return {ErrorKind::DimensionMismatch, {}, exp, got};
    }
    static DetectorError not_ready() { return {ErrorKind::NotReady, {}}; }
    static DetectorError index_out_of_bounds(std::uint64_t i) { return {ErrorKind::IndexOutOfBounds, {}, 0, 0, i}; }
    static DetectorError overflow(std::string t) { return {ErrorKind::Overflow, std::move(t)}; }
    static DetectorError runtime(std::string t) { return {ErrorKind::Runtime, std::move(t)}; }
    static DetectorError io(std::string t) { return {ErrorKind::Io, std::move(t)}; }

    // The display text: what logs show, and what Python shows for every kind
    // except InvalidArgument (which surfaces as its bare text).
    std::string display() const {
        switch (kind) {
        case ErrorKind::InvalidArgument: return "invalid argument: " + text;
        case ErrorKind::DimensionMismatch:
            return "dimension mismatch: expected " + std::to_string(expected) + ", got " + std::to_string(received);
        case ErrorKind::NotReady: return "forest not ready: insufficient data";
        case ErrorKind::IndexOutOfBounds: return "index out of bounds: " + std::to_string(index);
        case ErrorKind::Overflow: return "overflow: " + text;
        case ErrorKind::Runtime: return "runtime error: " + text;
        case ErrorKind::Io: return "I/O error: " + text;
        }
        return text;
    }
};

template <class T>
using Result = std::expected<T, DetectorError>;
using Status = std::expected<void, DetectorError>;

// Shorthand for `return fail(DetectorError::...)` inside functions returning Result.
inline std::unexpected<DetectorError> fail(DetectorError e) { return std::unexpected<DetectorError>(std::move(e)); }
inline std::unexpected<DetectorError> invalid(std::string text) {
    return fail(DetectorError::invalid_argument(std::move(text)));
}

struct InternalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Checks an internal invariant; a failure is a bug, never a caller's error.
inline void check_internal(bool ok, const char* what) {
    if (!ok) throw InternalError(what);
}

} // namespace tarn::core
