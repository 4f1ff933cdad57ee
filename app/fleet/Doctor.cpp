#include "Doctor.h"

std::vector<DoctorCheck> RunDoctorChecks(const DoctorOptions&) { return {}; }
