"""Builds the eegmex Python package: one extension, eegmex._eegmex, from the same C++ sources as the
MATLAB/Octave modules (the numeric core, the readers, the pulse module and their gateways) with the
extension's own C++ (python/ext/) over the Python host (host/python/ and the plain hosts' operations,
host/plain_host.cpp), and the port libraries simport and serialport beside it.

The flags are those of the CMake build and the Octave package: -O3 -ffp-contract=off everywhere (the
same bits in every build), and the filter kernels for AVX2 and AVX-512 compiled with their own
instruction sets (chosen at run time)."""
import glob
import os
import platform
import sys

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
os.chdir(HERE)

VERSION = open("VERSION").read().strip()
X86 = platform.machine().lower() in ("x86_64", "amd64", "i386", "i486", "i586", "i686", "x86")
POSIX = os.name == "posix"
FLAGS = ["-O3", "-ffp-contract=off"]
# Per-file flags: the filter kernels of the wider instruction sets.
KERNEL_FLAGS = {
    "filter_kernel_avx2.cpp": ["-mavx2", "-DEEG_KERNEL_AVX2"],
    "filter_kernel_avx512.cpp": ["-mavx512f", "-DEEG_KERNEL_AVX512"],
}


def sources(*patterns, skip=()):
    found = []
    for p in patterns:
        found += sorted(glob.glob(p))
    return [f for f in found if os.path.basename(f) not in skip]


platform_sources = ["platform/float_settings.cpp", "platform/os_posix.cpp" if POSIX else "platform/os_windows.cpp"]
# The host-free parts: the reader's numeric core, the readers' core and the platform layer. With
# EEGMEX_PREBUILT naming a CMake build tree of this checkout (Release, as scripts/build.sh makes it;
# the test command uses its own), the extension links that tree's static libraries of them, compiled
# from the same sources with the same flags, instead of compiling them again.
host_free = sources("eegfetch/core/*.cpp", "formats/core/*.cpp") + platform_sources
prebuilt = os.environ.get("EEGMEX_PREBUILT")
prebuilt_libraries = []
if prebuilt:
    prebuilt_libraries = [os.path.join(prebuilt, lib) for lib in
                          ("eegfetch/libeegfetch_core.a", "formats/libeegmex_formats.a", "platform/libeegmex_platform.a")]
    missing = [lib for lib in prebuilt_libraries if not os.path.exists(lib)]
    if missing:
        sys.exit("EEGMEX_PREBUILT: not built: " + ", ".join(missing))
    host_free = []
extension = Pybind11Extension(
    "eegmex._eegmex",
    sources(
        "python/ext/*.cpp",
        "host/python/*.cpp",
        "host/plain_host.cpp",
        "eegfetch/reader_call.cpp",
        "eegfetch/messages.cpp",
        "eegfetch/xdf_frames.cpp",
        "trigout/*.cpp",
        skip=("trigout.cpp",),
    )
    + host_free,
    extra_objects=prebuilt_libraries,
    include_dirs=["host", "host/python", ".", "eegfetch", "eegfetch/core", "formats/core", "trigout"],
    # A changed header rebuilds the extension too.
    depends=sources("host/*.h", "host/python/*.h", "python/ext/*.h", "eegfetch/*.h", "eegfetch/core/*.h", "formats/core/*.h",
                    "trigout/*.h", "platform/*.h") + prebuilt_libraries,
    define_macros=[("EEGMEX_HOST_PYTHON", "1")],
    extra_compile_args=FLAGS + ["-pthread", "-Wall", "-Wextra"] + (["-msse2", "-mfpmath=sse"] if X86 and sys.maxsize < 2**32 else []),
    extra_link_args=["-pthread"] + (["-ldl"] if POSIX else []),
    cxx_std=17,
)

# The port libraries, loaded by trigout at run time: plain shared libraries inside the package.
PORT_LIBRARIES = {
    "simport": (["portlibs/simport.cpp"], []),
    "serialport": (["portlibs/serialport.cpp", "portlibs/serial_device.cpp"], ["-fno-gnu-unique"]),
}


class BuildExt(build_ext):
    """Adds the per-file kernel flags, and builds the port libraries beside the extension."""

    def build_extensions(self):
        compiler = self.compiler
        original = compiler._compile

        def compile_one(obj, src, ext, cc_args, extra_postargs, pp_opts):
            extra = list(extra_postargs) + (KERNEL_FLAGS.get(os.path.basename(src), []) if X86 else [])
            return original(obj, src, ext, cc_args, extra, pp_opts)

        compiler._compile = compile_one
        try:
            super().build_extensions()
        finally:
            compiler._compile = original
        self.build_port_libraries()

    def build_port_libraries(self):
        if not POSIX:
            return
        out_dir = os.path.join(self.build_lib, "eegmex", "portlibs")
        if self.inplace:
            out_dir = os.path.join("python", "eegmex", "portlibs")
        os.makedirs(out_dir, exist_ok=True)
        suffix = ".dylib" if sys.platform == "darwin" else ".so"
        unique = ["-fno-gnu-unique"] if self.compiler.compiler_type == "unix" and sys.platform.startswith("linux") else []
        for name, (srcs, extra) in PORT_LIBRARIES.items():
            objects = self.compiler.compile(
                srcs,
                output_dir=os.path.join(self.build_temp, "portlibs-" + name),
                include_dirs=["portlibs"],
                extra_postargs=["-std=c++17", "-O2", "-ffp-contract=off", "-fPIC", "-fvisibility=hidden", "-pthread"]
                + [f for f in extra if f != "-fno-gnu-unique" or unique],
            )
            self.compiler.link_shared_object(
                objects,
                os.path.join(out_dir, name + suffix),
                extra_postargs=["-pthread"],
                target_lang="c++",
            )


ParallelCompile("EEGMEX_BUILD_JOBS", default=2).install()

setup(
    version=VERSION,
    ext_modules=[extension],
    cmdclass={"build_ext": BuildExt},
    options={"build": {"build_base": "build/python-setuptools"}, "egg_info": {"egg_base": "build"}},
    zip_safe=False,
)
