// Untrusted input: one malformed stream per rule, each refused with its own code and without a
// read or write outside the buffers; every prefix of a valid frame fails cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "jpeg/jpeg_decoder.h"
#include "jpeg/jpeg_constants.h"
#include "jpeg/mjpeg_decoder.h"
#include "primitives/pool_object.h"
#include "support/codec_check.h"
#include "support/stream_builder.h"

namespace kvz::jpegtest {
namespace {

using Stream = std::vector<uint8_t>;

// The decoder state run by hand, so a test can name the step's own code.
struct Outcome {
  int32_t header = 0;
  int32_t decode = 0;
};
Outcome RunDecoder(const Stream& s, int32_t format = kPixelYuy2) {
  jpeg::JpegDecoder d = {};
  d.Reset();
  d.InstallStandardTables();
  d.SetInput(s.data(), static_cast<int32_t>(s.size()));
  Outcome run;
  run.header = d.ReadHeader();
  std::vector<uint8_t> out;
  if (run.header == jpeg::kJpegOk) {
    out.resize(static_cast<size_t>(jpeg::JpegOutputSize(format, d.width, d.height)));
    d.SetOutput(out.data(), format);
    run.decode = d.DecodeImage();
  }
  d.Release();
  d.FreeStandardTables();
  return run;
}

Stream Baseline() {
  EncodeOptions o;
  o.sampling = Sampling::k422;
  o.restartMcus = 1;
  return TurboEncode(MakePicture(33, 17), o);
}

Stream Progressive() {
  EncodeOptions o;
  o.sampling = Sampling::k420;
  o.progression = Progression::kSuccessive;
  return TurboEncode(MakePicture(33, 17), o);
}

// Offset of the byte `index` bytes after a segment's marker.
size_t At(const Stream& s, uint8_t code, size_t index) {
  const long offset = FindSegment(s, code);
  EXPECT_GE(offset, 0);
  return static_cast<size_t>(offset) + index;
}

void Erase(Stream* s, uint8_t code) {
  for (long at = FindSegment(*s, code); at >= 0 && (*s)[static_cast<size_t>(at) + 1] != 0xDA; at = FindSegment(*s, code)) {
    const size_t length = static_cast<size_t>((*s)[at + 2]) << 8 | (*s)[at + 3];
    s->erase(s->begin() + at, s->begin() + at + 2 + static_cast<long>(length));
    if (code == 0xDA) break;
  }
}

struct Malformed {
  const char* rule;
  std::function<Stream()> make;
  int32_t header;  // code of the header pass
  int32_t decode;  // code of the decode pass when the header passes
};

std::vector<Malformed> Corpus() {
  return {
      {"segment length below 2", [] { Stream s = Baseline(); s[At(s, 0xDB, 3)] = 1; s[At(s, 0xDB, 2)] = 0; return s; },
       jpeg::kJpegBadLength, 0},
      {"segment past the end", [] { Stream s = Baseline(); s[At(s, 0xDB, 2)] = 0xFF; return s; },
       jpeg::kJpegDataExhausted, 0},
      {"DHT slot above 3", [] { Stream s = Baseline(); s[At(s, 0xC4, 4)] = 0x14; return s; }, jpeg::kJpegBadDht, 0},
      {"DHT class above 1", [] { Stream s = Baseline(); s[At(s, 0xC4, 4)] = 0x20; return s; }, jpeg::kJpegBadDht, 0},
      // One byte short: the counts name one value more than the segment holds.
      {"DHT values past its end", [] { Stream s = Baseline(); --s[At(s, 0xC4, 3)]; return s; }, jpeg::kJpegBadDht, 0},
      {"SOF quantisation selector above 3", [] { Stream s = Baseline(); s[At(s, 0xC0, 12)] = 4; return s; },
       jpeg::kJpegBadFrame, 0},
      {"SOS DC selector above 3", [] { Stream s = Baseline(); s[At(s, 0xDA, 6)] = 0x40; return s; },
       jpeg::kJpegBadScan, 0},
      {"SOS AC selector above 3", [] { Stream s = Baseline(); s[At(s, 0xDA, 6)] = 0x04; return s; },
       jpeg::kJpegBadScan, 0},
      {"no components",
       [] { return StreamBuilder().Marker(0xD8).Segment(0xC0, FrameBody(8, 8, {})).Marker(0xD9).Data(); },
       jpeg::kJpegBadFrame, 0},
      {"zero width", [] { Stream s = Baseline(); s[At(s, 0xC0, 7)] = 0; s[At(s, 0xC0, 8)] = 0; return s; },
       jpeg::kJpegBadFrame, 0},
      {"second frame header",
       [] {
         Stream s = Baseline();
         const size_t sof = At(s, 0xC0, 0);
         const Stream copy(s.begin() + sof, s.begin() + sof + 2 + 17);
         s.insert(s.begin() + sof, copy.begin(), copy.end());
         return s;
       },
       jpeg::kJpegBadSequence, 0},
      {"scan before frame", [] { Stream s = Baseline(); Erase(&s, 0xC0); return s; }, jpeg::kJpegBadSequence, 0},
      {"DQT precision above 1", [] { Stream s = Baseline(); s[At(s, 0xDB, 4)] = 0x20; return s; }, jpeg::kJpegBadDqt, 0},
      {"16-bit DQT entry above 255",
       [] {
         std::vector<uint8_t> table = {0x10};
         for (int k = 0; k < 64; ++k) table.insert(table.end(), {static_cast<uint8_t>(k == 5), static_cast<uint8_t>(k == 5 ? 44 : 1)});
         return StreamBuilder().Marker(0xD8).Segment(0xDB, table).Data();
       },
       jpeg::kJpegBadDqt, 0},
      {"no quantisation table", [] { Stream s = Baseline(); Erase(&s, 0xDB); return s; }, jpeg::kJpegMissingTable, 0},
      {"Huffman slot never loaded", [] { Stream s = Baseline(); s[At(s, 0xDA, 8)] = 0x22; return s; },
       jpeg::kJpegMissingTable, 0},
      {"DRI of the wrong length", [] { Stream s = Baseline(); s[At(s, 0xDD, 3)] = 5; return s; }, jpeg::kJpegBadLength, 0},
      {"arithmetic coding", [] { Stream s = Baseline(); s[At(s, 0xC0, 1)] = 0xC9; return s; }, jpeg::kJpegUnsupported, 0},
      {"hierarchical frame", [] { Stream s = Baseline(); s[At(s, 0xC0, 1)] = 0xC5; return s; }, jpeg::kJpegUnsupported, 0},
      {"12-bit samples",
       [] {
         Stream s = Baseline();
         s[At(s, 0xC0, 4)] = 12;
         s[At(s, 0xC0, 1)] = 0xC1;
         return s;
       },
       jpeg::kJpegUnsupported, 0},
      {"sequential scan with Se 62", [] { Stream s = Baseline(); s[At(s, 0xDA, 10)] = 62; return s; },
       jpeg::kJpegBadScan, 0},
      {"progressive DC scan with Se 5", [] { Stream s = Progressive(); s[At(s, 0xDA, 12)] = 5; return s; },
       jpeg::kJpegBadScan, 0},
      {"progressive AC scan over three components",
       [] { Stream s = Progressive(); s[At(s, 0xDA, 11)] = 1; s[At(s, 0xDA, 12)] = 63; return s; },
       jpeg::kJpegBadScan, 0},
      {"progressive refinement with Ah not Al + 1", [] { Stream s = Progressive(); s[At(s, 0xDA, 13)] = 0x31; return s; },
       jpeg::kJpegBadScan, 0},
      {"component twice in one scan", [] { Stream s = Progressive(); s[At(s, 0xDA, 7)] = s[At(s, 0xDA, 5)]; return s; },
       jpeg::kJpegBadScan, 0},
      {"restart marker replaced by another marker",
       [] {
         Stream s = Baseline();
         const size_t scan = At(s, 0xDA, 0);
         for (size_t i = scan + 14; i + 1 < s.size(); ++i) {
           if (s[i] == 0xFF && s[i + 1] == 0xD0) {
             s[i + 1] = 0xDA;
             break;
           }
         }
         return s;
       },
       jpeg::kJpegOk, jpeg::kJpegBadRestart},
  };
}

class MalformedStream : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedStream, IsRefusedWithItsCode) {
  const Outcome run = RunDecoder(GetParam().make());
  EXPECT_EQ(run.header, GetParam().header);
  if (run.header == jpeg::kJpegOk) {
    EXPECT_EQ(run.decode, GetParam().decode);
  }
}

INSTANTIATE_TEST_SUITE_P(Rules, MalformedStream, ::testing::ValuesIn(Corpus()),
                         [](const ::testing::TestParamInfo<Malformed>& info) {
                           std::string name = info.param.rule;
                           for (char& c : name) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

TEST(DecodeFaults, SixteenBitQuantisationEntriesUpTo255DecodeLikeEightBit) {
  Stream eight = Baseline();
  const size_t dqt = At(eight, 0xDB, 0);
  const size_t length = static_cast<size_t>(eight[dqt + 2]) << 8 | eight[dqt + 3];
  Stream wide(eight.begin(), eight.begin() + dqt);
  StreamBuilder tables;
  for (size_t at = dqt + 4; at < dqt + 2 + length; at += 65) {
    std::vector<uint8_t> body = {static_cast<uint8_t>(0x10 | eight[at])};
    for (int k = 1; k <= 64; ++k) body.insert(body.end(), {0, eight[at + k]});
    tables.Segment(0xDB, body);
  }
  wide.insert(wide.end(), tables.Data().begin(), tables.Data().end());
  wide.insert(wide.end(), eight.begin() + dqt + 2 + length, eight.end());
  const OurDecode a = DecodeWithOurs(eight, kPixelYuy2, 33, 17);
  const OurDecode b = DecodeWithOurs(wide, kPixelYuy2, 33, 17);
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(b.result, 0);
  EXPECT_EQ(a.out, b.out);
}

// Two components, the first 2x1: the frame is refused before anything is written, instead of
// being decoded as 4:4:4 over buffers sized for it.
TEST(DecodeFaults, TwoComponentFrameWithSubsamplingIsRefusedUntouched) {
  const Stream s = EmptyBlocksFrame(32, 16, {{1, 0x21, 0}, {2, 0x11, 0}});
  for (int32_t format : {kPixelRgb24, kPixelYuy2, kPixelI420}) {
    const OurDecode d = DecodeWithOurs(s, format, 32, 16);
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.width, 32);
    EXPECT_TRUE(std::all_of(d.out.begin(), d.out.end(), [](uint8_t v) { return v == 0xA5; }));
  }
}

TEST(DecodeFaults, OutputSizeIsCheckedIn64Bits) {
  // 65535 x 65535 x 3 wraps in 32 bits; neither the wrapped size nor a small buffer passes.
  const Stream s = StreamBuilder()
                       .Marker(0xD8)
                       .Segment(0xDB, FlatQuantTable())
                       .Segment(0xC0, FrameBody(65535, 65535, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}}))
                       .Segment(0xDA, {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0})
                       .Marker(0xD9)
                       .Data();
  const int64_t full = int64_t{65535} * 65535 * 3;
  for (int32_t outSize : {static_cast<int32_t>(static_cast<uint32_t>(full)), 4096, 0, -1}) {
    const OurDecode d = DecodeWithOurs(s, kPixelRgb24, 64, 64, outSize == 0 ? 1 : outSize);
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.width, 65535);
  }
}

TEST(DecodeFaults, SequentialScanFailureKeepsThePartialImageAndFails) {
  Stream s = Baseline();
  s.resize(At(s, 0xDA, 0) + 14 + 40);
  const OurDecode d = DecodeWithOurs(s, kPixelYuy2, 33, 17);
  EXPECT_EQ(d.result, 1);
  EXPECT_TRUE(d.guardIntact);
  // The first MCU row was decoded before the data ran out.
  const OurDecode whole = DecodeWithOurs(Baseline(), kPixelYuy2, 33, 17);
  EXPECT_TRUE(std::equal(d.out.begin(), d.out.begin() + 16, whole.out.begin()));
}

TEST(DecodeFaults, ProgressiveFrameEndingAfterItsFirstScansIsRendered) {
  const Stream full = Progressive();
  // Keep the first two scans (DC first pass and one AC band), then EOI.
  size_t cut = 0;
  int scans = 0;
  for (size_t i = 0; i + 1 < full.size(); ++i) {
    if (full[i] == 0xFF && full[i + 1] == 0xDA && ++scans == 3) cut = i;
  }
  ASSERT_GT(cut, 0u);
  Stream partial(full.begin(), full.begin() + static_cast<long>(cut));
  partial.insert(partial.end(), {0xFF, 0xD9});
  const OurDecode d = DecodeWithOurs(partial, kPixelRgb24, 33, 17);
  const TurboDecoded ref = TurboDecode(partial);
  ASSERT_TRUE(ref.ok);
  EXPECT_EQ(d.result, 0);
  EXPECT_LE(MaxDifference(d.out.data(), ref.bgr.data(), d.out.size()), 4);
}

TEST(DecodeFaults, EveryPrefixOfAValidFrameFails) {
  LosslessOptions lossless;
  lossless.restartRows = 2;
  std::vector<uint16_t> samples(9 * 7);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(i * 37 % 256);
  EncodeOptions restart;
  restart.restartMcus = 1;
  restart.sampling = Sampling::k420;
  const Stream streams[] = {
      TurboEncode(MakePicture(17, 9), restart),
      TurboEncode(MakePicture(17, 9), [] {
        EncodeOptions o;
        o.progression = Progression::kSuccessive;
        return o;
      }()),
      EncodeLossless(samples, 9, 7, lossless),
  };
  for (const Stream& s : streams) {
    const int w = s == streams[2] ? 9 : 17;
    const int h = s == streams[2] ? 7 : 9;
    ASSERT_EQ(DecodeWithOurs(s, kPixelRgb24, w, h).result, 0);
    for (size_t length = 1; length < s.size(); ++length) {
      const Stream prefix(s.begin(), s.begin() + static_cast<long>(length));
      for (int32_t format : {kPixelRgb24, kPixelYuy2, kPixelI420}) {
        const OurDecode d = DecodeWithOurs(prefix, format, w, h);
        ASSERT_EQ(d.result, 1) << "prefix " << length << " of " << s.size();
        ASSERT_TRUE(d.guardIntact);
      }
    }
  }
}

TEST(DecodeFaults, ArgumentsAreCheckedBeforeTheDecoderIsTouched) {
  const Stream s = Baseline();
  std::vector<uint8_t> out(33 * 17 * 2);
  jpeg::MjpegDecoder* decoder = PoolNew<jpeg::MjpegDecoder>(jpeg::kDecoderPoolTag);
  int32_t w = -5;
  int32_t h = -5;
  EXPECT_EQ(decoder->Decode(s.data(), 0, out.data(), 33 * 17 * 2, &w, &h, kPixelYuy2), 1);
  EXPECT_EQ(decoder->Decode(nullptr, 10, out.data(), 33 * 17 * 2, &w, &h, kPixelYuy2), 1);
  EXPECT_EQ(decoder->Decode(s.data(), static_cast<int32_t>(s.size()), nullptr, 33 * 17 * 2, &w, &h, 4), 1);
  EXPECT_EQ(w, -5);
  // One byte short: refused, yet the frame's size is reported.
  EXPECT_EQ(decoder->Decode(s.data(), static_cast<int32_t>(s.size()), out.data(), 33 * 17 * 2 - 1, &w, &h, 4), 1);
  EXPECT_EQ(w, 33);
  EXPECT_EQ(h, 17);
  EXPECT_EQ(decoder->Decode(s.data(), static_cast<int32_t>(s.size()), out.data(), 33 * 17 * 2, &w, &h, 4), 0);
  PoolDelete(decoder, jpeg::kDecoderPoolTag);
}

}  // namespace
}  // namespace kvz::jpegtest
