#pragma once

// A double as text with a given number of significant digits, exactly as printf's "%.*g" writes
// it, without the tables a library needs to do that for any double: the page carries every byte
// of its module.

#include <string>

namespace tunewright {

// value (finite) rounded half to even, on its exact value, to precision (1 to 17) significant
// digits, trailing zeros dropped: fixed where its power of ten is at least -4 and below the
// precision, else with an exponent of at least two digits ("1e-05", "2.5e+20").
std::string decimalText(double value, int precision);

}  // namespace tunewright
