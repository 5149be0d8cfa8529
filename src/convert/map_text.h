#pragma once

// The parameter maps in words, the same for the program (-l -v) and the page: what a user needs
// to move a host's automation by hand where the program cannot read the host's projects.

#include <string>
#include <vector>

#include "convert/converter.h"
#include "convert/parameter_map.h"

namespace tunewright {

// A map in a few lines, not indented: the moves, in order of source index ("0-9 -> 0-9, 10-34 ->
// 11-35", "0 dropped"); the new parameters with their values ("new 10 = 0.0, 52 = 2.0"); then a
// line for each moved parameter whose value changes ("52 -> 1, divided by 7"; "selector 12 -> 14
// (section 0, local 12): 6 choices to 7, a new choice at 5"). None for a map of no parameters.
std::vector<std::string> describeMap(const ChainMap& map);

// The lines of -l, one per converter of the snapshot: "Tavlora v0.2 (1000200) -> Tavlora v0.2.3
// (1000203)". With maps (-l -v), each converter's map under its line, indented by two spaces,
// and after them, for every source format whose chain to target (0 or less: the newest) takes
// more than one step, the chain's line ("..., in 3 steps") and its composed map, indented.
std::vector<std::string> converterListLines(bool withMaps, FormatId target);

}  // namespace tunewright
