// Grouping of overlapping detections (union-find over a similarity of corners) and the merge
// that averages each group and keeps groups not enclosed by a stronger one.
#include <string.h>

#include "face/detector_internal.h"

namespace kvz {
namespace {

LONG Abs(LONG v) { return v < 0 ? -v : v; }
LONG Min(LONG a, LONG b) { return a < b ? a : b; }

bool Similar(const Candidate& a, const Candidate& b) {
  const LONG d = (Min(a.bottom - a.top, b.bottom - b.top) + Min(a.right - a.left, b.right - b.left) + 7) / 3;
  return Abs(a.left - b.left) <= d && Abs(a.top - b.top) <= d && Abs(a.right - b.right) <= d &&
         Abs(a.bottom - b.bottom) <= d;
}

LONG FindRoot(const LONG* parent, LONG i) {
  while (parent[i] >= 0) i = parent[i];
  return i;
}

VOID PointPathAt(LONG* parent, LONG i, LONG root) {
  while (parent[i] >= 0) {
    const LONG next = parent[i];
    parent[i] = root;
    i = next;
  }
}

// Whether class c lies inside class l grown by a fifth of l's size.
bool Encloses(const Candidate& l, const Candidate& c) {
  const LONG dx = static_cast<USHORT>((l.right - l.left + 3) / 5);
  const LONG dy = static_cast<USHORT>((l.bottom - l.top + 3) / 5);
  return c.left >= l.left - dx && c.top >= l.top - dy && l.right + dx >= c.right &&
         l.bottom + dy >= c.bottom;
}

}  // namespace

ULONG GroupDetections(const Candidate* candidates, ULONG count, LONG* scratch) {
  LONG* parent = scratch;
  LONG* rank = scratch + kGroupScratchEntries;
  LONG* label = scratch + 2 * kGroupScratchEntries;
  for (ULONG i = 0; i < count; ++i) {
    parent[i] = -1;
    rank[i] = 0;
  }
  // Similarity is symmetric, so each unordered pair is visited once.
  for (ULONG i = 0; i < count; ++i) {
    for (ULONG j = i + 1; j < count; ++j) {
      if (!Similar(candidates[i], candidates[j])) continue;
      const LONG ri = FindRoot(parent, static_cast<LONG>(i));
      const LONG rj = FindRoot(parent, static_cast<LONG>(j));
      if (ri == rj) continue;
      LONG root;
      if (rank[ri] > rank[rj]) {
        root = ri;
        parent[rj] = ri;
      } else {
        root = rj;
        parent[ri] = rj;
        if (rank[ri] == rank[rj]) ++rank[rj];
      }
      PointPathAt(parent, static_cast<LONG>(i), root);
      PointPathAt(parent, static_cast<LONG>(j), root);
    }
  }
  // Labels in order of each class's first candidate; rank is free again and maps roots.
  ULONG labels = 0;
  for (ULONG i = 0; i < count; ++i) rank[i] = -1;
  for (ULONG i = 0; i < count; ++i) {
    const LONG root = FindRoot(parent, static_cast<LONG>(i));
    if (rank[root] < 0) rank[root] = static_cast<LONG>(labels++);
    label[i] = rank[root];
  }
  return labels;
}

USHORT MergeCandidates(Candidate* candidates, Candidate* output, ULONG capacity, ULONG* count,
                       ULONG minNeighbours, LONG* scratch) {
  const ULONG n = *count;
  if (n == 0) return kFdOk;
  if (capacity == 0) {
    *count = 0;
    return kFdListFull;
  }
  const ULONG classes = GroupDetections(candidates, n, scratch);
  const LONG* label = scratch + 2 * kGroupScratchEntries;
  // A class's slot is the index of its label, never above any member's index: members move down
  // into it, and a slot whose own candidate moved away is cleared for the class that owns it.
  for (ULONG i = 0; i < n; ++i) {
    const ULONG k = static_cast<ULONG>(label[i]);
    if (k == i) continue;
    const Candidate c = candidates[i];
    if (i < classes) memset(&candidates[i], 0, sizeof(Candidate));
    Candidate& slot = candidates[k];
    slot.left += c.left;
    slot.top += c.top;
    slot.right += c.right;
    slot.bottom += c.bottom;
    slot.members += 1;
    const ULONG neighbours = static_cast<ULONG>(slot.neighbours) + c.neighbours;
    slot.neighbours = static_cast<USHORT>(neighbours > 0xFFFF ? 0xFFFF : neighbours);
    slot.tag = c.tag;
  }
  for (ULONG k = 0; k < classes; ++k) {
    Candidate& c = candidates[k];
    const LONG e = static_cast<LONG>(c.members);
    if (e > 1) {
      c.left = (c.left + e / 2) / e;
      c.top = (c.top + e / 2) / e;
      c.right = (c.right + e / 2) / e;
      c.bottom = (c.bottom + e / 2) / e;
    }
  }
  // In place, the kept list is assembled in the scratch (no longer needed for labels).
  const ULONG scratchRoom = kGroupScratchEntries * 3 * sizeof(LONG) / sizeof(Candidate);
  Candidate* kept = output == candidates ? reinterpret_cast<Candidate*>(scratch) : output;
  if (output == candidates && capacity > scratchRoom) capacity = scratchRoom;
  ULONG written = 0;
  USHORT status = kFdOk;
  for (ULONG k = 0; k < classes; ++k) {
    const Candidate& c = candidates[k];
    if (c.neighbours < minNeighbours) continue;
    bool enclosed = false;
    for (ULONG l = 0; l < classes && !enclosed; ++l) {
      const Candidate& other = candidates[l];
      enclosed = l != k && other.neighbours >= minNeighbours && other.neighbours > c.neighbours &&
                 Encloses(other, c);
    }
    if (enclosed) continue;
    if (written == capacity) {
      status = kFdListFull;
      break;
    }
    kept[written] = c;
    kept[written].members = 1;
    ++written;
  }
  if (output == candidates) memcpy(candidates, kept, written * sizeof(Candidate));
  *count = written;
  return status;
}

VOID CollectFaces(DetectWorkspace* workspace, ULONG* faceCount) {
  ULONG count = workspace->mergedCount;
  MergeCandidates(workspace->merged, workspace->merged, kMaxMerged, &count, 2,
                  workspace->groupScratch);
  ULONG faces = 0;
  for (ULONG i = 0; i < count && faces < workspace->faceCapacity; ++i, ++faces) {
    const Candidate& c = workspace->merged[i];
    FaceRecord& f = workspace->faces[faces];
    f.left = static_cast<USHORT>(c.left);
    f.top = static_cast<USHORT>(c.top);
    f.right = static_cast<USHORT>(c.right);
    f.bottom = static_cast<USHORT>(c.bottom);
    f.tag = c.tag;
  }
  workspace->mergedCount = static_cast<USHORT>(count);
  *faceCount = faces;
}

}  // namespace kvz
