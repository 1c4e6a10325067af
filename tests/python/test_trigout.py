"""eegmex.trigout through the simulated port and a pseudo-terminal box: what reaches the port, when,
the module's messages, and the resets still pending when the interpreter exits."""
import ctypes
import os
import subprocess
import sys
import time

import pytest

import eegmex


def log_lines(log, lib):
    ctypes.CDLL(lib).SimportFlushLog()
    if not os.path.exists(log):
        return []
    with open(log) as f:
        return [tuple(int(v) for v in line.split()[:3]) for line in f if line.strip()]


@pytest.fixture
def simlog(tmp_path, monkeypatch):
    log = str(tmp_path / "port.log")
    monkeypatch.setenv("SIMPORT_LOG", log)
    return log


def test_pulse_value_then_reset_after_its_width(simlog):
    lib = eegmex.simport()
    eegmex.trigout(888, 255, io_lib=lib)
    eegmex.trigout(889, 7, 30, 20, io_lib=lib)  # 7 after 20 ms, 0 30 ms after that
    time.sleep(0.2)
    writes = log_lines(simlog, lib)
    by_port = {p: [(ns, v) for ns, port, v in writes if port == p] for p in (888, 889)}
    assert [v for _, v in by_port[888]] == [255, 0]
    assert [v for _, v in by_port[889]] == [7, 0]
    width = (by_port[888][1][0] - by_port[888][0][0]) / 1e6
    assert width >= 10.0  # the default width, never shorter
    width = (by_port[889][1][0] - by_port[889][0][0]) / 1e6
    assert width >= 30.0


def test_module_default_io_lib_and_messages(simlog, monkeypatch):
    monkeypatch.setattr(eegmex, "io_lib", None)
    with pytest.raises(ValueError, match="IO_LIB"):
        eegmex.trigout(888, 1)
    monkeypatch.setattr(eegmex, "io_lib", eegmex.simport())
    eegmex.trigout(888, 3, 1)
    # \Z, not $: the texts end where Octave's do, with no line feed after them.
    with pytest.raises(ValueError, match=r"^value must be a finite real number\.\Z"):
        eegmex.trigout(888, float("nan"))
    with pytest.raises(ValueError, match=r"^duration must not be negative\.\Z"):
        eegmex.trigout(888, 1, -1)
    with pytest.raises(OSError, match=r"^LoadLibrary Failed\. Check IO_LIB\.\Z"):
        eegmex.trigout(888, 1, io_lib="/no/such/library.so")
    time.sleep(0.05)
    assert (888, 3) in [(p, v) for _, p, v in log_lines(simlog, eegmex.io_lib)]


def test_pending_resets_are_written_at_exit(tmp_path):
    log = str(tmp_path / "exit.log")
    code = "import eegmex; eegmex.trigout(888, 9, 300, io_lib=eegmex.simport())"
    env = dict(os.environ, SIMPORT_LOG=log)
    started = time.monotonic()
    subprocess.run([sys.executable, "-c", code], check=True, env=env)
    assert time.monotonic() - started >= 0.3  # the exit waited for the reset
    with open(log) as f:
        values = [int(line.split()[2]) for line in f]
    assert values == [9, 0]


def test_serialport_box_on_a_pty(tmp_path, monkeypatch):
    master, slave = os.openpty()
    device = os.ttyname(slave)
    # The setting goes to the library, not to the environment, which other threads may be reading;
    # an environment variable of the same name is no longer read.
    monkeypatch.setenv("EEGMEX_SERIALPORT", "not a setting")
    environment = dict(os.environ)
    lib = eegmex.serialport(device, protocol="text", template=r"T%d\n", port=1)
    assert os.path.basename(lib).startswith("serialport")
    assert dict(os.environ) == environment
    eegmex.trigout(1, 42, 5, io_lib=lib)
    got = b""
    deadline = time.monotonic() + 2
    while b"T0" not in got and time.monotonic() < deadline:
        import select

        if select.select([master], [], [], 0.1)[0]:
            got += os.read(master, 100)
    assert b"T42" in got and b"T0" in got
    with pytest.raises(ValueError, match="Template"):
        eegmex.serialport(device, template="no conversion")
    for bad in (dict(device=device + "\0x"), dict(device=device, template="T%d\0")):
        with pytest.raises(ValueError, match="NUL"):
            eegmex.serialport(**bad)
    os.close(master)
    os.close(slave)
