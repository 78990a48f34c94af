"""A plain-Python model of the Forest's read-only queries, evaluated on the
trees of a forest's JSON state. The tests compare the extension against it
bit for bit, so the order of every sum and every random draw counts."""

import json
import math
import struct

from reference_rng import Xoshiro

NONE = 2**64 - 1


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def f32_key(x):
    """Sort key of the total order of 32-bit floats."""
    bits = struct.unpack("<i", struct.pack("<f", x))[0]
    return bits ^ ((bits >> 31) & 0x7FFFFFFF)


def _f32_fields(nodes):
    # 32-bit values are written in their shortest 32-bit form; read as
    # doubles they must be rounded back to 32 bits.
    for n in nodes:
        if n and "Internal" in n:
            n = n["Internal"]
            n["cut_val"] = f32(n["cut_val"])
            n["bbox"]["min"] = [f32(x) for x in n["bbox"]["min"]]
            n["bbox"]["max"] = [f32(x) for x in n["bbox"]["max"]]
    return nodes


class State:
    def __init__(self, forest):
        st = json.loads(forest.to_json())
        ps = st["point_store"]
        self.dims = ps["dim"]
        self.input_dim = ps["input_dim"]
        self.data = [f32(x) for x in ps["store"]["data"]]
        self.shingle = [f32(x) for x in ps["shingle_buf"]]
        self.trees = [(t["root"], t["tree_mass"], _f32_fields(t["arena"]["nodes"])) for t in st["trees"]]
        self.rng = st["rng"]["s"]

    def point(self, slot):
        return self.data[slot * self.dims:(slot + 1) * self.dims]

    def live_trees(self):
        return [(r, m, n) for r, m, n in self.trees if r != NONE and m != 0]


def separation(box, q):
    s = 0.0
    for lo, hi, x in zip(box["min"], box["max"], q):
        if lo > x:
            s = f32(s + f32(lo - x))
        elif x > hi:
            s = f32(s + f32(x - hi))
    if s == 0.0:
        return 0.0
    if box["range_sum"] == 0.0:
        return 1.0
    return s / (box["range_sum"] + s)


def descend(nodes, root, q):
    path, at = [], root
    while "Internal" in nodes[at]:
        n = nodes[at]["Internal"]
        path.append(n)
        at = n["left"] if q[n["cut_dim"]] <= n["cut_val"] else n["right"]
    return path, nodes[at]["Leaf"]


def same(a, b):
    return all(x == y for x, y in zip(a, b))


def blended_average(st, q, leaf_value, per_tree):
    # The mean over trees of a value that starts at q's leaf, as
    # leaf_value(leaf, tree_mass, q_is_the_leaf_point), and is blended toward
    # each ancestor's mass by the probability p that q separates there; an
    # empty tree counts 0.
    total = -0.0
    for root, mass, nodes in st.trees:
        if root == NONE or mass == 0:
            total += 0.0
            continue
        path, leaf = descend(nodes, root, q)
        v = leaf_value(leaf, mass, same(q, st.point(leaf["point_idx"])))
        for n in reversed(path):
            p = separation(n["bbox"], q)
            if p != 0.0:
                v = (1.0 - p) * v + p * float(n["mass"])
        total += per_tree(v, mass)
    return total / len(st.trees)


def displacement(st, q):
    def leaf_value(leaf, mass, is_point):
        m = float(leaf["mass"])
        return (1.0 - m / (2.0 * mass)) * (1.0 / (m + 1.0)) if is_point else m

    return blended_average(st, q, leaf_value, lambda v, mass: v / (mass + 1.0))


def density(st, q):
    return blended_average(st, q, lambda leaf, mass, is_point: float(leaf["mass"]) if is_point else 0.0,
                           lambda v, mass: v)


def attribution(st, q):
    out = [[0.0, 0.0] for _ in range(st.dims)]
    for root, mass, nodes in st.live_trees():
        o, u = math.log2(mass + 1.0), 1.0
        path, _ = descend(nodes, root, q)
        for k, n in enumerate(path):
            d = n["cut_dim"]
            side = 1 if q[d] <= n["cut_val"] else 0
            p = separation(n["bbox"], q)
            if p > 0.0:
                out[d][side] += ((u * p) * (1.0 / (k + 1.0))) * o
                u *= 1.0 - p
    inv = 1.0 / len(st.trees)
    return [{"below": b * inv, "above": a * inv} for b, a in out]


def l1(q, y, missing=()):
    s = -0.0
    for i, (a, b) in enumerate(zip(q, y)):
        if i not in missing:
            s += abs(f32(a - b))
    return s


def near_neighbors(st, q, top_k=10, percentile=50):
    t = percentile / 100.0
    records = []

    def visit(nodes, at, k, weight):
        node = nodes[at]
        if "Leaf" in node:
            slot = node["Leaf"]["point_idx"]
            records.append((weight * (1.0 / (k + 1.0)), slot, l1(q, st.point(slot))))
            return
        n = node["Internal"]
        p = separation(n["bbox"], q)
        if k > 0 and p <= t:
            return
        near, far = (n["left"], n["right"]) if q[n["cut_dim"]] <= n["cut_val"] else (n["right"], n["left"])
        visit(nodes, near, k + 1, weight)
        if p > 0.5:
            visit(nodes, far, k + 1, weight)

    for root, mass, nodes in st.live_trees():
        visit(nodes, root, 0, math.log2(mass + 1.0))
    if top_k == 0 or not records:
        return []
    merged = {}
    for score, slot, dist in records:
        s, d = merged.get(slot, (0.0, dist))
        merged[slot] = (score + s, min(d, dist))
    items = [(merged[s][0] / len(st.trees), s, merged[s][1]) for s in sorted(merged)]
    items.sort(key=lambda it: (math.isnan(it[2]), it[2]))
    return [{"score": sc, "point": st.point(s), "distance": d} for sc, s, d in items[:top_k]]


def candidates(st, q, missing, z, seed):
    words = Xoshiro.seeded(seed)
    out = []
    for root, mass, nodes in st.trees:
        g = Xoshiro.seeded(words.next_word())
        if root == NONE or mass == 0:
            continue
        best = []  # [slot, distance] once found

        def visit(at):
            node = nodes[at]
            if "Leaf" in node:
                slot = node["Leaf"]["point_idx"]
                dist = l1(q, st.point(slot), missing)
                if not best:
                    best[:] = [slot, dist]
                elif z >= 1.0:
                    if dist < best[1]:
                        best[:] = [slot, dist]
                else:
                    u = g.next_unit()
                    if dist < best[1] or (1.0 - z) > u:
                        best[:] = [slot, dist]
                return
            n = node["Internal"]
            if n["cut_dim"] in missing:
                visit(n["left"])
                visit(n["right"])
            else:
                visit(n["left"] if q[n["cut_dim"]] <= n["cut_val"] else n["right"])

        visit(root)
        out.append(best[0])
    return out


def median(values):
    v = sorted(values, key=f32_key)
    k = len(v) // 2
    if len(v) % 2:
        return v[k]
    return f32(f32(v[k - 1] + v[k]) * 0.5)


def peeked_word(st):
    return Xoshiro(st.rng).next_word()


def impute(st, point, missing, z=1.0):
    q = [f32(x) for x in point]
    cands = candidates(st, q, set(missing), z, peeked_word(st))
    out = list(q)
    for m in missing:
        out[m] = median([st.point(c)[m] for c in cands])
    return out


def extrapolate(st, look_ahead):
    work, out, a = list(st.shingle), [], st.input_dim
    for j in range(look_ahead):
        block = range(st.dims - (j + 1) * a, st.dims - j * a)
        cands = candidates(st, work, set(block), 1.0, peeked_word(st))
        for i in block:
            work[i] = median([st.point(c)[i] for c in cands])
            out.append(work[i])
    return out
