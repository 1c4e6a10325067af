// The formats gateway, compiled into the Python extension under a name of its own.
#define mexFunction eegmex_formats_entry
#include "../../formats/formats_mex.cpp"
