// A switch for tests, fuzzers and benchmarks that hold the math functions' two paths to the same bits: the
// software path forced on a processor that has FMA. Linked only into those programs (see the .cpp).
#pragma once

namespace solvantis::math::testing {

// True makes every math function take the software path from now on; false returns to the detected one.
void forceSoftwareFma(bool force) noexcept;

} // namespace solvantis::math::testing
