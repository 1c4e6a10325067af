// eegmex._eegmex.ChunkDecimator: the core's chunk decimator (chunk_decimator.h) held by a Python
// object, for eegmex.Decimator. It is made from the state eegmex_decimate's gateway makes (or one a
// pickle or a copy kept), and goes back to one (`state`). A push reads the caller's array where it
// lies when the engine can (float64, float32, int16, int32, any strides), runs without the
// interpreter's lock and holds only this object's own lock: other decimators, trigout and the other
// modules never wait for it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chunk_decimator.h"
#include "object_lock.h"

namespace py = pybind11;

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

bool hostBigEndian() {
  const uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first == 0;
}

// Holds an object's lock for a scope, with the GIL held as on entry. The lock is waited for
// without the GIL, so a pushing thread that holds the lock and wants the GIL back never waits for
// this one; a child of fork() whose parent was pushing finds the lock fresh and `heldAtFork` set.
class Held {
 public:
  explicit Held(pyhost::ObjectLock& o) : o_(o) {
    if (!platform::tryLock(o_.lock)) {
      py::gil_scoped_release release;
      platform::lock(o_.lock);
    }
  }
  ~Held() { unlock(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  void unlock() {
    if (held_) platform::unlock(o_.lock);
    held_ = false;
  }

 private:
  pyhost::ObjectLock& o_;
  bool held_ = true;
};

class PyChunkDecimator {
 public:
  PyChunkDecimator(const Doubles& setup, const Doubles& state, const Doubles& check) {
    load(setup, state, check);
  }

  // y; with timestamps (y, times), the gaps of the push in gaps() and warned of.
  py::object push(py::handle xIn, py::handle timestamps) {
    py::array x = chunk(xIn);
    eeg::ChunkView view;
    int64_t frames = 0;
    describe(x, view, frames);
    const bool timed = !timestamps.is_none();
    Doubles t;
    if (timed) {
      t = Doubles::ensure(timestamps);
      if (!t) throw py::type_error("timestamps must be numbers, one per frame");
      if (t.ndim() != 1 || t.shape(0) != frames)
        throw py::value_error("timestamps must hold one time per frame of x (" + std::to_string(frames) +
                              "); they hold " + std::to_string(t.size()));
    }
    Held hold(lock_);  // another thread may push into this object: waited for without the GIL
    refuseIfCutByFork();
    const int64_t rows = d_.rowsFor(frames);
    // Column-major, as eegmex.fetch returns its rows.
    py::array_t<double, py::array::f_style> y({static_cast<py::ssize_t>(rows), py::ssize_t(d_.columns())});
    double* yData = y.mutable_data();
    if (!timed) {
      py::gil_scoped_release release;
      d_.push(view, yData, 1, rows);
      return std::move(y);
    }
    const double last = state_[1];
    int64_t gaps = 0, at = 0;
    const eeg::TimesCheck c = eeg::checkTimes(t.data(), frames, 1, last, settings_.maxGap, gaps, at);
    if (c == eeg::TimesCheck::notFinite) throw py::value_error("timestamps must be finite numbers (seconds)");
    if (c == eeg::TimesCheck::backwards)
      throw py::value_error("timestamps go backwards at frame " + std::to_string(at) + " of x");
    py::array_t<double> times(rows);
    py::array_t<double, py::array::f_style> gapList({static_cast<py::ssize_t>(gaps), py::ssize_t(2)});
    double* tOut = times.mutable_data();
    double* gOut = gapList.mutable_data();
    {
      py::gil_scoped_release release;
      for (int64_t e = 0; e < rows; ++e) tOut[e] = t.data()[d_.lastFrameOfRow(e)];
      eeg::listGaps(t.data(), frames, 1, last, settings_.maxGap, d_.frames(), gOut, gOut + gaps);
      if (frames > 0) state_[1] = t.data()[frames - 1];
      state_[2] += static_cast<double>(gaps);
      d_.push(view, yData, 1, rows);
    }
    gaps_ = gapList;
    hold.unlock();
    if (gaps > 0) {
      py::object warning = py::module_::import("eegmex").attr("EegmexWarning");
      py::object warn = py::module_::import("warnings").attr("warn");
      for (int64_t g = 0; g < gaps; ++g) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "eegmex_decimate: the times jump by %g s before frame %lld of the stream (more than "
                      "maxGap, %g s); no frames were made up for the gap.",
                      gOut[gaps + g], static_cast<long long>(gOut[g]), settings_.maxGap);
        warn(warning(text, "eegmex_decimate:gap"), py::arg("stacklevel") = 2);
      }
    }
    return py::make_tuple(y, times);
  }

  // The gaps of the last push with timestamps: rows [stream frame from 1, jump in seconds].
  py::array gaps() {
    Held hold(lock_);
    return gaps_;
  }

  // (setup, state, check): the plain doubles eegmex_decimate's S holds.
  py::tuple state() {
    Held hold(lock_);
    refuseIfCutByFork();
    const int64_t n = eeg::kStateHead + d_.decimator().stateSize();
    py::array_t<double> setup(static_cast<py::ssize_t>(setup_.size()));
    py::array_t<double> state(static_cast<py::ssize_t>(n));
    py::array_t<double> check(2);
    std::memcpy(setup.mutable_data(), setup_.data(), setup_.size() * sizeof(double));
    double* s = state.mutable_data();
    s[0] = static_cast<double>(d_.frames());
    s[1] = state_[1];
    s[2] = state_[2];
    d_.decimator().takeState(s + eeg::kStateHead);
    eeg::stateCheck(setup_.data(), static_cast<int64_t>(setup_.size()), s, n, check.mutable_data());
    return py::make_tuple(setup, state, check);
  }

  void reset() {
    Held hold(lock_);
    lock_.heldAtFork = false;  // a fresh start, whatever a parent's thread left half done
    d_.reset();
    state_[1] = NAN;
    state_[2] = 0;
  }

  int64_t frames() {
    Held hold(lock_);
    return d_.frames();
  }
  int nChans() const { return d_.nChans(); }

 private:
  // In a child of fork() whose parent had a push into this object under way, the state is the half
  // of that push the parent had done: its rows would be wrong, so they are refused until reset().
  void refuseIfCutByFork() const {
    if (lock_.heldAtFork)
      throw py::value_error(
          "this Decimator was pushing in another thread of the parent when the process forked, so its "
          "state here is incomplete: call reset(), or make a new one");
  }

  void load(const Doubles& setup, const Doubles& state, const Doubles& check) {
    const auto refuse = [] {
      throw py::value_error(
          "S is not a state that eegmex_decimate made, or it was changed: make one with "
          "eegmex.Decimator(hdr, ...)");
    };
    if (setup.ndim() != 1 || state.ndim() != 1 || check.ndim() != 1 || check.shape(0) != 2) refuse();
    double expected[2];
    eeg::stateCheck(setup.data(), setup.shape(0), state.data(), state.shape(0), expected);
    if (expected[0] != check.data()[0] || expected[1] != check.data()[1]) refuse();
    if (setup.shape(0) > 0 && setup.data()[0] != eeg::kStateVersion) {
      char text[200];
      std::snprintf(
          text, sizeof text,
          "S was made by another version of eegmex.Decimator (its settings are version %g; this one "
          "reads version %g): make a new one with eegmex.Decimator(hdr, ...)",
          setup.data()[0], eeg::kStateVersion);
      throw py::value_error(text);
    }
    setup_.assign(setup.data(), setup.data() + setup.shape(0));
    const int64_t nSel = setup_.size() > 3 ? static_cast<int64_t>(setup_[3]) : 0;
    if (!(nSel >= 0 && nSel <= static_cast<int64_t>(setup_.size()))) refuse();
    channels_.assign(static_cast<size_t>(nSel) + 1, 0);
    if (!eeg::unpackSettings(setup_.data(), static_cast<int64_t>(setup_.size()), settings_, channels_.data(),
                             nSel))
      refuse();
    const double* s = state.data();
    if (state.shape(0) < eeg::kStateHead ||
        !(s[0] >= 0 && s[0] <= 9007199254740992.0 && s[0] == std::floor(s[0])))
      refuse();
    if (!d_.setup(settings_.setup)) throw std::bad_alloc();
    if (state.shape(0) != eeg::kStateHead + d_.decimator().stateSize()) refuse();
    d_.decimator().restoreState(s + eeg::kStateHead, static_cast<int64_t>(s[0]));
    state_[0] = 0;
    state_[1] = s[1];
    state_[2] = s[2];
  }

  // The chunk as an array the engine reads where it lies, or a float64 copy of other numbers.
  py::array chunk(py::handle xIn) const {
    py::array x = py::isinstance<py::array>(xIn)
                      ? py::reinterpret_borrow<py::array>(xIn)
                      : py::array(py::module_::import("numpy").attr("asarray")(xIn));
    const char kind = x.dtype().kind();
    const auto size = x.dtype().itemsize();
    if (kind == 'c')
      throw py::type_error("x must be real; it is complex (" + std::string(py::str(x.dtype())) + ")");
    if (kind != 'f' && kind != 'i' && kind != 'u')
      throw py::type_error("x must be an array of numbers; its dtype is " + std::string(py::str(x.dtype())));
    const char order = x.dtype().byteorder();
    const bool native = order == '=' || order == '|' || order == (hostBigEndian() ? '>' : '<');
    const bool direct =
        native && ((kind == 'f' && (size == 8 || size == 4)) || (kind == 'i' && (size == 2 || size == 4)));
    bool whole = true;
    for (py::ssize_t d = 0; d < x.ndim(); ++d) whole = whole && x.strides(d) % size == 0;
    if (!direct || !whole) x = py::array(x.attr("astype")("float64"));  // exact for every integer up to 2^53
    return x;
  }

  void describe(const py::array& x, eeg::ChunkView& view, int64_t& frames) const {
    const int nChans = d_.nChans();
    if (x.size() == 0 && x.ndim() <= 2 && (x.ndim() < 2 || x.shape(1) == nChans || x.shape(0) == 0)) {
      frames = 0;
      view.frames = 0;
      return;
    }
    if (x.ndim() != 2 || x.shape(1) != nChans)
      throw py::value_error("x must have shape (frames, " + std::to_string(nChans) +
                            "): a row per frame and a column per channel; its shape is " +
                            std::string(py::str(x.attr("shape"))));
    const auto size = x.dtype().itemsize();
    const char kind = x.dtype().kind();
    view.data = x.data();
    view.type = kind == 'f' ? (size == 8 ? eeg::ChunkType::float64 : eeg::ChunkType::float32)
                            : (size == 2 ? eeg::ChunkType::int16 : eeg::ChunkType::int32);
    frames = x.shape(0);
    view.frames = frames;
    view.frameStep = x.strides(0) / size;
    view.channelStep = x.strides(1) / size;
  }

  eeg::ChunkDecimator d_;
  eeg::ChunkSettings settings_;
  std::vector<double> setup_;
  std::vector<int32_t> channels_;
  double state_[eeg::kStateHead] = {0, NAN, 0};
  py::array gaps_ = py::array_t<double, py::array::f_style>(std::vector<py::ssize_t>{0, 2});
  pyhost::ObjectLock lock_;  // of everything above
};

}  // namespace

void bindDecimator(py::module_& m) {
  py::class_<PyChunkDecimator>(
      m, "ChunkDecimator",
      "The chunk decimator of one stream (use eegmex.Decimator): made from eegmex_decimate's "
      "state (setup, state, check).")
      .def(py::init<const Doubles&, const Doubles&, const Doubles&>(), py::arg("setup"), py::arg("state"),
           py::arg("check"))
      .def("push", &PyChunkDecimator::push, py::arg("x"), py::arg("timestamps") = py::none(),
           "Pushes a chunk (frames x nChans): returns its rows; with timestamps (rows, times).")
      .def_property_readonly(
          "gaps", &PyChunkDecimator::gaps,
          "The gaps of the last push with timestamps: rows [stream frame from 1, jump in s].")
      .def("state", &PyChunkDecimator::state, "The state as (setup, state, check).")
      .def("reset", &PyChunkDecimator::reset, "Back to frame 0 with zero filter state.")
      .def_property_readonly("frames", &PyChunkDecimator::frames, "Frames pushed so far.")
      .def_property_readonly("n_chans", &PyChunkDecimator::nChans, "Columns a chunk has.");
}
