// The eegfetch gateway, compiled into the Python extension under a name of its own.
#define mexFunction eegmex_eegfetch_entry
#include "../../eegfetch/eegfetch_mex.cpp"
