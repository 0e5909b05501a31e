// amxhost: the classification of electrode impedances that amxctl's table and
// amxview's grid both show.
#include "amxhost.h"

#include <cmath>

namespace amxhost {

double shown_kohm(int32_t ohms) { return std::floor(ohms / 100.0 + 0.5) / 10; }

Electrode classify(int channel, int reference, int32_t ohms, double good_kohm, double bad_kohm)
{
  if (channel == reference) return Electrode::Reference;
  // Devices of kinds 7 and 8 report 1000 Ohm less: an invalid window reads -1
  // elsewhere and -1001 there, no window yet 0 and -1000. No electrode reads
  // exactly 0 Ohm, so that is no measurement yet, not "good".
  if (ohms == -1 || ohms == -1001) return Electrode::Invalid;
  if (ohms <= 0) return Electrode::Waiting;
  double k = shown_kohm(ohms);
  return k <= good_kohm ? Electrode::Good : k > bad_kohm ? Electrode::Bad : Electrode::Fair;
}

const char* electrode_name(Electrode e)
{
  switch (e) {
    case Electrode::Reference: return "REF";
    case Electrode::Invalid: return "invalid";
    case Electrode::Waiting: return "waiting";
    case Electrode::Good: return "good";
    case Electrode::Fair: return "fair";
    case Electrode::Bad: return "BAD";
  }
  return "?";
}

bool thresholds_valid(double good_kohm, double bad_kohm) { return good_kohm > 0 && bad_kohm >= good_kohm; }

}  // namespace amxhost
