// The OnlineIForest state text: writing, reading and the checks that make a
// loaded state safe to use.
//
// Trees nest their nodes to the tree's depth, so both directions walk the
// nodes with an explicit stack; the reader's own nesting limit bounds the
// depth of a loaded tree.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/binary.hpp"
#include "core/json/reader.hpp"
#include "core/json/record.hpp"
#include "core/json/writer.hpp"
#include "onlineiforest/detector.hpp"

TARN_RECORD(tarn::onlineiforest::OnlineIForestConfig, "OnlineIForestConfig", input_dim, num_trees, window_size,
            max_leaf_samples)

namespace tarn::onlineiforest {

namespace json = core::json;

// ------------------------------------------------------------------ writer

namespace {

void write_floats(json::Writer& w, std::span<const float> v) {
    w.begin_array();
    for (const float x : v) w.f32(x);
    w.end_array();
}

// {"height":h,"support":{"min":[..],"max":[..]},"split":null | {...}} for
// the subtree at n, children written depth first without recursion.
void write_subtree(json::Writer& w, const OnlineITree& tree, NodeIndex n) {
    struct Item {
        NodeIndex node;
        int stage; // 0: open the node, 1: the right child is next, 2: close
    };
    std::vector<Item> stack{{n, 0}};
    while (!stack.empty()) {
        Item& top = stack.back();
        const Node& node = tree.node(top.node);
        if (top.stage == 0) {
            w.begin_object();
            w.key("height");
            w.u64(node.height);
            w.key("support");
            const ConstSupport s = tree.support(top.node);
            w.begin_object();
            w.key("min");
            write_floats(w, s.min);
            w.key("max");
            write_floats(w, s.max);
            w.end_object();
            w.key("split");
            if (!node.has_split()) {
                w.null();
                w.end_object();
                stack.pop_back();
                continue;
            }
            w.begin_object();
            w.key("dimension");
            w.u64(node.split.dimension);
            w.key("value");
            w.f32(node.split.value);
            w.key("left");
            top.stage = 1;
            stack.push_back({node.split.left, 0});
        } else if (top.stage == 1) {
            w.key("right");
            top.stage = 2;
            stack.push_back({node.split.right, 0});
        } else {
            w.end_object(); // split
            w.end_object(); // node
            stack.pop_back();
        }
    }
}

} // namespace

core::Result<std::string> OnlineIForest::to_json() const {
    json::Writer w;
    w.begin_object();
    w.field("config", config_);
    w.key("trees");
    w.begin_array();
    for (const OnlineITree& t : trees_) {
        w.begin_object();
        w.key("root");
        if (t.empty()) {
            w.null();
        } else {
            write_subtree(w, t, t.root());
        }
        w.field("rng", t.rng());
        w.end_object();
    }
    w.end_array();
    w.key("window");
    w.begin_array();
    for (std::uint64_t i = 0; i < window_.size(); ++i) write_floats(w, window_.at(i));
    w.end_array();
    w.key("entries_seen");
    w.u64(entries_seen_);
    w.end_object();
    return w.take();
}

// ------------------------------------------------------------------ reader

// What either reader (JSON or binary) takes from a state, before the checks.
// A tree as read, before it is checked against the configuration.
struct LoadedTree {
    OnlineITree tree;
    bool dim_known = false;          // set by the first support read
    std::uint64_t max_split_dim = 0; // largest split dimension, for the check against input_dim
    bool has_split = false;
    // Largest ceil(height / (depth + 1)) over the nodes, for the check
    // against the window's length.
    std::uint64_t max_height_per_level = 0;
};

struct LoadedState {
    OnlineIForestConfig config;
    std::vector<LoadedTree> trees;
    std::vector<std::vector<float>> window;
    std::uint64_t entries_seen = 0;
};

namespace {

std::string record_length_error(std::size_t got, std::string_view name, std::size_t fields) {
    return "invalid length " + std::to_string(got) + ", expected struct " + std::string(name) + " with " +
           std::to_string(fields) + (fields == 1 ? " element" : " elements");
}

// Walks one record member by member in either form: the object form (any
// order, unknown members skipped) or the array form (fields in order).
// next() yields the next member's field index (or -1 for an unknown member,
// which has then been skipped) until the record ends.
class MemberWalk {
public:
    MemberWalk(std::string_view record, std::span<const std::string_view> names) : record_(record), names_(names) {}

    // Opens the record at the reader's position; false on a value of another type.
    bool begin(json::Reader& r) {
        const json::Reader::Type t = r.peek();
        if (t == json::Reader::Type::Array) {
            array_ = true;
            return r.begin_array("struct " + std::string(record_));
        }
        if (t == json::Reader::Type::Object) return r.begin_object("struct " + std::string(record_));
        return r.fail_type("struct " + std::string(record_));
    }

    // The index of the next member whose value is at the reader's position,
    // -2 at the end of the record (or on an error). Unknown members and
    // surplus array elements are skipped here.
    int next(json::Reader& r) {
        for (;;) {
            if (!r.ok()) return -2;
            if (array_) {
                if (!r.next_element()) {
                    if (r.ok() && count_ != names_.size()) r.fail(record_length_error(count_, record_, names_.size()));
                    return -2;
                }
                const std::size_t i = count_++;
                if (i < names_.size()) {
                    seen_ |= std::uint64_t{1} << i;
                    return static_cast<int>(i);
                }
                r.skip_value();
                continue;
            }
            std::string_view key;
            if (!r.next_key(key)) return -2;
            const auto it = std::find(names_.begin(), names_.end(), key);
            if (it == names_.end()) {
                r.skip_value();
                continue;
            }
            const auto i = static_cast<std::size_t>(it - names_.begin());
            if (seen_ & (std::uint64_t{1} << i)) {
                r.fail("duplicate field `" + std::string(names_[i]) + "`");
                return -2;
            }
            seen_ |= std::uint64_t{1} << i;
            return static_cast<int>(i);
        }
    }

    bool seen(std::size_t i) const { return (seen_ >> i) & 1; }

    // After the end: reports the first required member that did not occur.
    bool require(json::Reader& r, std::uint64_t required_mask) {
        if (!r.ok()) return false;
        for (std::size_t i = 0; i < names_.size(); ++i)
            if (((required_mask >> i) & 1) && !seen(i)) return r.fail("missing field `" + std::string(names_[i]) + "`");
        return true;
    }

private:
    std::string_view record_;
    std::span<const std::string_view> names_;
    bool array_ = false;
    std::size_t count_ = 0;
    std::uint64_t seen_ = 0;
};

constexpr std::string_view kNodeFields[] = {"height", "support", "split"};
constexpr std::string_view kSplitFields[] = {"dimension", "value", "left", "right"};
constexpr std::string_view kTreeFields[] = {"root", "rng"};

// Reads {"min":[..],"max":[..]} into the tree's expected dimension.
void read_support(json::Reader& r, std::vector<float>& min, std::vector<float>& max) {
    json::read_record(r, "Support", {json::field("min", min), json::field("max", max)});
}

// Reads the node value at the reader's position (a Node record, possibly
// nested to the reader's depth limit) into the tree's arena and returns the
// index of its top node. Errors are recorded in the reader.
NodeIndex read_node_tree(json::Reader& r, LoadedTree& lt) {
    struct Frame {
        Frame(bool split_record, MemberWalk members) : is_split(split_record), walk(members) {}
        bool is_split;
        MemberWalk walk;
        // Node members
        std::uint64_t height = 0;
        std::vector<float> min, max;
        bool has_split = false;
        Split split;
        // Split member awaiting a child: 2 = left, 3 = right
        int awaiting = 0;
    };
    auto open = [&](std::vector<Frame>& stack, bool is_split) -> bool {
        Frame f(is_split,
                MemberWalk(is_split ? "Split" : "Node", is_split ? std::span<const std::string_view>(kSplitFields)
                                                                 : std::span<const std::string_view>(kNodeFields)));
        if (!f.walk.begin(r)) return false;
        stack.push_back(std::move(f));
        return true;
    };

    std::vector<Frame> stack;
    NodeIndex result = kNoNode;
    if (!open(stack, false)) return kNoNode;
    while (!stack.empty() && r.ok()) {
        Frame& f = stack.back();
        const int member = f.walk.next(r);
        if (!r.ok()) break;
        if (member >= 0) {
            if (!f.is_split) {
                if (member == 0) {
                    f.height = r.read_u64();
                } else if (member == 1) {
                    read_support(r, f.min, f.max);
                } else if (!r.consume_null()) {
                    open(stack, true);
                }
            } else {
                if (member == 0) {
                    f.split.dimension = r.read_u64();
                } else if (member == 1) {
                    f.split.value = r.read_f32();
                } else {
                    f.awaiting = member;
                    open(stack, false);
                }
            }
            continue;
        }
        // The record at the top is complete.
        if (!f.is_split) {
            if (!f.walk.require(r, 0b011)) break;
            if (!lt.dim_known) {
                lt.tree = OnlineITree(f.min.size(), lt.tree.rng());
                lt.dim_known = true;
            }
            if (f.min.size() != f.max.size()) {
                r.fail("support min of " + std::to_string(f.min.size()) + " values and max of " +
                       std::to_string(f.max.size()) + " values");
                break;
            }
            if (f.min.size() != lt.tree.input_dim()) {
                r.fail("support of " + std::to_string(f.min.size()) + " values in a tree whose supports have " +
                       std::to_string(lt.tree.input_dim()));
                break;
            }
            {
                // Nodes alternate with splits on the stack: this node's depth.
                const std::uint64_t depth = (stack.size() - 1) / 2;
                const std::uint64_t per_level = f.height / (depth + 1) + (f.height % (depth + 1) != 0);
                lt.max_height_per_level = std::max(lt.max_height_per_level, per_level);
            }
            const NodeIndex idx = lt.tree.add_node(f.height, f.min, f.max);
            if (f.has_split) {
                lt.tree.set_split(idx, f.split.dimension, f.split.value, f.split.left, f.split.right);
                lt.max_split_dim = std::max(lt.max_split_dim, f.split.dimension);
                lt.has_split = true;
            }
            stack.pop_back();
            if (stack.empty()) {
                result = idx;
            } else {
                Frame& parent = stack.back();
                (parent.awaiting == 2 ? parent.split.left : parent.split.right) = idx;
                parent.awaiting = 0;
            }
        } else {
            if (!f.walk.require(r, 0b1111)) break;
            const Split s = f.split;
            stack.pop_back();
            Frame& parent = stack.back();
            parent.split = s;
            parent.has_split = true;
        }
    }
    return r.ok() ? result : kNoNode;
}

void read_tree(json::Reader& r, LoadedTree& lt) {
    MemberWalk walk("OnlineITree", kTreeFields);
    if (!walk.begin(r)) return;
    NodeIndex root = kNoNode;
    core::Xoshiro256PlusPlus rng;
    LoadedTree building;
    for (int m = walk.next(r); m >= 0; m = walk.next(r)) {
        if (m == 0) {
            if (!r.consume_null()) root = read_node_tree(r, building);
        } else {
            json::read(r, rng);
        }
    }
    // "root" may be omitted: an empty tree.
    if (!walk.require(r, 0b10)) return;
    lt = std::move(building);
    lt.tree.rng() = rng;
    lt.tree.set_root(root);
}

void read_state(json::Reader& r, LoadedState& s) {
    json::read_record(r, "OnlineIForest",
                      {
                          json::field("config", s.config),
                          json::field("trees",
                                      [&](json::Reader& rr) {
                                          s.trees.clear();
                                          if (!rr.begin_array("a sequence")) return;
                                          while (rr.next_element()) {
                                              LoadedTree t;
                                              read_tree(rr, t);
                                              if (!rr.ok()) return;
                                              s.trees.push_back(std::move(t));
                                          }
                                      }),
                          json::field("window", s.window),
                          json::field("entries_seen", s.entries_seen),
                      });
}

// The checks that keep every later call in bounds: the reader takes the
// shape only, these tie it to the configuration.
core::Status check_loaded(const LoadedState& s) {
    const OnlineIForestConfig& c = s.config;
    for (const LoadedTree& t : s.trees) {
        if (t.tree.empty()) continue;
        if (t.tree.input_dim() != c.input_dim)
            return core::invalid("support of " + std::to_string(t.tree.input_dim()) + " values, expected input_dim " +
                                 std::to_string(c.input_dim));
        if (t.has_split && t.max_split_dim >= c.input_dim)
            return core::invalid("split dimension " + std::to_string(t.max_split_dim) +
                                 " is out of range for input_dim " + std::to_string(c.input_dim));
        // A node at depth d of a tree grown from a window of n points counts
        // at most (d + 1) * (n + 1): its split share of at most d * (n + 1)
        // plus the window points learned through it since. The bound keeps a
        // split's synthetic points (one per counted point) proportional to
        // the state's own size.
        if (t.max_height_per_level > s.window.size() + 1)
            return core::invalid("node heights exceed what " + std::to_string(s.window.size()) +
                                 " window points allow");
    }
    if (s.window.size() > c.window_size)
        return core::invalid("window holds " + std::to_string(s.window.size()) + " points, more than window_size " +
                             std::to_string(c.window_size));
    for (const std::vector<float>& p : s.window)
        if (p.size() != c.input_dim)
            return core::invalid("window point of " + std::to_string(p.size()) + " values, expected input_dim " +
                                 std::to_string(c.input_dim));
    return {};
}

} // namespace

core::Result<OnlineIForest> OnlineIForest::from_json(std::string_view text) {
    static constexpr std::string_view kPrefix = "invalid OnlineIForest JSON: ";
    LoadedState s;
    return core::then_make(json::read_state(text, kPrefix, [&](json::Reader& r) { read_state(r, s); }),
                           [&] { return from_loaded(s, kPrefix); });
}

core::Result<OnlineIForest> OnlineIForest::from_loaded(LoadedState& s, std::string_view prefix) {
    if (auto ok = check_loaded(s); !ok) return core::invalid(std::string(prefix) + ok.error().text);

    OnlineIForest f;
    f.config_ = s.config;
    f.trees_.reserve(s.trees.size());
    for (LoadedTree& t : s.trees) {
        // An empty tree read before the dimension was known takes input_dim.
        if (t.tree.empty()) t.tree = OnlineITree(s.config.input_dim, t.tree.rng());
        f.trees_.push_back(std::move(t.tree));
    }
    f.window_ = Window(s.config.input_dim, s.config.window_size);
    for (const std::vector<float>& p : s.window) f.window_.push_back(p);
    f.entries_seen_ = s.entries_seen;
    return f;
}

// ------------------------------------------------------------------ binary

namespace {

namespace bin = core::binary;

constexpr std::uint32_t kBinaryVersion = 1;

// The deepest node a JSON text can hold: the state, its tree list, the tree
// and the root take four levels of nesting, every level below two more (a
// split and a node), and a node's support and its lists two more. Binary
// states keep to the same trees, so that every state converts both ways.
constexpr std::uint64_t kMaxNodeDepth = (json::kMaxDepth - 6) / 2;

// Nodes in pre-order (a node, then its left subtree, then its right one),
// each as height, min, max, a split flag and, for a split, its dimension
// and value. Children are linked by the order, not by index.
void write_tree(bin::Writer& w, const OnlineITree& t) {
    w.rng(t.rng());
    w.u64(t.input_dim());
    w.u64(t.live_nodes());
    if (t.empty()) return;
    std::vector<NodeIndex> stack{t.root()};
    while (!stack.empty()) {
        const NodeIndex n = stack.back();
        stack.pop_back();
        const Node& node = t.node(n);
        const ConstSupport s = t.support(n);
        w.u64(node.height);
        w.raw(s.min);
        w.raw(s.max);
        w.flag(node.has_split());
        if (!node.has_split()) continue;
        w.u64(node.split.dimension);
        w.f32(node.split.value);
        stack.push_back(node.split.right);
        stack.push_back(node.split.left);
    }
}

void read_tree(bin::Reader& r, LoadedTree& lt) {
    core::Xoshiro256PlusPlus rng;
    r.rng(rng);
    const std::uint64_t dim = r.u64();
    // A node is its height, two supports and the split flag at least.
    const std::uint64_t node_size = dim > (std::uint64_t{1} << 58) ? std::uint64_t{1} << 62 : 9 + 8 * dim;
    const std::uint64_t n = r.count(node_size, "tree nodes");
    lt.tree = OnlineITree(dim, rng);
    lt.dim_known = n > 0;
    struct Open {
        NodeIndex node;
        Split split;
        int children = 0;
    };
    std::vector<Open> stack;
    std::vector<float> min, max;
    for (std::uint64_t k = 0; k < n && r.ok(); ++k) {
        if (k > 0 && stack.empty()) {
            r.fail("tree node " + std::to_string(k) + " lies outside the root's subtree");
            break;
        }
        const std::uint64_t depth = stack.size();
        if (depth > kMaxNodeDepth) {
            r.fail("tree nodes nest deeper than " + std::to_string(kMaxNodeDepth) + " levels");
            break;
        }
        const std::uint64_t height = r.u64();
        r.raw(min, dim, "a support");
        r.raw(max, dim, "a support");
        const bool has_split = r.flag();
        Split split;
        if (has_split) {
            split.dimension = r.u64();
            split.value = r.f32();
        }
        if (!r.ok()) break;
        const std::uint64_t per_level = height / (depth + 1) + (height % (depth + 1) != 0);
        lt.max_height_per_level = std::max(lt.max_height_per_level, per_level);
        const NodeIndex idx = lt.tree.add_node(height, min, max);
        if (k == 0) lt.tree.set_root(idx);
        if (!stack.empty()) {
            Open& parent = stack.back();
            (parent.children++ == 0 ? parent.split.left : parent.split.right) = idx;
            if (parent.children == 2) {
                lt.tree.set_split(parent.node, parent.split.dimension, parent.split.value, parent.split.left,
                                  parent.split.right);
                stack.pop_back();
            }
        }
        if (has_split) {
            lt.max_split_dim = std::max(lt.max_split_dim, split.dimension);
            lt.has_split = true;
            stack.push_back({idx, split});
        }
    }
    if (r.ok() && !stack.empty()) r.fail("tree nodes end inside a subtree");
}

} // namespace

core::Result<std::string> OnlineIForest::to_bytes() const {
    std::size_t guess = 1024 + window_.size() * (8 + config_.input_dim * 4);
    for (const OnlineITree& t : trees_) guess += t.live_nodes() * (21 + 8 * t.input_dim());
    bin::Writer w(guess);
    w.header(bin::ClassTag::OnlineIForest, kBinaryVersion);
    bin::write(w, config_);
    w.u64(trees_.size());
    for (const OnlineITree& t : trees_) write_tree(w, t);
    w.u64(window_.size());
    for (std::uint64_t i = 0; i < window_.size(); ++i) {
        w.u64(window_.input_dim());
        w.raw(window_.at(i));
    }
    w.u64(entries_seen_);
    return w.take();
}

core::Result<OnlineIForest> OnlineIForest::from_bytes(std::string_view data) {
    static constexpr std::string_view kPrefix = "invalid OnlineIForest state: ";
    LoadedState s;
    auto read = [&](bin::Reader& r) {
        bin::read(r, s.config);
        // A tree is its generator, its dimension and its node count at least.
        s.trees.resize(r.count(48, "trees"));
        for (LoadedTree& t : s.trees) read_tree(r, t);
        s.window.resize(r.count(8, "window points"));
        for (std::vector<float>& p : s.window) r.list(p, "a window point");
        s.entries_seen = r.u64();
    };
    return core::then_make(bin::read_state(data, bin::ClassTag::OnlineIForest, kBinaryVersion, kPrefix, read),
                           [&] { return from_loaded(s, kPrefix); });
}

} // namespace tarn::onlineiforest
