#pragma once

// The build takes the mask from shared/table_format.json, which the table
// producer reads too, so both sides always agree.
#ifndef HV_TOKEN_MASK
#error "HV_TOKEN_MASK must be defined by the build"
#endif

namespace hv {
inline constexpr unsigned char kTokenMask = HV_TOKEN_MASK;
}  // namespace hv
