// Injected faults: one armed fault per kind of device call, firing on the
// nth call of that kind.
#include "sim_internal.h"

namespace varnik::sim {

namespace {

struct Fault {
  int error;
  unsigned remaining;  // 0: disarmed
};
Fault g_faults[3];

}  // namespace

void ArmFaultLocked(varnik_sim_call call, int error, unsigned nth) {
  g_faults[call] = Fault{error, nth};
}

bool FaultFires(varnik_sim_call call, int *error) {
  Fault &fault = g_faults[call];
  if (fault.remaining == 0) return false;
  if (--fault.remaining != 0) return false;
  *error = fault.error;
  return true;
}

}  // namespace varnik::sim
