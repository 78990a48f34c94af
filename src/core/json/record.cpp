#include "core/json/record.hpp"

#include <limits>

#include "core/error.hpp"

namespace tarn::core::json {

namespace {

std::string backticked_list(std::initializer_list<std::string_view> names) {
    std::string s = "one of ";
    bool first = true;
    for (const std::string_view n : names) {
        if (!first) s += ", ";
        first = false;
        s += '`';
        s.append(n);
        s += '`';
    }
    return s;
}

std::string struct_description(std::string_view name, std::size_t count) {
    std::string s = "struct ";
    s.append(name);
    s += " with " + std::to_string(count) + (count == 1 ? " element" : " elements");
    return s;
}

} // namespace

void read(Reader& r, Xoshiro256PlusPlus& g) { read_record(r, "Xoshiro256PlusPlus", {field("s", g.s)}); }

double read_f64_null_as_inf(Reader& r) {
    if (r.consume_null()) return std::numeric_limits<double>::infinity();
    return r.read_f64();
}

bool fail_array_length(Reader& r, std::size_t got, std::size_t want) {
    return r.fail("invalid length " + std::to_string(got) + ", expected an array of length " + std::to_string(want));
}

bool read_record(Reader& r, std::string_view record_name, std::span<const Field> fields) {
    check_internal(fields.size() <= 64, "json: a record has at most 64 fields");
    const Reader::Type t = r.peek();
    if (t == Reader::Type::Object) {
        if (!r.begin_object({})) return false;
        std::uint64_t seen = 0;
        std::string_view key;
        while (r.next_key(key)) {
            std::size_t i = 0;
            const Field* f = fields.data();
            for (; f != fields.data() + fields.size(); ++f, ++i) {
                if (f->name == key) break;
            }
            if (f == fields.data() + fields.size()) {
                r.skip_value();
                continue;
            }
            const std::uint64_t bit = std::uint64_t{1} << i;
            if (seen & bit) return r.fail("duplicate field `" + std::string(key) + "`");
            seen |= bit;
            f->read(f->target, r);
        }
        if (!r.ok()) return false;
        std::size_t i = 0;
        for (const Field& f : fields) {
            if (!f.omissible && !(seen & (std::uint64_t{1} << i)))
                return r.fail("missing field `" + std::string(f.name) + "`");
            ++i;
        }
        return true;
    }
    if (t == Reader::Type::Array) {
        if (!r.begin_array({})) return false;
        std::size_t n = 0;
        while (r.next_element()) {
            if (n < fields.size()) {
                const Field& f = fields.begin()[n];
                f.read(f.target, r);
            } else {
                r.skip_value();
            }
            ++n;
        }
        if (r.ok() && n != fields.size()) {
            return r.fail("invalid length " + std::to_string(n) + ", expected " +
                          struct_description(record_name, fields.size()));
        }
        return r.ok();
    }
    std::string expected = "struct ";
    expected.append(record_name);
    return r.fail_type(expected);
}

bool read_variant(Reader& r, std::string_view enum_name, std::initializer_list<Alternative> alternatives) {
    if (r.peek() != Reader::Type::Object) {
        std::string expected = "enum ";
        expected.append(enum_name);
        return r.fail_type(expected);
    }
    if (!r.begin_object({})) return false;
    std::string_view key;
    if (!r.next_key(key)) {
        if (r.ok()) r.fail("invalid length 0, expected map with a single key");
        return false;
    }
    const Alternative* a = alternatives.begin();
    for (; a != alternatives.end(); ++a) {
        if (a->name == key) break;
    }
    if (a == alternatives.end()) {
        std::string list = "one of ";
        bool first = true;
        for (const Alternative& alt : alternatives) {
            if (!first) list += ", ";
            first = false;
            list += '`';
            list.append(alt.name);
            list += '`';
        }
        return r.fail("unknown variant `" + std::string(key) + "`, expected " + list);
    }
    a->read(r);
    r.end_object();
    return r.ok();
}

bool read_ndarray(Reader& r, std::size_t ndim, std::vector<std::uint64_t>& dim,
                  FunctionRef<void(Reader&)> read_element) {
    dim.clear();
    std::uint64_t count = 0;
    auto read_v = [&]() {
        const std::uint64_t v = r.read_u64();
        if (r.ok() && v != 1) r.fail("unknown array version: " + std::to_string(v));
    };
    auto read_dim = [&]() {
        read(r, dim);
        if (r.ok() && dim.size() != ndim) fail_array_length(r, dim.size(), ndim);
    };
    auto read_data = [&]() {
        if (!r.begin_array("a sequence")) return;
        while (r.next_element()) {
            read_element(r);
            ++count;
        }
    };

    const Reader::Type t = r.peek();
    if (t == Reader::Type::Object) {
        if (!r.begin_object({})) return false;
        static constexpr std::string_view names[3] = {"v", "dim", "data"};
        unsigned seen = 0;
        std::string_view key;
        while (r.next_key(key)) {
            unsigned i = 0;
            while (i < 3 && names[i] != key) ++i;
            if (i == 3) {
                return r.fail("unknown field `" + std::string(key) + "`, expected " +
                              backticked_list({"v", "dim", "data"}));
            }
            if (seen & (1u << i)) return r.fail("duplicate field `" + std::string(key) + "`");
            seen |= 1u << i;
            if (i == 0) {
                read_v();
            } else if (i == 1) {
                read_dim();
            } else {
                read_data();
            }
        }
        if (!r.ok()) return false;
        for (unsigned i = 0; i < 3; ++i) {
            if (!(seen & (1u << i))) return r.fail("missing field `" + std::string(names[i]) + "`");
        }
    } else if (t == Reader::Type::Array) {
        if (!r.begin_array({})) return false;
        std::size_t n = 0;
        while (r.next_element()) {
            if (n == 0) {
                read_v();
            } else if (n == 1) {
                read_dim();
            } else if (n == 2) {
                read_data();
            } else {
                r.skip_value();
            }
            ++n;
        }
        if (!r.ok()) return false;
        if (n != 3) return r.fail("invalid length " + std::to_string(n) + ", expected ndarray representation");
    } else {
        return r.fail_type("ndarray representation");
    }

    // The element count must equal the product of the axis lengths; a
    // product beyond 64 bits cannot match any text.
    std::uint64_t product = 1;
    for (const std::uint64_t d : dim) {
        if (!checked_mul(product, d, product)) return r.fail("data and dimension must match in size");
    }
    if (product != count) return r.fail("data and dimension must match in size");
    return true;
}

} // namespace tarn::core::json
