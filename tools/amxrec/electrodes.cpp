// amxrec: the classification of electrode impedances that amxctl's table and
// amxview's grid both show.
#include "amxrec.h"

namespace amxrec {

Electrode classify(int channel, int reference, int32_t ohms, double good_kohm, double bad_kohm)
{
  if (channel == reference) return Electrode::Reference;
  if (ohms == -1) return Electrode::Invalid;
  if (ohms < 0) return Electrode::Waiting;
  double k = ohms / 1000.0;
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

}  // namespace amxrec
