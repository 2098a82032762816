// Compiled with the include paths of one layer and PROBE_HEADER naming one header: it
// builds exactly when that layer may include the header.
#define PROBE_STRING(text) #text
#define PROBE_INCLUDE(header) PROBE_STRING(header)
#include PROBE_INCLUDE(PROBE_HEADER)
