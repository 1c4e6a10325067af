// The readers of recording files on what the Octave suites against MNE-Python do not reach:
// damaged bytes, hostile counts, and files read while a writer is half way through a line or a
// record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
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

RecordLayout layoutOf(const std::string& path, const EdfHeader& h) {
  RecordLayout l;
  l.path = path;
  l.dataOffset = h.headerBytes;
  l.bytesPerSample = h.bytesPerSample;
  for (const EdfSignal& s : h.signals) {
    l.recordSamples.push_back(s.samples);
    l.annotation.push_back(s.annotation);
  }
  l.statusChan = h.statusChan;
  l.fs = h.fs;
  l.statusRate = h.signals[static_cast<size_t>(h.statusChan)].rate;
  return l;
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

  const RecordLayout layout = layoutOf(path, h);
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
