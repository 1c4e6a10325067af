// libmex.dll of the embedded host holds no code: its .def forwards every name to libmx.dll.
