// The forest's JSON state: the complete forest as one text, and back.
//
// Layout: {"config":RcfConfig,"trees":[RcfTree...],"samplers":[Sampler...],
// "point_store":PointStore,"entries_seen":u64,"rng":{"s":[...]}} with every
// record's members in their declared order, every arena slot and store row
// included. Reading accepts what the JSON layer accepts (members in any
// order, unknown members skipped, records as arrays) and then checks the
// whole forest -- lengths, indices, references, tree shapes, boxes, masses
// and counts -- so that a loaded state is one the update and query code can
// work on safely, whatever text it came from.
#pragma once

#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/json/writer.hpp"
#include "rcf/forest/forest.hpp"

namespace tarn::rcf {

// Appends the forest's state to w.
void write_forest(core::json::Writer& w, const Forest& f);

// The state text. Never fails for a forest built by this library; the
// Result carries "failed to serialize forest: ..." should it ever.
core::Result<std::string> forest_to_json(const Forest& f);

// Parses and checks a state text; the InvalidArgument error reads
// "invalid forest JSON: " + the reason.
core::Result<Forest> forest_from_json(std::string_view text);

// The binary state (docs/binary-state.md): the same forest in little-endian
// fixed-width fields, without the boxes that the loader rebuilds. Reading
// runs the checks of forest_from_json; errors read "invalid Forest state: ...".
core::Result<std::string> forest_to_bytes(const Forest& f);
core::Result<Forest> forest_from_bytes(std::string_view data);

} // namespace tarn::rcf
