#include "cascade_model.h"

#include <cstring>
#include <sstream>

#include "face/face_detector_defs.h"

namespace kvz::train {
namespace {

void Put(std::vector<uint8_t>& b, size_t at, int32_t v) { std::memcpy(b.data() + at, &v, 4); }
int32_t Get(const std::vector<uint8_t>& b, size_t at) {
  int32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

}  // namespace

std::vector<uint8_t> WriteCascadeBlock(const Cascade& c) {
  size_t classifiers = 0, data = 0;
  for (const Stage& s : c.stages) {
    classifiers += s.trees.size();
    for (const Tree& t : s.trees) data += kvz::NodeDataBytes(static_cast<ULONG>(t.nodes.size()));
  }
  const size_t stageAt = kvz::kCascadeHeaderBytes;
  const size_t classifierAt = stageAt + c.stages.size() * kvz::kStageRecordBytes;
  size_t dataAt = classifierAt + classifiers * kvz::kClassifierRecordBytes;
  std::vector<uint8_t> b(dataAt + data, 0);
  Put(b, kvz::kHeaderMagic, kvz::kCascadeMagic);
  Put(b, kvz::kHeaderStageCount, static_cast<int32_t>(c.stages.size()));
  Put(b, kvz::kHeaderWindowWidth, c.width);
  Put(b, kvz::kHeaderWindowHeight, c.height);
  Put(b, kvz::kHeaderEqualiseRect + 8, c.width);
  Put(b, kvz::kHeaderEqualiseRect + 12, c.height);
  const double scale = 1.0;
  std::memcpy(b.data() + 40, &scale, 8);
  size_t k = 0;
  for (size_t s = 0; s < c.stages.size(); ++s) {
    const size_t at = stageAt + s * kvz::kStageRecordBytes;
    const int32_t last = static_cast<int32_t>(c.stages.size()) - 1;
    Put(b, at + kvz::kStageClassifierCount, static_cast<int32_t>(c.stages[s].trees.size()));
    Put(b, at + kvz::kStageThreshold, c.stages[s].threshold);
    Put(b, at + kvz::kStageNext, -1);
    Put(b, at + kvz::kStageChild, static_cast<int32_t>(s) < last ? static_cast<int32_t>(s) + 1 : -1);
    Put(b, at + kvz::kStageParent, static_cast<int32_t>(s) - 1);
    for (const Tree& t : c.stages[s].trees) {
      const size_t n = t.nodes.size();
      Put(b, classifierAt + k++ * kvz::kClassifierRecordBytes, static_cast<int32_t>(n));
      for (size_t i = 0; i < n; ++i) {
        const Node& node = t.nodes[i];
        const size_t f = dataAt + i * kvz::kFeatureBytes;
        for (size_t r = 0; r < node.rects.size() && r < kvz::kRectsPerFeature; ++r) {
          const size_t o = f + kvz::kFeatureRects + r * kvz::kFeatureRectBytes;
          Put(b, o, node.rects[r].x);
          Put(b, o + 4, node.rects[r].y);
          Put(b, o + 8, node.rects[r].w);
          Put(b, o + 12, node.rects[r].h);
          Put(b, o + 16, node.rects[r].weight);
        }
        Put(b, dataAt + n * kvz::kFeatureBytes + i * 4, node.threshold);
        Put(b, dataAt + n * (kvz::kFeatureBytes + 4) + i * 4, node.left);
        Put(b, dataAt + n * (kvz::kFeatureBytes + 8) + i * 4, node.right);
      }
      for (size_t i = 0; i <= n; ++i)
        Put(b, dataAt + n * (kvz::kFeatureBytes + 12) + i * 4, i < t.leaves.size() ? t.leaves[i] : 0);
      dataAt += kvz::NodeDataBytes(static_cast<ULONG>(n));
    }
  }
  return b;
}

bool ReadCascadeBlock(const std::vector<uint8_t>& b, Cascade* c) {
  if (b.size() < kvz::kCascadeHeaderBytes || Get(b, kvz::kHeaderMagic) != kvz::kCascadeMagic) return false;
  const int stages = Get(b, kvz::kHeaderStageCount);
  c->width = Get(b, kvz::kHeaderWindowWidth);
  c->height = Get(b, kvz::kHeaderWindowHeight);
  c->stages.assign(stages, Stage{});
  size_t classifiers = 0;
  for (int s = 0; s < stages; ++s) {
    const size_t at = kvz::kCascadeHeaderBytes + s * kvz::kStageRecordBytes;
    c->stages[s].threshold = Get(b, at + kvz::kStageThreshold);
    c->stages[s].trees.resize(Get(b, at + kvz::kStageClassifierCount));
    classifiers += c->stages[s].trees.size();
  }
  const size_t classifierAt = kvz::kCascadeHeaderBytes + stages * kvz::kStageRecordBytes;
  size_t dataAt = classifierAt + classifiers * kvz::kClassifierRecordBytes;
  size_t k = 0;
  for (Stage& s : c->stages) {
    for (Tree& t : s.trees) {
      const size_t n = Get(b, classifierAt + k++ * kvz::kClassifierRecordBytes);
      if (dataAt + kvz::NodeDataBytes(static_cast<ULONG>(n)) > b.size()) return false;
      t.nodes.resize(n);
      for (size_t i = 0; i < n; ++i) {
        Node& node = t.nodes[i];
        const size_t f = dataAt + i * kvz::kFeatureBytes;
        for (size_t r = 0; r < kvz::kRectsPerFeature; ++r) {
          const size_t o = f + kvz::kFeatureRects + r * kvz::kFeatureRectBytes;
          Rect rect{Get(b, o), Get(b, o + 4), Get(b, o + 8), Get(b, o + 12), Get(b, o + 16)};
          if (r < 2 || (rect.weight != 0 && rect.w != 0 && rect.h != 0)) node.rects.push_back(rect);
        }
        node.threshold = Get(b, dataAt + n * kvz::kFeatureBytes + i * 4);
        node.left = Get(b, dataAt + n * (kvz::kFeatureBytes + 4) + i * 4);
        node.right = Get(b, dataAt + n * (kvz::kFeatureBytes + 8) + i * 4);
      }
      t.leaves.resize(n + 1);
      for (size_t i = 0; i <= n; ++i) t.leaves[i] = Get(b, dataAt + n * (kvz::kFeatureBytes + 12) + i * 4);
      dataAt += kvz::NodeDataBytes(static_cast<ULONG>(n));
    }
  }
  return dataAt == b.size();
}

std::string WriteCascadeSource(const Cascade& c, const std::string& comment) {
  const std::vector<uint8_t> block = WriteCascadeBlock(c);
  std::ostringstream o;
  o << "// Generated by tools/kvzcam-train-cascade; do not edit.\n";
  std::istringstream lines(comment);
  for (std::string line; std::getline(lines, line);) o << "// " << line << "\n";
  o << "#include \"face/trained_cascade.h\"\n\nnamespace kvz {\nnamespace {\n\n"
    << "alignas(8) const UCHAR kBlock[" << block.size() << "] = {\n";
  for (size_t i = 0; i < block.size(); ++i) {
    o << (i % 16 == 0 ? "  " : "") << static_cast<int>(block[i]) << ",";
    o << (i % 16 == 15 || i + 1 == block.size() ? "\n" : " ");
  }
  o << "};\n\n}  // namespace\n\nconst CascadeDescriptor kTrainedCascade = {"
    << c.stages.size() << ", " << c.width << ", " << c.height << ", {0, 0, " << c.width << ", "
    << c.height << "}, sizeof(kBlock), kBlock};\n\n}  // namespace kvz\n";
  return o.str();
}

}  // namespace kvz::train
