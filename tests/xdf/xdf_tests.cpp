// The XDF reader: the same samples and times as an independent loader on the files write_xdf.py
// writes (several streams interleaved, clock offsets, string markers, every value format); a file
// listed while it grows in random pieces lists as the whole; and damaged files stop with a message
// that names the chunk's offset.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "xdf.h"
#if EEGMEX_LIBXDF
#include EEGMEX_LIBXDF_HEADER
#endif

using namespace eegfmt;

namespace {

std::string filesDir() {
  const char* d = std::getenv("XDF_FILES");
  return d ? d : "";
}

std::string readAll(const std::string& path) {
  std::string bytes;
  Problem p;
  EXPECT_TRUE(readWholeFile(path, bytes, p)) << path;
  return bytes;
}

void writeFile(const std::string& path, const std::string& bytes, const char* mode = "wb") {
  std::FILE* f = std::fopen(path.c_str(), mode);
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

struct Read {
  std::vector<double> values, raw, times;  // values sample by sample
  std::vector<std::string> texts;
};

Read readStream(const std::string& path, const XdfStream& s) {
  Read r;
  InputFile file;
  EXPECT_TRUE(file.open(path));
  Problem p;
  std::vector<std::string> t;
  EXPECT_TRUE(walkSamples(
      file, s, 0, s.sampleCount, 0,
      [&](int64_t, double time, const unsigned char* v, size_t n) {
        r.raw.push_back(time);
        if (s.format == XdfFormat::string) {
          EXPECT_TRUE(xdfTexts(v, n, t));
          r.texts.insert(r.texts.end(), t.begin(), t.end());
        } else {
          for (int k = 0; k < s.channelCount; ++k)
            r.values.push_back(xdfValue(s.format, v + k * xdfValueBytes(s.format)));
        }
      },
      p))
      << p.text;
  r.times = r.raw;
  correctedTimes(s, r.times.data(), r.times.size());
  return r;
}

// ---- a few chunks by hand, for the damaged files

std::string le(uint64_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += char(v >> (8 * i) & 0xFF);
  return s;
}
std::string chunk(uint16_t tag, const std::string& content, int width = 4) {
  return std::string(1, char(width)) + le(content.size() + 2, width) + le(tag, 2) + content;
}
std::string header(uint32_t id, const std::string& format = "int16", int channels = 2,
                   const std::string& extra = "") {
  return chunk(2, le(id, 4) + "<?xml version=\"1.0\"?><info><name>S" + std::to_string(id) +
                      "</name><type>EEG</type><channel_count>" + std::to_string(channels) +
                      "</channel_count><nominal_srate>100</nominal_srate><channel_format>" + format +
                      "</channel_format>" + extra + "</info>");
}
std::string samples(uint32_t id, int n, int channels = 2, double t0 = 5) {
  std::string c = le(id, 4) + "\x01" + char(n);
  for (int i = 0; i < n; ++i) {
    double t = t0 + i * 0.01;
    uint64_t bits;
    std::memcpy(&bits, &t, 8);
    c += i % 3 == 0 ? "\x08" + le(bits, 8) : std::string(1, '\0');
    for (int k = 0; k < channels; ++k) c += le(uint16_t(i * 10 + k), 2);
  }
  return chunk(3, c);
}
const std::string kFileHeader = chunk(1, "<?xml version=\"1.0\"?><info><version>1.0</version></info>");

bool scanBytes(const std::string& bytes, XdfFile& f, Problem& p) {
  const std::string path = testing::TempDir() + "xdf_case.xdf";
  writeFile(path, bytes);
  return scanXdf(path, f, p);
}

}  // namespace

#if EEGMEX_LIBXDF
// Every file of the set against the loader: numeric streams' samples (as its single-precision values)
// and time stamps with clock offsets, bit for bit; string streams as its events (text, time, stream).
TEST(XdfOracle, SamplesAndTimesMatchTheLoader) {
  const std::string dir = filesDir();
  ASSERT_FALSE(dir.empty()) << "XDF_FILES is not set";
  for (const char* name :
       {"eeg_markers.xdf", "int32_wide.xdf", "float32.xdf", "double64.xdf", "int8.xdf", "int64.xdf"}) {
    SCOPED_TRACE(name);
    const std::string path = dir + "/" + name;
    XdfFile f;
    Problem p;
    ASSERT_TRUE(scanXdf(path, f, p)) << p.text;
    EXPECT_EQ(f.truncatedWarning, "");
    Xdf oracle;
    ASSERT_EQ(oracle.load_xdf(path), 0);
    ASSERT_EQ(oracle.streams.size(), f.streams.size());
    size_t events = 0;
    for (size_t k = 0; k < f.streams.size(); ++k) {
      const XdfStream& s = f.streams[k];
      const Xdf::Stream& o = oracle.streams[k];
      EXPECT_EQ(s.name, o.info.name);
      EXPECT_EQ(s.channelCount, o.info.channel_count);
      EXPECT_EQ(s.nominalRate, o.info.nominal_srate);
      EXPECT_EQ(s.formatText, o.info.channel_format);
      EXPECT_TRUE(s.footer);
      const Read r = readStream(path, s);
      ASSERT_EQ(r.raw.size(), size_t(s.sampleCount));
      if (s.sampleCount > 0) {
        EXPECT_EQ(s.firstTime, r.raw.front());
        EXPECT_EQ(s.lastTime, r.raw.back());
      }
      if (s.format == XdfFormat::string) {
        for (int64_t i = 0; i < s.sampleCount; ++i, ++events) {
          ASSERT_LT(events, oracle.eventMap.size());
          EXPECT_EQ(oracle.eventMap[events].first.first, r.texts[size_t(i)]);
          EXPECT_EQ(oracle.eventMap[events].first.second, r.times[size_t(i)]) << i;
          EXPECT_EQ(size_t(oracle.eventMap[events].second), k);
        }
        continue;
      }
      ASSERT_EQ(o.time_stamps.size(), size_t(s.sampleCount));
      ASSERT_EQ(o.time_series.size(), size_t(s.channelCount));
      for (int64_t i = 0; i < s.sampleCount; ++i) {
        ASSERT_EQ(o.time_stamps[size_t(i)], r.times[size_t(i)]) << "sample " << i;
        for (int c = 0; c < s.channelCount; ++c)
          ASSERT_EQ(o.time_series[size_t(c)][size_t(i)], float(r.values[size_t(i * s.channelCount + c)]))
              << "sample " << i << " channel " << c;
      }
    }
    EXPECT_EQ(events, oracle.eventMap.size());
  }
}
#endif

// The writer's labels, units, offsets, and first values are those listed.
TEST(XdfList, StreamInfoAsWritten) {
  const std::string path = filesDir() + "/eeg_markers.xdf";
  XdfFile f;
  Problem p;
  ASSERT_TRUE(scanXdf(path, f, p)) << p.text;
  ASSERT_EQ(f.streams.size(), 2u);
  const XdfStream& eeg = f.streams[0];
  EXPECT_EQ(eeg.id, 1u);
  EXPECT_EQ(eeg.type, "EEG");
  EXPECT_EQ(eeg.labels, (std::vector<std::string>{"Fp1", "Fz", "C&3", "Oz"}));
  EXPECT_EQ(eeg.units[2], "microvolts");
  EXPECT_EQ(eeg.sampleCount, 2000);
  EXPECT_EQ(eeg.chunks.size(), 20u);
  EXPECT_EQ(eeg.firstTime, 1000.25);
  EXPECT_EQ(eeg.offsetTimes, (std::vector<double>{990, 992, 994, 996, 998}));
  const XdfStream& mk = f.streams[1];
  EXPECT_EQ(mk.id, 7u);
  EXPECT_EQ(mk.format, XdfFormat::string);
  EXPECT_EQ(mk.nominalRate, 0);
  const Read r = readStream(path, mk);
  ASSERT_FALSE(r.texts.empty());
  EXPECT_EQ(r.texts[1], "stim 1");
  EXPECT_EQ(r.raw[1], 1000.25 + 0.5 + 0.37);
  // Clock offsets: the last measurement collected before each time, the first one before them all.
  XdfStream s;
  s.offsetTimes = {10, 20};
  s.offsetValues = {0.5, -1};
  std::vector<double> t = {5, 10, 15, 20, 25};
  correctedTimes(s, t.data(), t.size());
  EXPECT_EQ(t, (std::vector<double>{5.5, 10.5, 15.5, 20.5, 24}));
}

// A file listed while a writer appends it in random pieces (chunks cut anywhere) lists, piece by piece,
// as the whole file does once it is whole; every listing in between holds the whole chunks written.
TEST(XdfGrowth, RandomPiecesListAsTheWhole) {
  const std::string whole = readAll(filesDir() + "/eeg_markers.xdf");
  ASSERT_GT(whole.size(), 1000u);
  XdfFile all;
  Problem p;
  ASSERT_TRUE(scanBytes(whole, all, p)) << p.text;
  std::mt19937 rng(11);
  const std::string path = testing::TempDir() + "xdf_growing.xdf";
  for (int round = 0; round < 4; ++round) {
    writeFile(path, "");
    XdfFile f;
    size_t at = 0;
    while (at < whole.size()) {
      const size_t piece = std::min(whole.size() - at, size_t(1 + rng() % (round == 0 ? 40 : 3000)));
      writeFile(path, whole.substr(at, piece), "ab");
      at += piece;
      InputFile file;
      ASSERT_TRUE(file.open(path));
      if (at < 4) continue;
      ASSERT_TRUE(continueXdf(file, f, true, p)) << p.text << " at " << at;
      EXPECT_EQ(f.wholeBytes == int64_t(at), f.truncatedWarning.empty());
    }
    ASSERT_EQ(f.streams.size(), all.streams.size());
    for (size_t k = 0; k < all.streams.size(); ++k) {
      const XdfStream &a = all.streams[k], &b = f.streams[k];
      EXPECT_EQ(a.sampleCount, b.sampleCount);
      EXPECT_EQ(a.chunks.size(), b.chunks.size());
      EXPECT_EQ(a.offsetValues, b.offsetValues);
      EXPECT_EQ(a.firstTime, b.firstTime);
      EXPECT_EQ(a.lastTime, b.lastTime);
      EXPECT_EQ(a.footer, b.footer);
    }
  }
}

// Damaged files: a clear message naming the chunk's byte offset, never a crash; a chunk cut by the
// end of the file ends the listing there with a warning.
TEST(XdfDamaged, MessagesNameTheChunk) {
  const std::string good = "XDF:" + kFileHeader + header(3) + samples(3, 7);
  const int64_t third = int64_t(4 + kFileHeader.size() + header(3).size());
  struct Case {
    std::string bytes, kind, text;
  } cases[] = {
      {"XDG:" + kFileHeader, "damaged", "does not start with \"XDF:\""},
      {good + chunk(9, "abc"), "damaged", "chunk at byte " + std::to_string(good.size()) + " has tag 9"},
      {"XDF:" + kFileHeader + samples(3, 7), "damaged",
       "chunk at byte " + std::to_string(4 + kFileHeader.size()) +
           " (Samples) is of stream 3, which has no header"},
      {"XDF:" + kFileHeader + header(3) + chunk(4, le(5, 4) + std::string(16, '\0')), "damaged",
       "(ClockOffset) is of stream 5, which has no header"},
      {"XDF:" + kFileHeader + chunk(2, le(3, 4) + "<info><name>x</nam></info>"), "damaged",
       "chunk at byte " + std::to_string(4 + kFileHeader.size()) +
           " (StreamHeader): XML not well formed at byte"},
      {"XDF:" + chunk(1, "<info>&bogus;</info>"), "damaged",
       "chunk at byte 4 (FileHeader): XML not well formed"},
      {"XDF:" + chunk(1, "<a></a><b/>"), "damaged", "content after the root element"},
      {"XDF:" + kFileHeader + header(3, "int16", 0), "damaged", "channel_count is not a whole number"},
      {"XDF:" + kFileHeader + header(3, "complex"), "unsupported", "channel_format \"complex\""},
      {"XDF:" + kFileHeader + header(3) + header(3), "damaged", "stream 3 has a header already"},
      {good + "\x03" + le(5, 3), "damaged", "its length takes 3 bytes"},
      {"XDF:" + kFileHeader + header(3) + chunk(3, le(3, 4) + "\x01\xff" + "xx"), "damaged",
       "chunk at byte " + std::to_string(third) + " (Samples) says it holds 255 samples"},
      {"XDF:" + kFileHeader + header(3) + chunk(3, le(3, 4) + "\x02\x01"), "damaged",
       "sample count takes 2 bytes"},
      {"XDF:" + kFileHeader + std::string("\x01\x01\x01\x00", 4), "damaged",
       "is less than its tag's 2 bytes"},
  };
  for (const Case& c : cases) {
    XdfFile f;
    Problem p;
    EXPECT_FALSE(scanBytes(c.bytes, f, p)) << c.text;
    EXPECT_STREQ(problemKindName(p.kind), c.kind.c_str()) << p.text;
    EXPECT_NE(p.text.find(c.text), std::string::npos) << p.text << "\n  expected: " << c.text;
  }
  // Cut by the end of the file, anywhere: the whole chunks before, and a warning naming the cut one.
  for (size_t cut = 1; cut < samples(3, 7).size(); cut += 5) {
    XdfFile f;
    Problem p;
    ASSERT_TRUE(scanBytes(good.substr(0, good.size() - cut), f, p)) << p.text;
    EXPECT_EQ(f.streams.at(0).sampleCount, 0);
    EXPECT_NE(f.truncatedWarning.find("chunk at byte " + std::to_string(third)), std::string::npos)
        << f.truncatedWarning;
  }
  // A length that runs far past the file is the same: the file ends before the chunk does.
  XdfFile f;
  Problem p;
  ASSERT_TRUE(scanBytes(good + "\x08" + le(uint64_t(1) << 62, 8) + le(3, 2) + "abc", f, p));
  EXPECT_NE(f.truncatedWarning.find("runs past the end of the file"), std::string::npos);
  EXPECT_EQ(f.streams.at(0).sampleCount, 7);
  // A time stamp of another size than 0 or 8, found where a listing walks the samples (the last chunk).
  std::string bad = "XDF:" + kFileHeader + header(3) + samples(3, 3);
  bad[bad.size() - 5] = '\x05';  // the last sample's time stamp size (no stamp: [0][2 values])
  EXPECT_FALSE(scanBytes(bad, f, p));
  EXPECT_NE(p.text.find("chunk at byte " + std::to_string(third) +
                        " (Samples): sample 2 of stream 3 has a time stamp of 5 bytes"),
            std::string::npos)
      << p.text;
}

// The XML reader's subset: entities, character references, CDATA, comments, attributes dropped.
TEST(XdfXml, TheSubsetHeadersUse) {
  XmlNode root;
  std::string error;
  ASSERT_TRUE(
      parseXml("\xEF\xBB\xBF<?xml version='1.0'?><!-- c --><info a=\"1\" b='&lt;'><name> A &amp; "
               "B&#33;&#x263A; </name>"
               "<desc><channels><channel><label><![CDATA[<x>]]></label></channel><channel/></channels></desc>"
               "<e/></info>\n",
               root, error))
      << error;
  EXPECT_EQ(root.name, "info");
  EXPECT_EQ(root.childText("name"), "A & B!\xE2\x98\xBA");
  EXPECT_EQ(root.child("desc")->child("channels")->children.size(), 2u);
  EXPECT_EQ(root.child("desc")->child("channels")->children[0].childText("label"), "<x>");
  for (const char* bad :
       {"", "<a>", "<a></b>", "<a b></a>", "<a b=1></a>", "x<a/>", "<a/>x", "<a>&#0;</a>", "<a><!--</a>"}) {
    EXPECT_FALSE(parseXml(bad, root, error)) << bad;
    EXPECT_NE(error.find("not well formed at byte"), std::string::npos);
  }
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<a>";
  EXPECT_FALSE(parseXml(deep, root, error));
  EXPECT_NE(error.find("nested too deep"), std::string::npos);
}
