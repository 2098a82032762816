# Writes OUTPUT, a C++ source defining CameraSimDefaults::text with the contents of INPUT,
# so that camera-sim carries its parameter declarations and runs from any copy of the
# build. Run with cmake -DINPUT=... -DOUTPUT=... -P EmbedDefaults.cmake.
file(READ "${INPUT}" text)
# A delimiter that cannot occur in the declarations ends the raw string.
string(FIND "${text}" ")params\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw string delimiter )params\"")
endif()
file(WRITE "${OUTPUT}.tmp" "// Generated from sim/params.default at build time.\n#include \"CameraSimDefaults.h\"\n\n"
  "const char* const CameraSimDefaults::text = R\"params(${text})params\";\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
