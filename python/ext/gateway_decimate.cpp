// The eegmex_decimate gateway, compiled into the Python extension under a name of its own.
#define mexFunction eegmex_decimate_entry
#include "../../eegfetch/decimate/decimate_mex.cpp"
