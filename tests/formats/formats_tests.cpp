// The readers of recording files on what the Octave suites against MNE-Python do not reach:
// damaged bytes, hostile counts, and files read while a writer is half way through a line or a
// record.
#include <gtest/gtest.h>
#if defined(__linux__)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "brainvision.h"
#include "edf.h"
#include "follow.h"

using namespace eegfmt;

namespace {

std::string tempPath(const char* name) { return testing::TempDir() + name; }

void writeFile(const std::string& path, const std::string& bytes, const char* mode = "wb") {
  std::FILE* f = std::fopen(path.c_str(), mode);
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::string field(const std::string& text, size_t width) {
  std::string f = text.substr(0, width);
  f.resize(width, ' ');
  return f;
}

// A BDF file of `records` one-second records: channel 1 "EEG" (8 samples), "Status" (8 samples,
// low 16 bits from `status`), and with `tals` an annotation channel (60 bytes a record).
std::string bdf(int records, const std::vector<unsigned>& status, const std::vector<std::string>& tals = {}) {
  const bool plus = !tals.empty();
  const int ns = plus ? 3 : 2;
  std::string h = "\xff" + field("BIOSEMI", 7) + field("X", 80) + field("Y", 80) + "01.02.03" + "04.05.06" +
                  field(std::to_string(256 * (ns + 1)), 8) + field(plus ? "BDF+C" : "24BIT", 44) +
                  field(std::to_string(records), 8) + field("1", 8) + field(std::to_string(ns), 4);
  const std::vector<std::string> labels = {"EEG", "Status", "BDF Annotations"};
  const std::vector<int> samples = {8, 8, 20};
  const auto each = [&](auto value, size_t width) {
    for (int c = 0; c < ns; ++c) h += field(value(c), width);
  };
  each([&](int c) { return labels[c]; }, 16);
  each([](int) { return std::string(); }, 80);
  each([](int) { return std::string("uV"); }, 8);
  each([](int) { return std::string("-8388608"); }, 8);
  each([](int) { return std::string("8388607"); }, 8);
  each([](int) { return std::string("-8388608"); }, 8);
  each([](int) { return std::string("8388607"); }, 8);
  each([](int) { return std::string(); }, 80);
  each([&](int c) { return std::to_string(samples[c]); }, 8);
  each([](int) { return std::string(); }, 32);
  for (int r = 0; r < records; ++r) {
    for (int k = 0; k < 8; ++k) h += std::string("\x01\x02\x03", 3);
    for (int k = 0; k < 8; ++k) {
      const unsigned v = status[static_cast<size_t>(r * 8 + k)];
      h += static_cast<char>(v & 0xFF);
      h += static_cast<char>((v >> 8) & 0xFF);
      h += '\xF0';  // the amplifier's own bits
    }
    if (plus) {
      std::string a = "+" + std::to_string(r) + "\x14\x14" + '\0' + tals[static_cast<size_t>(r)];
      a.resize(60, '\0');
      h += a;
    }
  }
  return h;
}

}  // namespace

TEST(Tals, SkipBytesThatAreNoListAndKeepEveryText) {
  std::vector<Tal> tals;
  const std::string bytes = std::string("junk+x\x14") + '\0' + "+0\x14\x14" + '\0' + "-1.5\x15" +
                            "2.\x14on\x14off\x14" + '\0' + "+3\x14no end" + '\0' + "+4\x14" + '\0';
  scanTals(bytes, tals);
  ASSERT_EQ(tals.size(), 2u);
  EXPECT_EQ(tals[0].onset, 0);
  ASSERT_EQ(tals[0].texts.size(), 1u);
  EXPECT_TRUE(tals[0].texts[0].empty());
  EXPECT_EQ(tals[1].onset, -1.5);
  EXPECT_EQ(tals[1].duration, 2);
  ASSERT_EQ(tals[1].texts.size(), 2u);
  EXPECT_EQ(tals[1].texts[1], "off");
}

TEST(EdfHeader, HostileCountsAreRefusedByField) {
  std::string file = bdf(1, std::vector<unsigned>(8, 0));
  EdfHeader h;
  Problem p;
  int64_t more = 0;
  ASSERT_FALSE(parseEdfHeader(std::string_view(file).substr(0, 256), int64_t(file.size()), h, more, p));
  EXPECT_EQ(more, 768);  // the signal headers are needed too
  ASSERT_TRUE(parseEdfHeader(file, int64_t(file.size()), h, more, p)) << p.text;
  EXPECT_EQ(h.statusChan, 1);
  EXPECT_EQ(h.fs, 8);

  std::string huge = file;
  huge.replace(256 + 216 * 2, 8, field("1e30", 8));  // samples per record of signal 1
  EXPECT_FALSE(parseEdfHeader(huge, int64_t(huge.size()), h, more, p));
  EXPECT_NE(p.text.find("signal 1 (EEG): number of samples in each data record"), std::string::npos)
      << p.text;
  huge.replace(256 + 216 * 2, 16, field("2e9", 8) + field("2e9", 8));
  EXPECT_FALSE(parseEdfHeader(huge, int64_t(huge.size()), h, more, p));
  EXPECT_NE(p.text.find("more than 1 GiB"), std::string::npos) << p.text;

  std::string rounded = file;  // one sample per record at 256 Hz, its duration rounded to 8 characters
  rounded.replace(244, 8, ".0039063");
  rounded.replace(256 + 216 * 2, 16, field("1", 8) + field("1", 8));
  ASSERT_TRUE(parseEdfHeader(rounded, int64_t(rounded.size()), h, more, p)) << p.text;
  EXPECT_EQ(h.fs, 256);
}

TEST(FollowMarkers, HalfWrittenLinesWaitAndAShorterFileStartsOver) {
  const std::string path = tempPath("follow.vmrk");
  const std::string text =
      "Brain Vision Data Exchange Marker File, Version 1.0\r\n[Marker Infos]\r\nMk1=Stimulus,S  1,10,1,0\r\n"
      "Mk2=Stimulus,S  2,500,1,0\r\nMk3=Response,R  1,20,1,0\r\n";
  FollowState st;
  StartOver why;
  std::vector<Marker> got, all;
  Problem p;
  for (size_t at = 0; at <= text.size(); at += 7) {  // "\r\n" cut in two, lines cut anywhere
    writeFile(path, text.substr(0, std::min(at, text.size())));
    ASSERT_TRUE(followMarkers(path, st, 100, got, why, p)) << p.text;
    all.insert(all.end(), got.begin(), got.end());
  }
  writeFile(path, text);
  ASSERT_TRUE(followMarkers(path, st, 100, got, why, p)) << p.text;
  all.insert(all.end(), got.begin(), got.end());
  ASSERT_EQ(all.size(), 1u);  // Mk2 is past the frames read, and the marker after it waits with it
  ASSERT_TRUE(followMarkers(path, st, 1e9, got, why, p));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].description, "R  1");
  EXPECT_EQ(why, StartOver::no);

  writeFile(path, text.substr(0, 60));
  ASSERT_TRUE(followMarkers(path, st, 1e9, got, why, p));
  EXPECT_EQ(why, StartOver::shorter);
}

TEST(FollowRecords, StatusEventsOverGrowthAreTheWholeFilesWithDurationsOnceKnown) {
  std::vector<unsigned> status(8 * 6, 0);
  for (int k = 6; k < 11; ++k) status[static_cast<size_t>(k)] = 3;  // across the first record's end
  for (int k = 20; k < 21; ++k) status[static_cast<size_t>(k)] = 0x10005;
  for (int k = 30; k < 48; ++k) status[static_cast<size_t>(k)] = 7;  // until the end
  const std::vector<std::string> tals = {"", std::string("+1.25\x14stim\x14") + '\0', "", "", "", ""};
  const std::string file = bdf(6, status, tals);
  const std::string path = tempPath("follow.bdf");
  writeFile(path, file);
  EdfHeader h;
  std::vector<EdfEvent> want;
  Problem p;
  ASSERT_TRUE(readEdf(path, h, &want, p)) << p.text;
  ASSERT_EQ(want.size(), 4u);
  EXPECT_EQ(want[0].duration, 5.0 / 8);
  EXPECT_EQ(want[2].statusWord, double(0xF00005));  // the low 16 bits, and the upper 8 as written
  EXPECT_EQ(want[3].duration, 18.0 / 8);

  const RecordLayout layout = recordLayout(path, h);
  FollowState st;
  StartOver why;
  std::vector<EdfEvent> got, all;
  const size_t recordBytes = static_cast<size_t>(h.recordBytes);
  for (int r = 0; r <= 6; ++r) {
    writeFile(path, file.substr(0, static_cast<size_t>(h.headerBytes) + r * recordBytes + (r < 6 ? 5 : 0)));
    ASSERT_TRUE(followRecords(layout, st, r * 8, got, why, p)) << p.text;
    for (const EdfEvent& e : got) EXPECT_LE(e.position, r * 8);
    all.insert(all.end(), got.begin(), got.end());
  }
  ASSERT_EQ(all.size(), want.size());
  for (size_t k = 0; k < all.size(); ++k) {
    EXPECT_EQ(all[k].onset, want[k].onset);
    EXPECT_EQ(all[k].text, want[k].text);
    EXPECT_EQ(all[k].position, want[k].position);
    if (!std::isnan(all[k].duration)) {
      EXPECT_EQ(all[k].duration, want[k].duration);
    }
  }
  EXPECT_TRUE(std::isnan(all[3].duration));  // still on at the end of the file
}

// ---- hostile inputs: linear time, memory bounded by the header, a state a caller changed

namespace {

double secondsOf(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

// The bounds are ten or more times what a linear reader takes on a loaded machine; a reader that
// compares each list or key with the rest takes longer than the bound (9 to 20 s in a plain build).
TEST(HostileInput, ListsWithoutTheirNulAndManyChannelKeysTakeLinearTime) {
  std::string lists;
  while (lists.size() < 1600000) lists += "+1\x14";
  std::vector<Tal> tals;
  EXPECT_LT(secondsOf([&] { scanTals(lists, tals); }), 3.0);
  EXPECT_TRUE(tals.empty());

  const std::string folder = testing::TempDir();
  writeFile(folder + "many.eeg", "");
  std::string h =
      "Brain Vision Data Exchange Header File Version 1.0\n[Common "
      "Infos]\nDataFile=many.eeg\nMarkerFile=m.vmrk\n"
      "DataFormat=BINARY\nDataOrientation=MULTIPLEXED\nNumberOfChannels=80000\nSamplingInterval=1000\n"
      "[Binary Infos]\nBinaryFormat=INT_16\n[Channel Infos]\n";
  for (int k = 80000; k >= 1; --k) h += "Ch" + std::to_string(k) + "=E" + std::to_string(k) + ",,0.5,uV\n";
  VhdrHeader header;
  Problem p;
  bool ok = false;
  EXPECT_LT(secondsOf([&] { ok = parseVhdr(h, folder + "many.vhdr", header, p); }), 6.0);
  ASSERT_TRUE(ok) << p.text;
  EXPECT_EQ(header.label.size(), 80000u);
  EXPECT_EQ(header.label[79999], "E80000");
  h += "ch17=again,,1\n";  // a key given twice is still found, in any case
  ASSERT_FALSE(parseVhdr(h, folder + "many.vhdr", header, p));
  EXPECT_NE(p.text.find("gives ch17 a second time"), std::string::npos) << p.text;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define EEGMEX_NO_RLIMIT_TEST
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define EEGMEX_NO_RLIMIT_TEST
#endif
#endif

// A data file given as a header or a marker file is refused after its first bytes: in a process
// that may not take 256 MiB more, a 1 GiB file (sparse) is refused by its first line.
TEST(HostileInput, AFileOfAnotherKindIsRefusedByItsFirstLine) {
#if defined(EEGMEX_NO_RLIMIT_TEST) || !defined(__linux__)
  GTEST_SKIP() << "address space limits are not kept under a sanitizer";
#else
  const std::string path = tempPath("big.eeg");
  writeFile(path, std::string("\x01\x02\x80\xff", 4) + "Brain Vision? no\n");
  ASSERT_EQ(truncate(path.c_str(), off_t(1) << 30), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    long pages = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f || std::fscanf(f, "%ld", &pages) != 1) _exit(3);
    std::fclose(f);
    const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (rlim_t(256) << 20);
    const rlimit r = {limit, limit};
    if (setrlimit(RLIMIT_AS, &r) != 0) _exit(3);
    VhdrHeader h;
    std::vector<Marker> m;
    Problem p, q, s;
    FollowState st;
    StartOver why;
    const bool refused = !readVhdr(path, h, p) && p.kind == ProblemKind::damaged &&
                         p.text.find("the first line is not a BrainVision header line") == 0 &&
                         p.text.size() < 200 && !readVmrk(path, m, q) &&
                         q.text.find("the first line is not a BrainVision marker line") == 0 &&
                         !followMarkers(path, st, 1e9, m, why, s) && s.text == q.text;
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  std::remove(path.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << "the reader ran out of its address space (signal " << WTERMSIG(status)
                                 << ")";
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(HostileInput, AStateWithNumbersNoCallGaveIsRefusedByField) {
  const std::string path = tempPath("state.vmrk");
  writeFile(
      path,
      "Brain Vision Data Exchange Marker File, Version 1.0\n[Marker Infos]\nMk1=Stimulus,S  1,10,1,0\n");
  FollowState st;
  StartOver why;
  std::vector<Marker> got;
  Problem p;
  ASSERT_TRUE(followMarkers(path, st, 1e9, got, why, p)) << p.text;
  ASSERT_EQ(got.size(), 1u);
  for (bool markers : {true, false}) {
    std::vector<std::pair<const char*, double>> numbers = stateNumbers(st, markers);
    const auto with = [&](const char* name, double v) {
      return [&numbers, name, v](const char* n, double& out) {
        for (const auto& f : numbers)
          if (std::strcmp(f.first, n) == 0) out = std::strcmp(n, name) == 0 ? v : f.second;
        return std::strcmp(n, "missing") != 0;
      };
    };
    FollowState back;
    std::string bad;
    ASSERT_TRUE(stateFromNumbers(markers, with("", 0), back, bad)) << bad;
    EXPECT_EQ(stateNumbers(back, markers), numbers);
    const std::vector<std::pair<const char*, double>> hostile = {
        {"point", NAN}, {"point", -1},      {"point", 1e300},         {"point", 0.5},
        {"checkAt", 0}, {"headBytes", 1e9}, {"checkDigest", INFINITY}};
    for (const auto& [name, v] : hostile) {
      EXPECT_FALSE(stateFromNumbers(markers, with(name, v), back, bad)) << name << " " << v;
      EXPECT_EQ(bad, name);
    }
    const auto& place = markers ? std::vector<std::pair<const char*, double>>{{"line", 1e6},
                                                                              {"section", 3},
                                                                              {"codePage", -1},
                                                                              {"lineEnd", 9}}
                                : std::vector<std::pair<const char*, double>>{{"statusNext", -8},
                                                                              {"statusPrevious", 65536},
                                                                              {"annRecord", 1e300},
                                                                              {"annSkip", NAN},
                                                                              {"firstOnset", INFINITY}};
    for (const auto& [name, v] : place) {
      EXPECT_FALSE(stateFromNumbers(markers, with(name, v), back, bad)) << name << " " << v;
      EXPECT_EQ(bad, name);
    }
  }
}

// ---- the record duration, a scale that is unknown, the start time

TEST(EdfHeader, ADurationWrittenExactlyInEightCharactersIsExact) {
  // 250 samples a second in one-second records, the duration in 8 characters: exact, as written
  std::string file = bdf(1, std::vector<unsigned>(8, 0));
  file.replace(256 + 216 * 2, 16, field("250", 8) + field("250", 8));
  file.resize(static_cast<size_t>(768 + 250 * 2 * 3));
  EdfHeader h;
  Problem p;
  int64_t more = 0;
  for (const char* duration : {"+1.0E+00", "00000001", "1.000000", "1"}) {
    file.replace(244, 8, field(duration, 8));
    ASSERT_TRUE(parseEdfHeader(file, int64_t(file.size()), h, more, p)) << p.text;
    EXPECT_EQ(h.fs, 250) << duration;
  }
  file.replace(256 + 216 * 2, 16, field("1", 8) + field("1", 8));
  file.replace(244, 8, ".0039063");  // cut off: still the simplest rate of the rounding window
  ASSERT_TRUE(parseEdfHeader(file, int64_t(file.size()), h, more, p)) << p.text;
  EXPECT_EQ(h.fs, 256);
}

TEST(EdfHeader, AChannelWithoutAScaleIsReportedAndTheOthersRead) {
  std::string file = bdf(1, std::vector<unsigned>(8, 0));
  file.replace(256 + 104 * 2, 8, field("5", 8));  // physical minimum of EEG
  file.replace(256 + 112 * 2, 8, field("5", 8));  // and its maximum
  EdfHeader h;
  Problem p;
  int64_t more = 0;
  ASSERT_TRUE(parseEdfHeader(file, int64_t(file.size()), h, more, p)) << p.text;
  EXPECT_EQ(h.unknownScale, std::vector<int>{0});
  EXPECT_TRUE(std::isnan(h.signals[0].scale) && std::isnan(h.signals[0].offset));
  EXPECT_EQ(h.signals[1].scale, 1);
  EXPECT_EQ(h.unknownScaleWarning.find("signal 1 (EEG): physical minimum 5 and maximum 5 are equal"), 0u)
      << h.unknownScaleWarning;
}

TEST(EdfHeader, TheStartTimeCarriesTheFirstOnsetThroughTheCalendar) {
  struct Case {
    double start[6], seconds, want[6];
  };
  const Case cases[] = {
      {{2003, 2, 1, 23, 59, 3}, 3630.5, {2003, 2, 2, 0, 59, 33.5}},
      {{2023, 12, 31, 23, 59, 59}, 1.25, {2024, 1, 1, 0, 0, 0.25}},
      {{2024, 2, 28, 23, 0, 0}, 7200, {2024, 2, 29, 1, 0, 0}},
      {{2100, 2, 28, 23, 0, 0}, 7200, {2100, 3, 1, 1, 0, 0}},
      {{2024, 3, 1, 0, 0, 0}, -0.5, {2024, 2, 29, 23, 59, 59.5}},
      {{2024, 5, 6, 7, 8, 9}, 0.125, {2024, 5, 6, 7, 8, 9.125}},
  };
  for (const Case& c : cases) {
    double t[6];
    std::copy(c.start, c.start + 6, t);
    addSeconds(t, c.seconds);
    EXPECT_EQ(std::vector<double>(t, t + 6), std::vector<double>(c.want, c.want + 6)) << c.seconds;
  }
}

// ---- a finished marker file, line ends, code pages: the follower gives the whole-file reader's

namespace {

std::vector<std::string> keys(const std::vector<Marker>& ms) {
  std::vector<std::string> out;
  for (const Marker& m : ms) out.push_back(m.type + "|" + m.description + "|" + std::to_string(m.position));
  return out;
}

}  // namespace

TEST(FollowMarkers, AFinishedFileGivesItsLastLineAndCrOnlyLinesComeAsTheyAreWritten) {
  const std::string path = tempPath("ends.vmrk");
  const std::string lines[] = {"Brain Vision Data Exchange Marker File, Version 1.0",
                               "[Common Infos]",
                               "Codepage=ANSI",
                               "[Marker Infos]",
                               "Mk1=Stimulus,S  1,10,1,0",
                               "Mk2=Comment,\x80 \xb5V \x81,20,1,0",
                               "Mk3=Response,R  1,30,1,0"};
  for (const char* end : {"\r", "\n", "\r\n"}) {
    for (bool lastEnd : {true, false}) {
      std::string text;
      for (const std::string& l : lines) text += l + end;
      if (!lastEnd) text.resize(text.size() - std::strlen(end));
      writeFile(path, text);
      std::vector<Marker> whole, got, all;
      Problem p;
      ASSERT_TRUE(readVmrk(path, whole, p)) << p.text;
      ASSERT_EQ(whole.size(), 3u);
      EXPECT_EQ(whole[1].description, "\xE2\x82\xAC \xC2\xB5V \xC2\x81");  // byte by byte: €, µ, U+0081
      FollowState st;
      StartOver why;
      // written in pieces that end anywhere: a line is taken once its end is written (a CR alone
      // once the file's first line end was a CR alone), the last line without an end once the file
      // is finished
      for (size_t at = 1; at < text.size() + 3; at += 3) {
        writeFile(path, text.substr(0, std::min(at, text.size())));
        ASSERT_TRUE(followMarkers(path, st, 1e9, got, why, p)) << p.text;
        all.insert(all.end(), got.begin(), got.end());
      }
      EXPECT_EQ(all.size(), lastEnd ? 3u : 2u) << "line end " << int(end[0]) << " " << lastEnd;
      ASSERT_TRUE(followMarkers(path, st, INFINITY, got, why, p)) << p.text;
      all.insert(all.end(), got.begin(), got.end());
      EXPECT_EQ(keys(all), keys(whole)) << "line end " << int(end[0]) << " " << lastEnd;
      EXPECT_EQ(why, StartOver::no);
    }
  }
}
