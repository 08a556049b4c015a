#include "emulator/SparseStore.h"

#include <algorithm>
#include <cstring>

namespace emu {

namespace {

bool IsZero(const std::uint8_t* p) {
  static const std::array<std::uint8_t, kSectorSize> zeros{};
  return std::memcmp(p, zeros.data(), kSectorSize) == 0;
}

// FNV-1a over 64-bit words; good enough to spread sector contents.
std::uint64_t HashSector(const std::uint8_t* p) {
  std::uint64_t h = 1469598103934665603ULL;
  for (std::uint32_t i = 0; i < kSectorSize; i += 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, p + i, 8);
    h = (h ^ w) * 1099511628211ULL;
    h ^= h >> 29;
  }
  return h;
}

std::uint64_t Counter(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void PutCounter(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// `next` continues `prev`: the same body, the counter one higher.
bool ContinuesCount(const std::uint8_t* prev, const std::uint8_t* next) {
  const std::uint64_t c = Counter(prev);
  return c != ~0ULL && Counter(next) == c + 1 && std::memcmp(prev + 8, next + 8, kSectorSize - 8) == 0;
}

}  // namespace

SparseStore::SparseStore(std::uint64_t sectors) : sectors_(sectors) {}

bool SparseStore::Read(std::uint64_t lba, std::uint64_t count, std::uint8_t* out) const {
  if (lba > sectors_ || count > sectors_ - lba) return false;
  std::uint64_t pos = lba;
  const std::uint64_t end = lba + count;
  auto it = runs_.upper_bound(pos);
  if (it != runs_.begin()) --it;
  while (pos < end) {
    // Skip runs that end before pos.
    while (it != runs_.end() && it->first + it->second.length <= pos) ++it;
    std::uint64_t next = end;
    if (it != runs_.end() && it->first <= pos) {
      const std::uint64_t stop = std::min(end, it->first + it->second.length);
      const Run& r = it->second;
      const auto& c = contents_[r.content];
      for (; pos < stop; ++pos) {
        std::uint8_t* dst = out + (pos - lba) * kSectorSize;
        std::memcpy(dst, c.bytes.data(), kSectorSize);
        if (r.counting) PutCounter(dst, r.counter + (pos - it->first));
      }
      continue;
    }
    if (it != runs_.end()) next = std::min(end, it->first);
    std::memset(out + (pos - lba) * kSectorSize, 0, (next - pos) * kSectorSize);
    pos = next;
  }
  return true;
}

bool SparseStore::Write(std::uint64_t lba, std::uint64_t count, const std::uint8_t* in) {
  if (lba > sectors_ || count > sectors_ - lba) return false;
  if (count == 0) return true;
  Punch(lba, count);
  // Group consecutive sectors into runs before placing them: equal sectors, or
  // sectors that continue a counter over one body.
  std::uint64_t start = 0;
  bool counting = false;
  for (std::uint64_t i = 1; i < count; ++i) {
    const std::uint8_t* prev = in + (i - 1) * kSectorSize;
    const std::uint8_t* s = in + i * kSectorSize;
    if (!counting && std::memcmp(prev, s, kSectorSize) == 0) continue;
    if ((counting || i - start == 1) && ContinuesCount(prev, s)) {
      counting = true;
      continue;
    }
    PlaceGroup(lba, in, start, i, counting);
    start = i;
    counting = false;
  }
  PlaceGroup(lba, in, start, count, counting);
  return true;
}

void SparseStore::PlaceGroup(std::uint64_t lba, const std::uint8_t* in, std::uint64_t begin, std::uint64_t end,
                             bool counting) {
  const std::uint8_t* first = in + begin * kSectorSize;
  Run run{end - begin, kZero, counting, 0};
  if (counting) {
    std::array<std::uint8_t, kSectorSize> body;
    std::memcpy(body.data(), first, kSectorSize);
    run.counter = Counter(first);
    PutCounter(body.data(), 0);
    run.content = Intern(body.data());
  } else {
    if (IsZero(first)) return;  // unwritten reads as zeros
    run.content = Intern(first);
  }
  Place(lba + begin, run);
  AddRefs(run.content, run.length);
}

void SparseStore::Clear() {
  runs_.clear();
  contents_.clear();
  free_.clear();
  byHash_.clear();
}

std::size_t SparseStore::MemoryBytes() const {
  // Per map node: key, value and the red-black tree links and colour.
  constexpr std::size_t kRunNode = sizeof(std::uint64_t) + sizeof(Run) + 4 * sizeof(void*);
  constexpr std::size_t kHashNode = sizeof(std::uint64_t) + sizeof(ContentId) + 3 * sizeof(void*);
  return sizeof(*this) + runs_.size() * kRunNode + contents_.capacity() * sizeof(Content) +
         free_.capacity() * sizeof(ContentId) + byHash_.size() * kHashNode +
         byHash_.bucket_count() * sizeof(void*);
}

SparseStore::ContentId SparseStore::Intern(const std::uint8_t* sector) {
  const std::uint64_t h = HashSector(sector);
  auto [b, e] = byHash_.equal_range(h);
  for (auto it = b; it != e; ++it) {
    if (std::memcmp(contents_[it->second].bytes.data(), sector, kSectorSize) == 0) return it->second;
  }
  ContentId id;
  if (!free_.empty()) {
    id = free_.back();
    free_.pop_back();
  } else {
    id = static_cast<ContentId>(contents_.size());
    contents_.emplace_back();
  }
  Content& c = contents_[id];
  std::memcpy(c.bytes.data(), sector, kSectorSize);
  c.hash = h;
  c.refs = 0;
  byHash_.emplace(h, id);
  return id;
}

void SparseStore::AddRefs(ContentId id, std::uint64_t n) { contents_[id].refs += n; }

void SparseStore::DropRefs(ContentId id, std::uint64_t n) {
  Content& c = contents_[id];
  c.refs -= std::min(c.refs, n);
  if (c.refs != 0) return;
  auto [b, e] = byHash_.equal_range(c.hash);
  for (auto it = b; it != e; ++it) {
    if (it->second == id) {
      byHash_.erase(it);
      break;
    }
  }
  free_.push_back(id);
}

void SparseStore::Punch(std::uint64_t lba, std::uint64_t count) {
  const std::uint64_t end = lba + count;
  auto it = runs_.upper_bound(lba);
  if (it != runs_.begin()) {
    auto prev = std::prev(it);
    const std::uint64_t pStart = prev->first;
    const std::uint64_t pEnd = pStart + prev->second.length;
    if (pEnd > lba) {
      const Run r = prev->second;
      prev->second.length = lba - pStart;  // head kept
      if (pEnd > end) {
        // The write falls inside this run: keep its tail as a new run.
        runs_.emplace(end, Run{pEnd - end, r.content, r.counting, r.counter + (end - pStart)});
        DropRefs(r.content, count);
      } else {
        DropRefs(r.content, pEnd - lba);
      }
      if (prev->second.length == 0) runs_.erase(prev);
    }
  }
  it = runs_.lower_bound(lba);
  while (it != runs_.end() && it->first < end) {
    const std::uint64_t rStart = it->first;
    const std::uint64_t rEnd = rStart + it->second.length;
    const Run r = it->second;
    it = runs_.erase(it);
    if (rEnd > end) {
      DropRefs(r.content, end - rStart);
      runs_.emplace(end, Run{rEnd - end, r.content, r.counting, r.counter + (end - rStart)});
      break;
    }
    DropRefs(r.content, r.length);
  }
}

void SparseStore::Place(std::uint64_t lba, const Run& run) {
  // Whether `b` carries on where `a`, ending at b's start, stops.
  auto joins = [](const Run& a, const Run& b) {
    return a.content == b.content && a.counting == b.counting && (!a.counting || a.counter + a.length == b.counter);
  };
  std::uint64_t start = lba;
  Run merged = run;
  auto next = runs_.lower_bound(lba);
  if (next != runs_.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second.length == lba && joins(prev->second, run)) {
      start = prev->first;
      merged.counter = prev->second.counter;
      merged.length += prev->second.length;
      runs_.erase(prev);
    }
  }
  if (next != runs_.end() && next->first == lba + run.length && joins(run, next->second)) {
    merged.length += next->second.length;
    runs_.erase(next);
  }
  runs_[start] = merged;
}

}  // namespace emu
