// A count of the C++ exceptions this extension throws, for tests.
//
// Exceptions are the frame's way of unwinding a failed call, never the way a
// call succeeds: conversions try only the forms that can apply, so a call
// that works throws nothing. Tests hold that to account by reading this
// count (through ctypes) around successful calls. On Linux the link wraps
// __cxa_throw, so every throw expression in the extension and its core is
// counted; elsewhere the count stays 0 and the tests skip.
#include <atomic>
#include <cstdint>
#include <typeinfo>

namespace {
std::atomic<std::uint64_t> thrown{0};
}

#if defined(TARN_COUNT_THROWS)
extern "C" [[noreturn]] void __real___cxa_throw(void* object, std::type_info* type, void (*destroy)(void*));

extern "C" [[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type, void (*destroy)(void*)) {
    thrown.fetch_add(1, std::memory_order_relaxed);
    __real___cxa_throw(object, type, destroy);
}
#endif

extern "C" __attribute__((visibility("default"))) std::uint64_t tarn_cxx_throw_count() {
    return thrown.load(std::memory_order_relaxed);
}

extern "C" __attribute__((visibility("default"))) int tarn_cxx_throw_count_enabled() {
#if defined(TARN_COUNT_THROWS)
    return 1;
#else
    return 0;
#endif
}
