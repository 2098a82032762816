#pragma once

// The parameter declarations the simulated camera starts from (sim/params.default),
// built into the binary so that it reads nothing from the source tree.
namespace CameraSimDefaults {
extern const char* const text;
}
