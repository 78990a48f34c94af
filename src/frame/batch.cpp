// Conversion of batch arguments and batch results.
//
// Arrays are read element by element straight from their buffer (any
// strides, either byte order), each value converted exactly as the
// single-record conversion converts the Python number it stands for, so a
// batch gives the same bits as the loop. No Python object is made per
// element.
#include "frame/batch.hpp"

#include <bit>
#include <cstring>
#include <utility>
#include <string>

#include "frame/sequence.hpp"

namespace tarn::frame {

namespace {

// ------------------------------------------------------------ buffers

enum class Kind { Signed, Unsigned, Float, Other };

struct ElementType {
    Kind kind = Kind::Other;
    bool swapped = false; // stored in the other byte order
};

ElementType element_type(const Py_buffer& view) {
    const char* f = view.format ? view.format : "B";
    char order = '@';
    if (*f && std::strchr("@=<>!", *f)) order = *f++;
    if (f[0] == '\0' || f[1] != '\0') return {};
    ElementType t;
    const Py_ssize_t size = view.itemsize;
    if (std::strchr("bhilqn", f[0])) {
        t.kind = Kind::Signed;
    } else if (std::strchr("BHILQN", f[0])) {
        t.kind = Kind::Unsigned;
    } else if ((f[0] == 'f' && size == 4) || (f[0] == 'd' && size == 8)) {
        t.kind = Kind::Float;
    } else {
        return {};
    }
    if (size != 1 && size != 2 && size != 4 && size != 8) return {};
    const bool little = order == '<';
    const bool big = order == '>' || order == '!';
    t.swapped = (std::endian::native == std::endian::little) ? big : little;
    return t;
}

std::string format_of(const Py_buffer& view) { return view.format ? view.format : "B"; }

// The buffer of an object, released at the end of the scope.
class Buffer {
public:
    // Takes the buffer of o when it exports one (true), else false.
    bool take(PyObject* o) {
        if (!PyObject_CheckBuffer(o)) return false;
        if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) < 0) throw PyErrorSet{};
        held_ = true;
        return true;
    }
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

template <class U>
U load_bits(const char* p, bool swapped) {
    U bits;
    std::memcpy(&bits, p, sizeof bits);
    return swapped ? std::byteswap(bits) : bits;
}

// Calls put(i, j, value) for every element of a 1-D (cols = 1) or 2-D
// buffer, value in its stored type, in row-major order.
template <class Put>
void each_element(const Py_buffer& view, ElementType t, Put put) {
    const Py_ssize_t rows = view.shape[0];
    const Py_ssize_t cols = view.ndim == 2 ? view.shape[1] : 1;
    const Py_ssize_t row_stride = view.strides[0];
    const Py_ssize_t col_stride = view.ndim == 2 ? view.strides[1] : 0;
    const auto walk = [&](auto load) {
        const char* base = static_cast<const char*>(view.buf);
        for (Py_ssize_t i = 0; i < rows; ++i) {
            const char* p = base + i * row_stride;
            for (Py_ssize_t j = 0; j < cols; ++j, p += col_stride) put(static_cast<std::size_t>(i), load(p));
        }
    };
    const bool s = t.swapped;
    switch (t.kind) {
    case Kind::Float:
        if (view.itemsize == 4)
            return walk([s](const char* p) { return std::bit_cast<float>(load_bits<std::uint32_t>(p, s)); });
        return walk([s](const char* p) { return std::bit_cast<double>(load_bits<std::uint64_t>(p, s)); });
    case Kind::Signed:
        switch (view.itemsize) {
        case 1: return walk([](const char* p) { return static_cast<std::int8_t>(*p); });
        case 2: return walk([s](const char* p) { return static_cast<std::int16_t>(load_bits<std::uint16_t>(p, s)); });
        case 4: return walk([s](const char* p) { return static_cast<std::int32_t>(load_bits<std::uint32_t>(p, s)); });
        default: return walk([s](const char* p) { return static_cast<std::int64_t>(load_bits<std::uint64_t>(p, s)); });
        }
    case Kind::Unsigned:
        switch (view.itemsize) {
        case 1: return walk([](const char* p) { return static_cast<std::uint8_t>(*p); });
        case 2: return walk([s](const char* p) { return load_bits<std::uint16_t>(p, s); });
        case 4: return walk([s](const char* p) { return load_bits<std::uint32_t>(p, s); });
        default: return walk([s](const char* p) { return load_bits<std::uint64_t>(p, s); });
        }
    case Kind::Other: break;
    }
}

// Names the row in the pending conversion error.
void prefix_row_error(std::size_t row) { prefix_pending_error("row " + std::to_string(row) + ": ", false); }

// ------------------------------------------------- element conversions
// Each converts one stored value as the single-record conversion converts
// the Python number it stands for, with the same error texts (the caller
// names the row).

// Numbers (float for points, double for MStream's numeric values): floats of
// either width and integers (a Python int goes through the nearest double,
// as float() does).
template <class R>
struct ToReal {
    using T = R;
    static bool accepts(Kind k) { return k != Kind::Other; }
    static const char* wanted() { return "a float32, float64 or integer type"; }
    template <class V>
    static R convert(V v) {
        return static_cast<R>(static_cast<double>(v));
    }
};

// Categories (signed 64-bit) and timestamps (unsigned 64-bit): integers in
// range, refused with the interpreter's texts otherwise.
template <class I>
struct ToInteger {
    using T = I;
    static bool accepts(Kind k) { return k == Kind::Signed || k == Kind::Unsigned; }
    static const char* wanted() { return "an integer type"; }
    template <class V>
    static I convert(V v) {
        if constexpr (std::is_floating_point_v<V>) {
            throw core::InternalError("float elements reached an integer conversion"); // refused by accepts()
        } else {
            if (!std::in_range<I>(v)) {
                raise(PyExc_OverflowError, std::is_signed_v<I> ? "Python int too large to convert to C long"
                                                               : "can't convert negative int to unsigned");
            }
            return static_cast<I>(v);
        }
    }
};

[[noreturn]] void raise_element_type(const Py_buffer& view, const char* wanted) {
    raise(PyExc_TypeError, "array element type '" + format_of(view) + "' is not " + wanted);
}

[[noreturn]] void raise_rank(const Py_buffer& view, int wanted) {
    raise(PyExc_TypeError, "expected a " + std::to_string(wanted) + "-dimensional array, got a " +
                               std::to_string(view.ndim) + "-dimensional one");
}

// The buffer holds T itself, in native order and row-major without gaps: a
// copy of its bytes is the conversion (8-byte types only, whose conversion
// leaves every bit as it is).
template <class T>
bool stored_as(const Py_buffer& view, ElementType t) {
    if (t.swapped || view.itemsize != sizeof(T) || sizeof(T) != 8 || !PyBuffer_IsContiguous(&view, 'C')) return false;
    if constexpr (std::is_same_v<T, double>) return t.kind == Kind::Float;
    if constexpr (std::is_same_v<T, std::int64_t>) return t.kind == Kind::Signed;
    if constexpr (std::is_same_v<T, std::uint64_t>) return t.kind == Kind::Unsigned;
    return false;
}

// The buffer holds 8-byte integers of the other signedness than T, in native
// order and row-major without gaps, and every one has its top bit clear:
// then each is the same value as a T, and a copy of the bytes converts them.
template <class T>
bool integers_that_fit(const Py_buffer& view, ElementType t, std::size_t total) {
    if constexpr (std::is_integral_v<T> && sizeof(T) == 8) {
        const Kind other = std::is_signed_v<T> ? Kind::Unsigned : Kind::Signed;
        if (t.kind != other || t.swapped || view.itemsize != 8 || !PyBuffer_IsContiguous(&view, 'C')) return false;
        std::uint64_t any = 0;
        const char* p = static_cast<const char*>(view.buf);
        for (std::size_t i = 0; i < total; ++i) any |= load_bits<std::uint64_t>(p + 8 * i, false);
        return (any >> 63) == 0;
    } else {
        return false;
    }
}

// Reads the buffer of o when it exports one (or gives one via __array__)
// into out through Conv; false when o is not an array.
template <class Conv>
bool read_array(PyObject* o, int ndim, Rows<typename Conv::T>& out) {
    Ref array;
    Buffer buffer;
    if (!buffer.take(o)) {
        // Frames and other array-likes hand over an array through __array__.
        if (PyUnicode_Check(o) || !PyObject_HasAttrString(o, "__array__")) return false;
        array = Ref(check(PyObject_CallMethod(o, "__array__", nullptr)));
        if (!buffer.take(array.get())) raise_type_mismatch(array.get(), "buffer");
    }
    const Py_buffer& view = buffer.view();
    if (view.ndim != ndim) raise_rank(view, ndim);
    const ElementType t = element_type(view);
    if (!Conv::accepts(t.kind)) {
        raise_element_type(view, Conv::wanted());
    }
    const auto rows = static_cast<std::size_t>(view.shape[0]);
    const auto cols = ndim == 2 ? static_cast<std::size_t>(view.shape[1]) : 1;
    std::size_t total = 0;
    if (!core::checked_mul(rows, cols, total)) throw std::bad_alloc();
    out.starts.resize(rows + 1);
    for (std::size_t i = 1; i <= rows; ++i) out.starts[i] = i * cols;
    using T = typename Conv::T;
    if (stored_as<T>(view, t) || integers_that_fit<T>(view, t, total)) {
        // Every element is already the value its conversion would give.
        const T* first = static_cast<const T*>(view.buf);
        out.values.assign(first, first + total);
        return true;
    }
    out.values.resize(total);
    T* next = out.values.data();
    each_element(view, t, [&](std::size_t row, auto v) {
        try {
            *next++ = Conv::convert(v);
        } catch (const PyErrorSet&) {
            prefix_row_error(row);
            throw;
        }
    });
    return true;
}

// One row given as its own 1-D array of an accepted type: read directly;
// false for anything else.
template <class Conv>
bool read_row_array(PyObject* row, std::vector<typename Conv::T>& out) {
    if (!PyObject_CheckBuffer(row)) return false;
    Buffer buffer;
    if (!buffer.take(row)) return false;
    const Py_buffer& view = buffer.view();
    if (view.ndim != 1 || !Conv::accepts(element_type(view).kind)) return false;
    each_element(view, element_type(view), [&](std::size_t, auto v) { out.push_back(Conv::convert(v)); });
    return true;
}

// A 2-D batch argument: an array, or a sequence of rows each converted
// like a single record by single(row).
template <class Conv, class Single>
Rows<typename Conv::T> to_rows(PyObject* o, Single single) {
    Rows<typename Conv::T> out;
    if (read_array<Conv>(o, 2, out)) return out;
    std::size_t row = 0;
    for_each_item(o, [&](PyObject* item) {
        try {
            // A row of its own that fails to read converts as the single
            // record would, errors included; its text names the row.
            if (!read_row_array<Conv>(item, out.values)) {
                const auto values = single(item);
                out.values.insert(out.values.end(), values.begin(), values.end());
            }
        } catch (const PyErrorSet&) {
            prefix_row_error(row);
            throw;
        }
        out.starts.push_back(out.values.size());
        ++row;
    });
    return out;
}

} // namespace

Rows<float> to_point_rows(PyObject* o) { return to_rows<ToReal<float>>(o, to_point); }
Rows<double> to_numeric_rows(PyObject* o) { return to_rows<ToReal<double>>(o, to_numeric_list); }
Rows<std::int64_t> to_categorical_rows(PyObject* o) { return to_rows<ToInteger<std::int64_t>>(o, to_categorical_list); }

std::vector<std::uint64_t> to_timestamps(PyObject* o) {
    Rows<std::uint64_t> array;
    if (read_array<ToInteger<std::uint64_t>>(o, 1, array)) return std::move(array.values);
    std::vector<std::uint64_t> out;
    std::size_t row = 0;
    for_each_item(o, [&](PyObject* item) {
        try {
            out.push_back(to_count(item));
        } catch (const PyErrorSet&) {
            prefix_row_error(row);
            throw;
        }
        ++row;
    });
    return out;
}

std::vector<double> to_number_list(PyObject* o) {
    Rows<double> array;
    if (read_array<ToReal<double>>(o, 1, array)) return std::move(array.values);
    return to_numeric_list(o);
}

std::vector<core::KeyValueLike> to_events(PyObject* o) {
    std::vector<core::KeyValueLike> out;
    Ref it(check(PyObject_GetIter(o)));
    for (std::size_t row = 0;; ++row) {
        Ref item(PyIter_Next(it.get()));
        if (!item) {
            check_no_error();
            break;
        }
        try {
            out.push_back(to_key_value_like(item.get()));
        } catch (const PyErrorSet&) {
            prefix_row_error(row);
            throw;
        }
    }
    return out;
}

void raise_row_error(const RowError& e) { raise_detector_error(e.error, "row " + std::to_string(e.row) + ": "); }

PyObject* to_array(const char* typecode, const void* data, std::size_t bytes) {
    // array.array, looked up once; the class lives as long as the process.
    static PyObject* array_type = nullptr;
    if (!array_type) {
        Ref module(check(PyImport_ImportModule("array")));
        PyObject* type = check(PyObject_GetAttrString(module.get(), "array"));
        if (array_type) {
            Py_DECREF(type);
        } else {
            array_type = type;
        }
    }
    Ref raw(check(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes))));
    return check(PyObject_CallFunction(array_type, "sO", typecode, raw.get()));
}

PyObject* to_score_array(const std::vector<double>& scores) {
    return to_array("d", scores.data(), scores.size() * sizeof(double));
}

} // namespace tarn::frame
