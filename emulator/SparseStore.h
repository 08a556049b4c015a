// Sector storage for an emulated drive. Only written sectors cost memory, and a
// sector's content is kept once however often it is written: the LBA space is
// a map of runs (start, length, content), each content held once in a pool with
// a reference count. Zero sectors are not stored at all (unwritten reads as
// zeros), and consecutive sectors with the same content form one run, so zero
// and repeated-pattern fills cost next to nothing.
//
// Stamped test patterns (each sector's first 8 bytes a little-endian counter,
// the address, over a body the sectors share) would defeat that: a sector that
// continues its predecessor's counter by one over the same body joins its run
// as a counting run, kept as (first counter, shared body). A write, read and
// clear of a whole drive with such a pattern then costs a few runs.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

namespace emu {

constexpr std::uint32_t kSectorSize = 512;

class SparseStore {
 public:
  explicit SparseStore(std::uint64_t sectors);

  std::uint64_t Sectors() const { return sectors_; }
  // Copies `count` sectors starting at `lba` into out (count * 512 bytes).
  // False, and nothing copied, when the range leaves the store.
  bool Read(std::uint64_t lba, std::uint64_t count, std::uint8_t* out) const;
  // Writes `count` sectors from in. False, and nothing written, when the range
  // leaves the store.
  bool Write(std::uint64_t lba, std::uint64_t count, const std::uint8_t* in);
  // Everything back to zeros.
  void Clear();

  // Distinct non-zero sector contents held, and runs in the map.
  std::size_t UniqueSectors() const { return contents_.size() - free_.size(); }
  std::size_t Runs() const { return runs_.size(); }
  // Bytes this store holds on the heap (an estimate that counts node overheads).
  std::size_t MemoryBytes() const;

 private:
  using ContentId = std::uint32_t;
  static constexpr ContentId kZero = 0xFFFFFFFFu;
  // A counting run's content is its body with a zero counter; sector k of the
  // run holds counter + k in its first kCounterBytes bytes.
  struct Run {
    std::uint64_t length;
    ContentId content;
    bool counting = false;
    std::uint64_t counter = 0;
  };
  static constexpr std::uint32_t kCounterBytes = 8;
  struct Content {
    std::array<std::uint8_t, kSectorSize> bytes;
    std::uint64_t hash;
    std::uint64_t refs;  // sectors that hold it
  };

  ContentId Intern(const std::uint8_t* sector);
  void AddRefs(ContentId id, std::uint64_t n);
  void DropRefs(ContentId id, std::uint64_t n);
  // Removes [lba, lba+count) from the map, releasing its references.
  void Punch(std::uint64_t lba, std::uint64_t count);
  // Puts one run into a hole made by Punch, merging with equal neighbours.
  void Place(std::uint64_t lba, const Run& run);
  // Places sectors [begin, end) of `in` (written at lba) as one run, plain or counting.
  void PlaceGroup(std::uint64_t lba, const std::uint8_t* in, std::uint64_t begin, std::uint64_t end, bool counting);

  std::uint64_t sectors_;
  std::map<std::uint64_t, Run> runs_;
  std::vector<Content> contents_;
  std::vector<ContentId> free_;
  std::unordered_multimap<std::uint64_t, ContentId> byHash_;
};

}  // namespace emu
