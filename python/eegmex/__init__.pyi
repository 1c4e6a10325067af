"""Type stub of eegmex (see help(eegmex) and docs/python.md)."""
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, "os.PathLike[str]"]
_Vector = Union[Sequence[float], npt.ArrayLike]

io_lib: Optional[str]
__version__: str

class EegmexWarning(UserWarning):
    id: str
    def __init__(self, text: str, id: str = ...) -> None: ...

def fetch(
    path: _Path,
    hdr: Dict[str, Any],
    *,
    chanidx: _Vector = ...,
    fs: float = ...,
    filt_b: _Vector = ...,
    filt_a: _Vector = ...,
    filt_subsample: _Vector = ...,
    data: Optional[np.ndarray] = ...,
    dataPos: _Vector = ...,
    resume: bool = ...,
    newest: bool = ...,
    threads: int = ...,
) -> Tuple[np.ndarray, Dict[str, Any]]: ...

class Stream:
    path: _Path
    hdr: Dict[str, Any]
    opt: Dict[str, Any]
    def __init__(self, path: _Path, hdr: Dict[str, Any], window: Optional[int] = ..., **opt: Any) -> None: ...
    @property
    def data(self) -> np.ndarray: ...
    def read(self, **changes: Any) -> Tuple[np.ndarray, Dict[str, Any]]: ...
    def reset(self) -> None: ...

def read_vhdr(path: _Path) -> Dict[str, Any]: ...
def read_vmrk(path: _Path) -> List[Dict[str, Any]]: ...
def read_edf(path: _Path) -> Tuple[Dict[str, Any], List[Dict[str, Any]]]: ...
def events(
    hdr: Dict[str, Any], state: Optional[Dict[str, Any]] = ..., up_to: float = ...
) -> Tuple[List[Dict[str, Any]], Dict[str, Any]]: ...
def trigout(
    port: int,
    value: int,
    duration: Optional[float] = ...,
    delay: Optional[float] = ...,
    io_lib: Optional[_Path] = ...,
) -> None: ...
def simport(name: str = ...) -> str: ...
def serialport(
    device: str, protocol: str = ..., template: str = ..., baud: int = ..., port: Optional[int] = ...
) -> str: ...
