// One download as the device plays it: beacons until the tool's replies,
// then the exchange, with the faults the options ask for.
#pragma once

#include "devsim/DevSim.h"

namespace zq {

namespace devsim {

class CSimLine;

// Plays one session on line and fills report; returns the seconds from the
// beacon reply to the end (0 when discovery never finished).
double PlaySession(CSimLine& line, const DevSimOptions& options, DevSimReport& report);

} // namespace devsim

}  // namespace zq
