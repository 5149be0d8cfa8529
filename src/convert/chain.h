#pragma once

// The converters a run consults, and the chain that takes a preset from one format to another.

#include "convert/converter.h"

namespace tunewright {

// The registered converters sorted by converterLess, made once at the start of a run. The only
// view of the converters that recognition, the converter list and the chain search consult.
extern ConverterList sortedConverters;

// Orders by sourceId, then targetId.
bool converterLess(const Converter* a, const Converter* b);

// Fills sortedConverters from the registry and sorts it.
void snapshotConverters();

// True when some converter produces the format, so that it can be asked for with -t.
bool isKnownTarget(FormatId id);

// Plans the converters that take a preset from source to target, first to last, into chain
// (passed empty). A target of 0 or less asks for the latest format: forward steps as far as
// they go, which never fails. Otherwise the shortest linked chain that reaches target exactly;
// false, with chain left empty, when there is none.
bool buildChain(FormatId source, FormatId target, ConverterList& chain);

}  // namespace tunewright
