// The entry point of a native Octave function (NAME.oct): the one function each module compiles
// with its own name, over the native host that is compiled once (native_host.cpp). It needs none
// of Octave's headers, so a module adds next to nothing to compile for it.
#ifndef EEGMEX_HOST_OCTAVE_NATIVE_ENTRY_H
#define EEGMEX_HOST_OCTAVE_NATIVE_ENTRY_H

class octave_function;
namespace octave {
class dynamic_library;
}

// Makes the module named `name` (a text that lives as long as the module) an Octave function.
__attribute__((visibility("hidden"))) octave_function* eegmexNativeInstall(
    const octave::dynamic_library& library, bool relative, const char* name);

#endif
