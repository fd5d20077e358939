// Failures of the default cameras chosen from the environment, for programs
// that run the simulator in a process of their own and so cannot call the
// control API (lscam under test): SIMCAM_OPEN_ERROR and SIMCAM_CLAIM_ERROR, a
// libusb error code such as -3 (access denied) or -6 (busy), make opening or
// claiming every default camera fail as simcam_set_open_error and
// simcam_set_claim_error do. Only the public control API is used.
#include <cstdlib>

#include "simcam.h"

namespace {

int errorcode(const char* name) {
  const char* text = std::getenv(name);
  if (!text || !*text) return 0;
  char* end = nullptr;
  long value = std::strtol(text, &end, 0);
  return *end == '\0' && value < 0 && value > -100 ? static_cast<int>(value) : 0;
}

__attribute__((constructor)) void applyenvironmentfailures() {
  const int openerror = errorcode("SIMCAM_OPEN_ERROR");
  const int claimerror = errorcode("SIMCAM_CLAIM_ERROR");
  if (openerror == 0 && claimerror == 0) return;
  // The default bus numbers its cameras 1..127; ids without a device are ignored.
  for (int id = 1; id <= 127; ++id) {
    if (openerror != 0) simcam_set_open_error(id, openerror);
    if (claimerror != 0) simcam_set_claim_error(id, claimerror);
  }
}

}  // namespace
