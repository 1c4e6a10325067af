"""Chunks from a live source through the reader's filter and decimator: eegmex.Decimator and
eegmex.place_markers (docs/streams.md)."""

import numpy as _np

from . import _eegmex

_DECIMATE = 3


class Decimator(_eegmex.ChunkDecimator):
    """The filter and decimator of eegmex.fetch on chunks of frames from a live source.

    ``d = Decimator(hdr, chanidx=..., fs=..., filt_b=..., filt_a=..., filt_subsample=..., maxGap=...)``
    or ``Decimator(hdr, chanidx=..., fs=..., sos=..., ...)``
    hdr is a dict with fs, nChans and scale (optional offset); the keywords are fetch's (chanidx from
    0), checked as fetch checks them and passed as fetch passes them, plus maxGap (seconds; default
    two frame periods). sos: the filter as K second-order sections, K x 6 rows [b0 b1 b2 a0 a1 a2]
    with a0 = 1, as scipy.signal.butter(..., output='sos') gives them; the rows equal fetch's with the
    same sos bit for bit. sos with filt_b/filt_a is refused with fetch's message.

    ``y = d.push(x)`` takes a chunk of shape (frames, nChans) of any real numeric dtype and memory
    order (float64, float32, int16 and int32 are read where they lie; other dtypes as float64) and
    returns the rows whose blocks ended in it, shape (rows, len(chanidx)): together, for any cutting
    of the same frames into chunks, bit for bit the rows fetch reads from a file of them.
    ``y, t = d.push(x, timestamps=ts)``: one time per frame; t[k] is the time of the last frame of
    row k's block. A jump of more than maxGap is warned of (EegmexWarning, id
    'eegmex_decimate:gap') and listed in ``d.gaps`` (rows of [stream frame from 1, jump in s]);
    no frames are made up. A bad chunk or bad times raise, and leave the state as it was.

    The push runs without the GIL and holds this object's own lock only. ``reset()`` starts again
    at frame 0; copy.copy, copy.deepcopy and pickle keep the state; ``state()`` is eegmex_decimate's
    S as a dict (setup, state, check) and ``Decimator.from_state(S)`` goes on from one.
    """

    def __init__(self, hdr, **opt):
        from . import _call, _hdr_in, _opt_in  # the package's conversions (chanidx from 0)

        S = _call(_DECIMATE, 1, [_hdr_in(hdr), _opt_in(opt)])[0]
        super().__init__(_row(S["setup"]), _row(S["state"]), _row(S["check"]))

    @classmethod
    def from_state(cls, S):
        """A decimator that goes on from a state S (a dict with setup, state and check, as
        eegmex_decimate's S or state() gives it)."""
        d = cls.__new__(cls)
        _eegmex.ChunkDecimator.__init__(d, _row(S["setup"]), _row(S["state"]), _row(S["check"]))
        return d

    def state(self):
        setup, state, check = _eegmex.ChunkDecimator.state(self)
        return {"setup": setup, "state": state, "check": check}

    def __reduce__(self):
        return (Decimator.from_state, (self.state(),))

    def __copy__(self):
        return Decimator.from_state(self.state())

    def __deepcopy__(self, memo):
        return Decimator.from_state(self.state())

    def __repr__(self):
        return "Decimator(%d channels, %d frames pushed)" % (self.n_chans, self.frames)


def _row(a):
    return _np.ascontiguousarray(_np.asarray(a, dtype=float).reshape(-1))


def place_markers(times, marker_times):
    """The output row of each marker: the first row whose time (``t`` of Decimator.push) is at or
    after the marker's time, from 0; -1 for a marker after the last row (place it with the next
    rows). A marker at a row's time belongs to that row: the row's block holds the frame it
    marks."""
    times = _np.asarray(times, dtype=float).reshape(-1)
    m = _np.asarray(marker_times, dtype=float).reshape(-1)
    rows = _np.searchsorted(times, m, side="left")
    return _np.where(rows < times.size, rows, -1)
