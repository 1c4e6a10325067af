// The installer Octave looks up when it loads NAME.oct, G followed by the module's name: compiled
// into each module with EEGMEX_MODULE_NAME set to that name.
#include "native_entry.h"

#ifndef EEGMEX_MODULE_NAME
#error "EEGMEX_MODULE_NAME names the module"
#endif
#define EEGMEX_STRING2(x) #x
#define EEGMEX_STRING(x) EEGMEX_STRING2(x)
#define EEGMEX_PASTE2(a, b) a##b
#define EEGMEX_PASTE(a, b) EEGMEX_PASTE2(a, b)

extern "C" __attribute__((visibility("default"))) octave_function* EEGMEX_PASTE(G, EEGMEX_MODULE_NAME)(
    const octave::dynamic_library& library, bool relative) {
  return eegmexNativeInstall(library, relative, EEGMEX_STRING(EEGMEX_MODULE_NAME));
}
