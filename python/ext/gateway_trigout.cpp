// The trigout gateway, compiled into the Python extension under a name of its own.
#define mexFunction eegmex_trigout_entry
#include "../../trigout/trigout.cpp"
