// The forest's state: the complete forest as one JSON text or as bytes
// (docs/binary-state.md), and back.
//
// Layout: {"config":RcfConfig,"trees":[RcfTree...],"samplers":[Sampler...],
// "point_store":PointStore,"entries_seen":u64,"rng":{"s":[...]}} with every
// record's members in their declared order, every arena slot and store row
// included. Reading accepts what the JSON layer accepts (members in any
// order, unknown members skipped, records as arrays) and then checks the
// whole forest -- lengths, indices, references, tree shapes, boxes, masses
// and counts -- so that a loaded state is one the update and query code can
// work on safely, whatever text it came from. The binary form runs the
// same checks.
#include "rcf/forest/forest.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/binary.hpp"
#include "core/json/reader.hpp"
#include "core/json/writer.hpp"
#include "core/json/record.hpp"
#include "rcf/bounding_box.hpp"

TARN_RECORD(tarn::rcf::RcfConfig, "RcfConfig", input_dim, shingle_size, capacity, num_trees, time_decay, output_after,
            internal_shingling, initial_accept_fraction)

TARN_RECORD(tarn::rcf::Sampler, "Sampler", capacity, weights, point_indices, size)

namespace tarn::rcf {

using core::json::alternative;
using core::json::field;
using core::json::read_record;
using core::json::read_variant;
using core::json::Reader;
using core::json::Writer;

// ------------------------------------------------------------------ writing

namespace {

// The box a node shows its parent: a leaf's point, or an internal node's
// box as the arena holds it.
const float* node_min(const NodeArena& a, const PointStore& p, std::uint64_t i, std::uint64_t dims) {
    const NodeSlot& n = a.nodes[i];
    return n.is_leaf() ? p.store.data() + n.point_idx * dims : a.boxes.data() + i * 2 * dims;
}
const float* node_max(const NodeArena& a, const PointStore& p, std::uint64_t i, std::uint64_t dims) {
    const NodeSlot& n = a.nodes[i];
    return n.is_leaf() ? p.store.data() + n.point_idx * dims : a.boxes.data() + i * 2 * dims + dims;
}

void write_f32_list(Writer& w, const float* v, std::uint64_t n) {
    w.begin_array();
    for (std::uint64_t i = 0; i < n; ++i) w.f32(v[i]);
    w.end_array();
}

void write_tree(Writer& w, const RcfTree& t) {
    const NodeArena& a = t.arena;
    const std::uint64_t dims = a.dims;
    core::check_internal(a.boxes.size() / 2 >= a.nodes.size() * dims && a.range_sums.size() >= a.nodes.size(),
                         "node arena boxes shorter than its slot list");
    w.begin_object();
    w.field("root", t.root);
    w.field("tree_mass", t.tree_mass);
    w.key("arena");
    w.begin_object();
    w.key("nodes");
    w.begin_array();
    for (std::uint64_t i = 0; i < a.nodes.size(); ++i) {
        const NodeSlot& n = a.nodes[i];
        switch (n.kind) {
        case NodeKind::Empty: w.null(); break;
        case NodeKind::Leaf:
            w.begin_variant("Leaf");
            w.begin_object();
            w.field("point_idx", n.point_idx);
            w.field("mass", n.mass);
            w.end_object();
            w.end_variant();
            break;
        case NodeKind::Internal:
            w.begin_variant("Internal");
            w.begin_object();
            w.field("left", n.left);
            w.field("right", n.right);
            w.field("cut_dim", n.cut_dim);
            w.field("cut_val", n.cut_val);
            w.field("mass", n.mass);
            w.key("bbox");
            w.begin_object();
            w.key("min");
            write_f32_list(w, a.boxes.data() + i * 2 * dims, dims);
            w.key("max");
            write_f32_list(w, a.boxes.data() + i * 2 * dims + dims, dims);
            w.field("range_sum", a.range_sums[i]);
            w.end_object();
            w.end_object();
            w.end_variant();
            break;
        }
    }
    w.end_array();
    w.field("free", a.free);
    w.end_object();
    w.field("rng", t.rng);
    w.field("dims", t.dims);
    w.end_object();
}

void write_point_store(Writer& w, const PointStore& p) {
    std::uint64_t values = 0;
    core::check_internal(core::checked_mul(p.capacity, p.dim, values) && values == p.store.size(),
                         "point store rows differ from its capacity");
    w.begin_object();
    w.field("dim", p.dim);
    w.field("input_dim", p.input_dim);
    w.field("shingle_size", p.shingle_size);
    w.field("internal_shingling", p.internal_shingling);
    w.key("store");
    const std::uint64_t shape[2] = {p.capacity, p.dim};
    w.ndarray(shape, std::span<const float>(p.store));
    w.key("occupied");
    w.begin_array();
    for (const std::uint8_t o : p.occupied) w.boolean(o != 0);
    w.end_array();
    w.field("ref_count", p.ref_count);
    w.field("next_free", p.next_free);
    w.field("free_list", p.free_list);
    w.field("size", p.size);
    w.field("capacity", p.capacity);
    w.field("shingle_buf", p.shingle_buf);
    w.field("entries_seen", p.entries_seen);
    w.end_object();
}

void write_forest(Writer& w, const Forest& f) {
    w.begin_object();
    w.key("config");
    core::json::write(w, f.config());
    w.key("trees");
    w.begin_array();
    for (const RcfTree& t : f.trees()) write_tree(w, t);
    w.end_array();
    w.key("samplers");
    w.begin_array();
    for (const Sampler& s : f.samplers()) core::json::write(w, s);
    w.end_array();
    w.key("point_store");
    write_point_store(w, f.point_store());
    w.field("entries_seen", f.entries_seen());
    w.field("rng", f.rng());
    w.end_object();
}

} // namespace

core::Result<std::string> Forest::to_json() const {
    const Forest& f = *this;
    // Room for the bulk of the text up front: the store rows and the
    // boxes dominate, at roughly ten characters per value.
    std::size_t guess = f.point_store().store.size() * 10 + 4096;
    for (const RcfTree& t : f.trees()) guess += t.arena.nodes.size() * (t.dims * 20 + 120);
    Writer w(guess);
    write_forest(w, f);
    return w.take();
}

// ------------------------------------------------------------------ reading

// Where an internal node's box landed while reading: its values sit in a
// per-tree list until the tree's dimension is known and checked.
struct BoxRead {
    std::uint64_t slot = 0;
    std::uint64_t min_at = 0, min_len = 0;
    std::uint64_t max_at = 0, max_len = 0;
    double range_sum = 0.0;
};
struct TreeBoxes {
    std::vector<float> values;
    std::vector<BoxRead> boxes;
};

// The boxes a binary state carries: only those that differ bit for bit from
// the union of their children's (a -0.0 where the union gives 0.0), each as
// its slot, its range sum and its 2 * dims values (min then max).
struct BoxPatches {
    std::vector<std::uint64_t> slots;
    std::vector<double> range_sums;
    std::vector<float> values;
};

// Everything read, before the checks. A JSON text carries every box; a
// binary state carries patches, and the boxes are rebuilt from the leaves up
// once the tree's shape is known to be sound.
struct ForestRead {
    RcfConfig config;
    std::vector<RcfTree> trees;
    std::vector<Sampler> samplers;
    PointStore point_store;
    std::uint64_t entries_seen = 0;
    core::Xoshiro256PlusPlus rng;
    std::vector<TreeBoxes> boxes;    // per tree (JSON)
    std::vector<BoxPatches> patches; // per tree (binary)
    bool from_binary = false;
    std::vector<std::uint64_t> store_shape;
};

namespace {

// Appends the f32 elements of a JSON array to out; returns how many.
std::uint64_t read_f32_list(Reader& r, std::vector<float>& out) {
    std::uint64_t n = 0;
    if (!r.begin_array("a sequence")) return 0;
    while (r.next_element()) {
        const float v = r.read_f32();
        if (!r.ok()) return n;
        out.push_back(v);
        ++n;
    }
    return n;
}

void read_box(Reader& r, TreeBoxes& tb, BoxRead& b) {
    read_record(r, "BoundingBox",
                {
                    field("min",
                          [&](Reader& rr) {
                              b.min_at = tb.values.size();
                              b.min_len = read_f32_list(rr, tb.values);
                          }),
                    field("max",
                          [&](Reader& rr) {
                              b.max_at = tb.values.size();
                              b.max_len = read_f32_list(rr, tb.values);
                          }),
                    field("range_sum",
                          [&](Reader& rr) {
                              // The one double a valid forest may hold as
                              // infinite (a box spanning most of the float
                              // range) is written as null; read it back.
                              b.range_sum = core::json::read_f64_null_as_inf(rr);
                          }),
                });
}

void read_node(Reader& r, NodeSlot& n, std::uint64_t slot, TreeBoxes& tb) {
    if (r.consume_null()) return; // an empty slot
    read_variant(
        r, "Node",
        {
            alternative(
                "Leaf",
                [&](Reader& rr) {
                    n.kind = NodeKind::Leaf;
                    read_record(rr, "variant Node::Leaf", {field("point_idx", n.point_idx), field("mass", n.mass)});
                }),
            alternative("Internal",
                        [&](Reader& rr) {
                            n.kind = NodeKind::Internal;
                            BoxRead b;
                            b.slot = slot;
                            read_record(rr, "variant Node::Internal",
                                        {
                                            field("left", n.left),
                                            field("right", n.right),
                                            field("cut_dim", n.cut_dim),
                                            field("cut_val", n.cut_val),
                                            field("mass", n.mass),
                                            field("bbox", [&](Reader& r3) { read_box(r3, tb, b); }),
                                        });
                            tb.boxes.push_back(b);
                        }),
        });
}

void read_arena(Reader& r, NodeArena& a, TreeBoxes& tb) {
    read_record(r, "NodeArena",
                {
                    field("nodes",
                          [&](Reader& rr) {
                              a.nodes.clear();
                              tb.values.clear();
                              tb.boxes.clear();
                              if (!rr.begin_array("a sequence")) return;
                              while (rr.next_element()) {
                                  NodeSlot n;
                                  read_node(rr, n, a.nodes.size(), tb);
                                  if (!rr.ok()) return;
                                  a.nodes.push_back(n);
                              }
                          }),
                    field("free", a.free),
                });
}

void read_tree(Reader& r, RcfTree& t, TreeBoxes& tb) {
    read_record(r, "RcfTree",
                {
                    field("root", t.root),
                    field("tree_mass", t.tree_mass),
                    field("arena", [&](Reader& rr) { read_arena(rr, t.arena, tb); }),
                    field("rng", t.rng),
                    field("dims", t.dims),
                });
}

void read_point_store(Reader& r, PointStore& p, std::vector<std::uint64_t>& store_shape) {
    read_record(r, "PointStore",
                {
                    field("dim", p.dim),
                    field("input_dim", p.input_dim),
                    field("shingle_size", p.shingle_size),
                    field("internal_shingling", p.internal_shingling),
                    field("store", [&](Reader& rr) { core::json::read_ndarray(rr, 2, store_shape, p.store); }),
                    field("occupied",
                          [&](Reader& rr) {
                              p.occupied.clear();
                              if (!rr.begin_array("a sequence")) return;
                              while (rr.next_element()) {
                                  const bool b = rr.read_bool();
                                  if (!rr.ok()) return;
                                  p.occupied.push_back(b ? 1 : 0);
                              }
                          }),
                    field("ref_count", p.ref_count),
                    field("next_free", p.next_free),
                    field("free_list", p.free_list),
                    field("size", p.size),
                    field("capacity", p.capacity),
                    field("shingle_buf", p.shingle_buf),
                    field("entries_seen", p.entries_seen),
                });
}

void read_forest(Reader& r, ForestRead& fr) {
    ForestRead& f = fr;
    read_record(r, "Forest",
                {
                    field("config", f.config),
                    field("trees",
                          [&](Reader& rr) {
                              f.trees.clear();
                              fr.boxes.clear();
                              if (!rr.begin_array("a sequence")) return;
                              while (rr.next_element()) {
                                  f.trees.emplace_back();
                                  fr.boxes.emplace_back();
                                  read_tree(rr, f.trees.back(), fr.boxes.back());
                              }
                          }),
                    field("samplers",
                          [&](Reader& rr) {
                              f.samplers.clear();
                              if (!rr.begin_array("a sequence")) return;
                              while (rr.next_element()) {
                                  f.samplers.emplace_back();
                                  core::json::read(rr, f.samplers.back());
                              }
                          }),
                    field("point_store", [&](Reader& rr) { read_point_store(rr, f.point_store, fr.store_shape); }),
                    field("entries_seen", f.entries_seen),
                    field("rng", f.rng),
                });
}

// ------------------------------------------------------------------- checks

std::string num(std::uint64_t v) { return std::to_string(v); }

// The reason alone; each reader puts its own prefix in front.
std::unexpected<core::DetectorError> reject(const std::string& why) { return core::invalid(why); }

// The constructor's checks, in its order and with its texts.
core::Status check_config(const RcfConfig& c) {
    if (auto ok = validate_config(c); !ok) return reject("config: " + ok.error().text);
    return {};
}

core::Status check_point_store(const PointStore& p, const RcfConfig& c, const std::vector<std::uint64_t>& shape) {
    const std::uint64_t dims = c.input_dim * c.shingle_size;
    if (p.dim != dims)
        return reject("point_store: dim " + num(p.dim) + " differs from input_dim * shingle_size = " + num(dims));
    if (p.input_dim != c.input_dim || p.shingle_size != c.shingle_size || p.internal_shingling != c.internal_shingling)
        return reject("point_store: input_dim, shingle_size or internal_shingling differs from config");
    if (shape.size() != 2 || shape[0] != p.capacity || shape[1] != dims)
        return reject("point_store: store is not an array of capacity (" + num(p.capacity) + ") rows of dim (" +
                      num(dims) + ") values");
    if (p.occupied.size() != p.capacity)
        return reject("point_store: occupied has " + num(p.occupied.size()) + " entries, expected capacity " +
                      num(p.capacity));
    if (p.ref_count.size() != p.capacity)
        return reject("point_store: ref_count has " + num(p.ref_count.size()) + " entries, expected capacity " +
                      num(p.capacity));
    // A store starts with this many rows and never shrinks.
    const std::uint64_t initial = std::max(c.capacity * c.num_trees + 1, 2 * c.capacity);
    if (p.capacity < initial)
        return reject("point_store: capacity " + num(p.capacity) + " is below the initial " + num(initial));
    if (p.shingle_buf.size() != dims)
        return reject("point_store: shingle_buf has " + num(p.shingle_buf.size()) + " entries, expected " + num(dims));
    if (p.next_free > p.capacity)
        return reject("point_store: next_free " + num(p.next_free) + " exceeds capacity " + num(p.capacity));
    std::uint64_t occupied = 0;
    std::uint64_t vacant_below = 0;
    for (std::uint64_t s = 0; s < p.capacity; ++s) {
        if (p.occupied[s]) {
            if (s >= p.next_free)
                return reject("point_store: slot " + num(s) + " is occupied but was never handed out");
            ++occupied;
        } else if (s < p.next_free) {
            ++vacant_below;
        }
    }
    if (p.size != occupied)
        return reject("point_store: size " + num(p.size) + " differs from the " + num(occupied) + " occupied slots");
    // The free list holds exactly the released slots, each once.
    std::vector<std::uint8_t> listed(p.next_free, 0);
    for (const std::uint64_t s : p.free_list) {
        if (s >= p.next_free) return reject("point_store: free_list entry " + num(s) + " was never handed out");
        if (p.occupied[s]) return reject("point_store: free_list entry " + num(s) + " is occupied");
        if (listed[s]) return reject("point_store: free_list holds slot " + num(s) + " twice");
        listed[s] = 1;
    }
    if (p.free_list.size() != vacant_below) return reject("point_store: free_list misses released slots");
    return {};
}

core::Status check_samplers(const ForestRead& f, std::vector<std::uint64_t>& refs) {
    const PointStore& p = f.point_store;
    refs.assign(p.capacity, 0);
    for (std::uint64_t t = 0; t < f.samplers.size(); ++t) {
        const Sampler& s = f.samplers[t];
        const std::string where = "samplers[" + num(t) + "]: ";
        if (s.capacity != f.config.capacity)
            return reject(where + "capacity " + num(s.capacity) + " differs from config capacity " +
                          num(f.config.capacity));
        if (s.weights.size() != s.capacity || s.point_indices.size() != s.capacity)
            return reject(where + "weights and point_indices must have capacity (" + num(s.capacity) + ") entries");
        if (s.size > s.capacity) return reject(where + "size " + num(s.size) + " exceeds capacity");
        for (std::uint64_t i = 0; i < s.size; ++i) {
            const std::uint64_t slot = s.point_indices[i];
            if (slot >= p.capacity || !p.occupied[slot])
                return reject(where + "entry " + num(i) + " refers to slot " + num(slot) + ", which holds no point");
            ++refs[slot];
            if (i > 0 && s.weights[i] > s.weights[(i - 1) / 2])
                return reject(where + "weights are not in heap order at entry " + num(i));
        }
    }
    for (std::uint64_t slot = 0; slot < p.capacity; ++slot) {
        if (p.ref_count[slot] != refs[slot])
            return reject("point_store: ref_count of slot " + num(slot) + " is " + num(p.ref_count[slot]) +
                          " but samplers refer to it " + num(refs[slot]) + " times");
        if (p.occupied[slot] && refs[slot] == 0)
            return reject("point_store: slot " + num(slot) + " is occupied but no sampler refers to it");
    }
    return {};
}

// Lays the boxes read for tree t into its arena; checks their lengths.
core::Status place_boxes(RcfTree& t, const TreeBoxes& tb, std::uint64_t tree_index) {
    NodeArena& a = t.arena;
    const std::uint64_t dims = t.dims;
    a.dims = dims;
    a.boxes.assign(a.nodes.size() * 2 * dims, 0.0f); // bounded by the checks before
    a.range_sums.assign(a.nodes.size(), 0.0);
    for (const BoxRead& b : tb.boxes) {
        if (b.min_len != dims || b.max_len != dims)
            return reject("trees[" + num(tree_index) + "]: node " + num(b.slot) + ": bbox min and max must have " +
                          num(dims) + " values");
        std::copy_n(tb.values.begin() + static_cast<std::ptrdiff_t>(b.min_at), dims,
                    a.boxes.begin() + static_cast<std::ptrdiff_t>(b.slot * 2 * dims));
        std::copy_n(tb.values.begin() + static_cast<std::ptrdiff_t>(b.max_at), dims,
                    a.boxes.begin() + static_cast<std::ptrdiff_t>(b.slot * 2 * dims + dims));
        a.range_sums[b.slot] = b.range_sum;
    }
    return {};
}

// The tree's shape: its free list holds exactly the empty slots, and its
// slots in use form one tree under the root, each reached once. `order`
// receives the slots in use, every parent before its children.
core::Status check_tree_shape(const ForestRead& f, std::uint64_t ti, std::vector<std::uint64_t>& order) {
    const RcfTree& t = f.trees[ti];
    const NodeArena& a = t.arena;
    const PointStore& p = f.point_store;
    const std::uint64_t dims = t.dims;
    const std::uint64_t n = a.nodes.size();
    const std::string where = "trees[" + num(ti) + "]: ";

    // Free list: empty slots, each once, and all of them.
    std::vector<std::uint8_t> mark(n, 0); // 1 listed as free, 2 reached from the root
    std::uint64_t empty = 0;
    for (const NodeSlot& slot : a.nodes) empty += slot.is_empty() ? 1 : 0;
    for (const std::uint64_t i : a.free) {
        if (i >= n) return reject(where + "free entry " + num(i) + " is beyond the " + num(n) + " slots");
        if (!a.nodes[i].is_empty()) return reject(where + "free entry " + num(i) + " is a slot in use");
        if (mark[i]) return reject(where + "free holds slot " + num(i) + " twice");
        mark[i] = 1;
    }
    if (a.free.size() != empty) return reject(where + "an empty slot is missing from free");

    order.clear();
    if (t.root == kNone) {
        if (t.tree_mass != 0 || empty != n) return reject(where + "an empty tree must have tree_mass 0 and no nodes");
    } else {
        // Walk from the root: every child in range, in use, reached once.
        if (t.root >= n || a.nodes[t.root].is_empty())
            return reject(where + "root " + num(t.root) + " is not a slot in use");
        order.push_back(t.root);
        mark[t.root] = 2;
        for (std::uint64_t k = 0; k < order.size(); ++k) {
            const std::uint64_t i = order[k];
            const NodeSlot& node = a.nodes[i];
            if (node.is_leaf()) {
                if (node.point_idx >= p.capacity || !p.occupied[node.point_idx])
                    return reject(where + "leaf " + num(i) + " refers to slot " + num(node.point_idx) +
                                  ", which holds no point");
                if (node.mass == 0) return reject(where + "leaf " + num(i) + " has mass 0");
                continue;
            }
            if (node.cut_dim >= dims)
                return reject(where + "node " + num(i) + " cuts dimension " + num(node.cut_dim) + " of " + num(dims));
            for (const std::uint64_t child : {node.left, node.right}) {
                if (child >= n || a.nodes[child].is_empty())
                    return reject(where + "node " + num(i) + " has child " + num(child) +
                                  ", which is not a slot in use");
                if (mark[child] == 2) return reject(where + "node " + num(child) + " is reached twice");
                mark[child] = 2;
                order.push_back(child);
            }
        }
        if (order.size() != n - empty) return reject(where + "a node in use is not reachable from the root");
    }
    return {};
}

// The tree's content, on a shape that check_tree_shape accepted: its boxes,
// cuts and masses are exact, and its leaves hold exactly the sample of its
// sampler. `count` is scratch of point-store capacity entries, all zero on
// entry and on return.
core::Status check_tree_content(const ForestRead& f, std::uint64_t ti, std::vector<std::uint64_t>& count,
                                const std::vector<std::uint64_t>& order) {
    const RcfTree& t = f.trees[ti];
    const NodeArena& a = t.arena;
    const PointStore& p = f.point_store;
    const Sampler& s = f.samplers[ti];
    const std::uint64_t dims = t.dims;
    const std::string where = "trees[" + num(ti) + "]: ";
    if (t.root != kNone) {
        // Bottom-up (children come after their parent in `order`): masses add
        // up, each box is the exact union of its children's, each cut
        // separates its children.
        auto box_lo = [&](std::uint64_t i) { return node_min(a, p, i, dims); };
        auto box_hi = [&](std::uint64_t i) { return node_max(a, p, i, dims); };
        for (std::uint64_t k = order.size(); k-- > 0;) {
            const std::uint64_t i = order[k];
            const NodeSlot& node = a.nodes[i];
            if (node.is_leaf()) continue;
            const NodeSlot& l = a.nodes[node.left];
            const NodeSlot& r = a.nodes[node.right];
            std::uint64_t mass = 0;
            if (!core::checked_add(l.mass, r.mass, mass) || mass != node.mass)
                return reject(where + "node " + num(i) + " has mass " + num(node.mass) +
                              ", not the sum of its children's");
            const float* lo = box_lo(i);
            const float* hi = box_hi(i);
            const float* llo = box_lo(node.left);
            const float* lhi = box_hi(node.left);
            const float* rlo = box_lo(node.right);
            const float* rhi = box_hi(node.right);
            for (std::uint64_t d = 0; d < dims; ++d) {
                if (!(lo[d] == std::min(llo[d], rlo[d])) || !(hi[d] == std::max(lhi[d], rhi[d])))
                    return reject(where + "node " + num(i) + " has a bbox that is not its children's");
            }
            const double sum = range_sum_of(lo, hi, dims);
            if (!(a.range_sums[i] == sum)) return reject(where + "node " + num(i) + " has a wrong range_sum");
            const std::uint64_t d = node.cut_dim;
            if (!(lhi[d] <= node.cut_val) || !(rlo[d] > node.cut_val))
                return reject(where + "node " + num(i) + " has a cut that does not separate its children");
        }
        if (a.nodes[t.root].mass != t.tree_mass)
            return reject(where + "tree_mass " + num(t.tree_mass) + " differs from the root's mass");

        // The leaves hold the sampler's entries: slot by slot, leaf mass =
        // number of sampler entries for that slot.
        for (std::uint64_t i = 0; i < s.size; ++i) ++count[s.point_indices[i]];
        core::Status verdict{};
        for (const std::uint64_t i : order) {
            const NodeSlot& node = a.nodes[i];
            if (!node.is_leaf()) continue;
            if (count[node.point_idx] != node.mass) {
                verdict = reject(where + "leaf " + num(i) + " has mass " + num(node.mass) + " but its sampler holds " +
                                 num(count[node.point_idx]) + " entries of slot " + num(node.point_idx));
                break;
            }
            count[node.point_idx] = 0; // also catches a second leaf for the same slot
        }
        for (std::uint64_t i = 0; i < s.size; ++i) count[s.point_indices[i]] = 0;
        if (!verdict) return verdict;
    }
    if (t.tree_mass != s.size)
        return reject(where + "tree_mass " + num(t.tree_mass) + " differs from its sampler's size " + num(s.size));
    return {};
}

// The boxes of a tree whose shape is sound, from the leaves up, as the tree
// code builds them (the left child's box extended by the right child's);
// a patched slot takes its stored box instead.
core::Status rebuild_boxes(RcfTree& t, const PointStore& p, const std::vector<std::uint64_t>& order,
                           const BoxPatches& patches, std::uint64_t ti) {
    NodeArena& a = t.arena;
    const std::uint64_t dims = t.dims;
    std::vector<std::uint64_t> patch_of(a.nodes.size(), kNone);
    for (std::uint64_t k = 0; k < patches.slots.size(); ++k) {
        const std::uint64_t slot = patches.slots[k];
        if (slot >= a.nodes.size() || !a.nodes[slot].is_internal() || patch_of[slot] != kNone)
            return reject("trees[" + num(ti) + "]: box patch " + num(k) + " names slot " + num(slot) +
                          ", not an internal node patched once");
        patch_of[slot] = k;
    }
    auto lo = [&](std::uint64_t i) { return node_min(a, p, i, dims); };
    auto hi = [&](std::uint64_t i) { return node_max(a, p, i, dims); };
    for (std::uint64_t k = order.size(); k-- > 0;) {
        const std::uint64_t i = order[k];
        const NodeSlot& n = a.nodes[i];
        if (!n.is_internal()) continue;
        float* bmin = a.boxes.data() + i * 2 * dims;
        if (patch_of[i] != kNone) {
            const float* v = patches.values.data() + patch_of[i] * 2 * dims;
            std::copy_n(v, 2 * dims, bmin);
            a.range_sums[i] = patches.range_sums[patch_of[i]];
            continue;
        }
        merge_boxes(lo(n.left), hi(n.left), lo(n.right), hi(n.right), bmin, bmin + dims, dims);
        a.range_sums[i] = range_sum_of(bmin, bmin + dims, dims);
    }
    return {};
}

core::Status check_forest(ForestRead& fr) {
    ForestRead& f = fr;
    const RcfConfig& c = f.config;
    if (auto ok = check_config(c); !ok) return ok;
    const std::uint64_t dims = c.input_dim * c.shingle_size;
    if (f.trees.size() != c.num_trees)
        return reject("trees has " + num(f.trees.size()) + " entries, expected num_trees " + num(c.num_trees));
    if (f.samplers.size() != c.num_trees)
        return reject("samplers has " + num(f.samplers.size()) + " entries, expected num_trees " + num(c.num_trees));
    if (auto ok = check_point_store(f.point_store, c, fr.store_shape); !ok) return ok;
    std::vector<std::uint64_t> scratch;
    if (auto ok = check_samplers(f, scratch); !ok) return ok;

    // The arena lengths are bounded before any box storage is laid out: a
    // tree never has more slots than 2 * capacity + 4 (its reservation),
    // and the point store -- whose rows are all in the text -- holds at
    // least capacity * num_trees rows of dims values.
    for (std::uint64_t t = 0; t < f.trees.size(); ++t) {
        RcfTree& tree = f.trees[t];
        if (tree.dims != dims)
            return reject("trees[" + num(t) + "]: dims " + num(tree.dims) + " differs from " + num(dims));
        if (tree.arena.nodes.size() > 2 * c.capacity + 4)
            return reject("trees[" + num(t) + "]: arena has " + num(tree.arena.nodes.size()) +
                          " slots, more than 2 * capacity + 4");
        if (fr.from_binary) {
            tree.arena.dims = dims;
            tree.arena.boxes.assign(tree.arena.nodes.size() * 2 * dims, 0.0f); // bounded as above
            tree.arena.range_sums.assign(tree.arena.nodes.size(), 0.0);
        } else {
            if (auto ok = place_boxes(tree, fr.boxes[t], t); !ok) return ok;
            fr.boxes[t] = TreeBoxes{};
        }
    }
    scratch.assign(f.point_store.capacity, 0);
    std::vector<std::uint64_t> order;
    for (std::uint64_t t = 0; t < f.trees.size(); ++t) {
        if (auto ok = check_tree_shape(f, t, order); !ok) return ok;
        if (fr.from_binary) {
            if (auto ok = rebuild_boxes(f.trees[t], f.point_store, order, fr.patches[t], t); !ok) return ok;
        }
        if (auto ok = check_tree_content(f, t, scratch, order); !ok) return ok;
    }

    // Working buffers, rebuilt empty.
    for (RcfTree& tree : f.trees) {
        tree.path.clear();
        tree.scratch_box.assign(2 * dims, 0.0f);
    }
    return {};
}

} // namespace

core::Result<Forest> Forest::from_loaded(ForestRead& read, std::string_view prefix) {
    if (auto ok = check_forest(read); !ok) return core::invalid(std::string(prefix) + ok.error().text);
    Forest f;
    f.config_ = read.config;
    f.trees_ = std::move(read.trees);
    f.samplers_ = std::move(read.samplers);
    f.point_store_ = std::move(read.point_store);
    f.entries_seen_ = read.entries_seen;
    f.rng_ = read.rng;
    f.reserve_scratch();
    return f;
}

core::Result<Forest> Forest::from_json(std::string_view text) {
    static constexpr std::string_view kPrefix = "invalid forest JSON: ";
    ForestRead fr;
    return core::then_make(core::json::read_state(text, kPrefix, [&](Reader& r) { read_forest(r, fr); }),
                           [&] { return from_loaded(fr, kPrefix); });
}

// ------------------------------------------------------------------- binary

namespace {

namespace bin = core::binary;

constexpr std::uint32_t kBinaryVersion = 1;
enum : std::uint8_t { kEmptySlot = 0, kLeafSlot = 1, kInternalSlot = 2 };

// The boxes that a rebuild from the children would not give bit for bit.
void write_box_patches(bin::Writer& w, const RcfTree& t, const PointStore& p) {
    const NodeArena& a = t.arena;
    const std::uint64_t dims = t.dims;
    auto lo = [&](std::uint64_t i) { return node_min(a, p, i, dims); };
    auto hi = [&](std::uint64_t i) { return node_max(a, p, i, dims); };
    std::vector<float> merged(2 * dims);
    std::vector<std::uint64_t> differing;
    for (std::uint64_t i = 0; i < a.nodes.size(); ++i) {
        const NodeSlot& n = a.nodes[i];
        if (!n.is_internal()) continue;
        merge_boxes(lo(n.left), hi(n.left), lo(n.right), hi(n.right), merged.data(), merged.data() + dims, dims);
        const double sum = range_sum_of(merged.data(), merged.data() + dims, dims);
        if (std::memcmp(merged.data(), a.boxes.data() + i * 2 * dims, 2 * dims * sizeof(float)) != 0 ||
            std::bit_cast<std::uint64_t>(sum) != std::bit_cast<std::uint64_t>(a.range_sums[i]))
            differing.push_back(i);
    }
    w.u64(differing.size());
    for (const std::uint64_t i : differing) {
        w.u64(i);
        w.f64(a.range_sums[i]);
        w.raw(std::span<const float>(a.boxes.data() + i * 2 * dims, 2 * dims));
    }
}

void read_box_patches(bin::Reader& r, std::uint64_t dims, BoxPatches& out) {
    // Each patch is a slot, a range sum and 2 * dims floats.
    const std::uint64_t floats = dims > (std::uint64_t{1} << 59) ? (std::uint64_t{1} << 60) : 2 * dims;
    const std::uint64_t n = r.count(16 + floats * sizeof(float), "box patches");
    out.slots.reserve(n);
    out.range_sums.reserve(n);
    for (std::uint64_t k = 0; k < n && r.ok(); ++k) {
        out.slots.push_back(r.u64());
        // A range sum may be +inf (a box spanning most of the float range).
        const double sum = r.f64(bin::Finite::No);
        if (std::isnan(sum) || sum == -INFINITY) r.fail("a box patch has a range sum that is NaN or -inf");
        out.range_sums.push_back(sum);
        std::vector<float> v;
        r.raw(v, floats, "a box patch");
        out.values.insert(out.values.end(), v.begin(), v.end());
    }
}

void write_tree(bin::Writer& w, const RcfTree& t, const PointStore& p) {
    w.u64(t.root);
    w.u64(t.tree_mass);
    w.u64(t.dims);
    w.rng(t.rng);
    w.u64(t.arena.nodes.size());
    for (const NodeSlot& n : t.arena.nodes) {
        switch (n.kind) {
        case NodeKind::Empty: w.u8(kEmptySlot); break;
        case NodeKind::Leaf:
            w.u8(kLeafSlot);
            w.u64(n.point_idx);
            w.u64(n.mass);
            break;
        case NodeKind::Internal:
            w.u8(kInternalSlot);
            w.u64(n.left);
            w.u64(n.right);
            w.u64(n.cut_dim);
            w.f32(n.cut_val);
            w.u64(n.mass);
            break;
        }
    }
    w.list(t.arena.free);
    write_box_patches(w, t, p);
}

void read_tree(bin::Reader& r, RcfTree& t, BoxPatches& patches) {
    t.root = r.u64();
    t.tree_mass = r.u64();
    t.dims = r.u64();
    r.rng(t.rng);
    const std::uint64_t n = r.count(1, "arena nodes");
    t.arena.nodes.reserve(n);
    for (std::uint64_t i = 0; i < n && r.ok(); ++i) {
        NodeSlot s;
        const std::uint8_t kind = r.u8();
        if (kind == kLeafSlot) {
            s.kind = NodeKind::Leaf;
            s.point_idx = r.u64();
            s.mass = r.u64();
        } else if (kind == kInternalSlot) {
            s.kind = NodeKind::Internal;
            s.left = r.u64();
            s.right = r.u64();
            s.cut_dim = r.u64();
            s.cut_val = r.f32();
            s.mass = r.u64();
        } else if (kind != kEmptySlot) {
            r.fail("node slot " + num(i) + " has kind " + num(kind) + ", expected 0, 1 or 2");
        }
        t.arena.nodes.push_back(s);
    }
    r.list(t.arena.free, "free slots");
    read_box_patches(r, t.dims, patches);
}

void write_point_store(bin::Writer& w, const PointStore& p) {
    std::uint64_t values = 0;
    core::check_internal(core::checked_mul(p.capacity, p.dim, values) && values == p.store.size(),
                         "point store rows differ from its capacity");
    w.u64(p.dim);
    w.u64(p.input_dim);
    w.u64(p.shingle_size);
    w.flag(p.internal_shingling);
    w.u64(p.capacity);
    w.u64(p.dim);
    w.raw(std::span<const float>(p.store));
    w.list(p.occupied);
    w.list(p.ref_count);
    w.u64(p.next_free);
    w.list(p.free_list);
    w.u64(p.size);
    w.list(p.shingle_buf);
    w.u64(p.entries_seen);
}

void read_point_store(bin::Reader& r, PointStore& p, std::vector<std::uint64_t>& shape) {
    p.dim = r.u64();
    p.input_dim = r.u64();
    p.shingle_size = r.u64();
    p.internal_shingling = r.flag();
    // The store's shape (rows, row length) as written, then its values.
    shape = {r.u64(), r.u64()};
    std::uint64_t values = 0;
    if (!core::checked_mul(shape[0], shape[1], values)) r.fail("point store shape overflows");
    r.raw(p.store, values, "the point store");
    r.list(p.occupied, "occupied flags");
    for (const std::uint8_t o : p.occupied)
        if (o > 1) r.fail("occupied flag " + num(o) + " is not 0 or 1");
    r.list(p.ref_count, "ref counts");
    p.next_free = r.u64();
    r.list(p.free_list, "the free list");
    p.size = r.u64();
    r.list(p.shingle_buf, "the shingle buffer");
    p.entries_seen = r.u64();
    // The rows' count as the JSON form reads it: the declared capacity.
    p.capacity = shape[0];
}

} // namespace

core::Result<std::string> Forest::to_bytes() const {
    const Forest& f = *this;
    std::size_t guess = f.point_store().store.size() * 4 + f.point_store().capacity * 9 + 1024;
    for (const RcfTree& t : f.trees()) guess += t.arena.nodes.size() * 40;
    for (const Sampler& s : f.samplers()) guess += s.capacity * 16;
    bin::Writer w(guess);
    w.header(bin::ClassTag::Forest, kBinaryVersion);
    bin::write(w, f.config());
    w.u64(f.trees().size());
    for (const RcfTree& t : f.trees()) write_tree(w, t, f.point_store());
    w.u64(f.samplers().size());
    for (const Sampler& s : f.samplers()) bin::write(w, s);
    write_point_store(w, f.point_store());
    w.u64(f.entries_seen());
    w.rng(f.rng());
    return w.take();
}

core::Result<Forest> Forest::from_bytes(std::string_view data) {
    static constexpr std::string_view kPrefix = "invalid Forest state: ";
    ForestRead fr;
    fr.from_binary = true;
    ForestRead& f = fr;
    auto read = [&](bin::Reader& r) {
        bin::read(r, f.config);
        // A tree is at least its fixed fields and three counts.
        const std::uint64_t trees = r.count(80, "trees");
        f.trees.resize(trees);
        fr.patches.resize(trees);
        for (std::uint64_t t = 0; t < trees && r.ok(); ++t) read_tree(r, f.trees[t], fr.patches[t]);
        const std::uint64_t samplers = r.count(32, "samplers");
        f.samplers.resize(samplers);
        for (Sampler& s : f.samplers) bin::read(r, s);
        read_point_store(r, f.point_store, fr.store_shape);
        f.entries_seen = r.u64();
        r.rng(f.rng);
    };
    return core::then_make(bin::read_state(data, bin::ClassTag::Forest, kBinaryVersion, kPrefix, read),
                           [&] { return from_loaded(fr, kPrefix); });
}

} // namespace tarn::rcf
