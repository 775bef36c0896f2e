// Which driver the suites run: the host build of the sources, or kscam.sys
// loaded into the platform (KSCAM_TEST_DRIVER names the image).
#pragma once

namespace kscam_test {

// True when the driver under test is the host build. Checks that look at the
// driver's own globals or at the addresses of its static tables only mean
// something then: the loaded binary has its own copies, which this program
// cannot name.
bool RunsHostBuild();

}  // namespace kscam_test
