// Named-property map pass ([MS-PST] 2.4.7), node 0x61, a property context:
//   0x0001 PidTagNameidBucketCount   I32     number of hash buckets
//   0x0002 PidTagNameidStreamGuid    Binary  16-byte GUIDs
//   0x0003 PidTagNameidStreamEntry   Binary  8-byte NAMEID records
//   0x0004 PidTagNameidStreamString  Binary  per name: length (4), UTF-16LE,
//                                            padding to 4
//   0x1000 + i                       Binary  bucket i: NAMEID records (only
//                                            non-empty buckets exist)
// NAMEID: dwPropertyID (4) = LID, or the string's offset (entry stream) /
// CRC-32 of the UTF-16LE name (bucket); wGuid (2) = N bit 0 (string name) |
// guid << 1 (1 PS_MAPI, 2 PS_PUBLIC_STRINGS, >= 3 GUID-stream index + 3);
// wPropIdx (2) = property id - 0x8000 = the entry's position in the stream.
// Bucket of a name: (dwPropertyID or CRC) XOR (wGuid << 1 | N) mod count.
// Every entry must sit in exactly the bucket its hash gives, and buckets
// hold nothing else: Outlook looks names up through the buckets.
#include <string>
#include <vector>

#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/base/hex.h"
#include "pst/check/context.h"
#include "pst/ltp/property_context.h"
#include "pst/messaging/tags.h"

namespace pst::check {
namespace {

namespace msg = messaging;

constexpr size_t kMaxEntries = 0x7FFF;        // property ids 0x8000..0xFFFE
constexpr uint32_t kMaxBuckets = 0x1000;      // bucket ids 0x1000..0x1FFF
// 0x7FFF names of at most 255 UTF-16 characters need under 17 MB of strings.
constexpr size_t kMaxStream = 32 * 1024 * 1024;
constexpr int kMaxFindings = 50;

struct Expected {
  uint32_t bucket = 0;
  uint64_t record = 0;  // the bucket record as 8 little-endian bytes
  bool valid = false;
  int seen = 0;
};

class NameMapChecker {
 public:
  NameMapChecker(Context& ctx, const ndb::Database& db) : ctx_(ctx), db_(db) {}

  void Run() {
    if (!ctx_.FindNode(ndb::kNidNameToIdMap)) {
      Error("the named-property map node is missing");
      return;
    }
    auto node = db_.OpenNode(ndb::kNidNameToIdMap);
    if (!node.ok()) return;  // the object pass reports it
    auto pc = ltp::PropertyContext::Open(std::move(node).value());
    if (!pc.ok()) return;

    const auto* count_entry = pc->Find(msg::kPidNameidBucketCount);
    if (count_entry == nullptr || count_entry->type != ltp::kPtypInteger32) {
      Error("PidTagNameidBucketCount (0x0001, I32) is missing");
      return;
    }
    buckets_ = count_entry->hnid;  // an inline I32
    if (buckets_ == 0 || buckets_ > kMaxBuckets) {
      Error("bucket count " + std::to_string(buckets_) + " is not between 1 and " +
            std::to_string(kMaxBuckets));
      return;
    }
    Bytes guids, entries, strings;
    if (!Stream(*pc, msg::kPidNameidStreamGuid, guids) ||
        !Stream(*pc, msg::kPidNameidStreamEntry, entries) ||
        !Stream(*pc, msg::kPidNameidStreamString, strings)) {
      return;
    }
    if (guids.size() % 16 != 0) {
      Error("GUID stream of " + std::to_string(guids.size()) + " bytes is not whole GUIDs");
    }
    if (entries.size() % 8 != 0 || entries.size() / 8 > kMaxEntries) {
      Error("entry stream of " + std::to_string(entries.size()) + " bytes is not at most " +
            std::to_string(kMaxEntries) + " whole 8-byte entries");
      return;
    }
    Entries(entries, guids.size() / 16, strings);
    Buckets(*pc);
  }

 private:
  void Error(const std::string& what) { Report(Severity::kError, what); }
  // The buckets only index the names for Outlook's lookup by name; readers
  // (and this program) turn ids into names through the entry stream. A name
  // Outlook cannot find through them it may map a second time, but nothing
  // stored is lost: bucket findings are warnings, entry-stream ones errors.
  void BucketWarning(const std::string& what) { Report(Severity::kWarning, what); }
  void Report(Severity severity, const std::string& what) {
    if (budget_-- > 0) {
      ctx_.findings.Add(severity, "name map (node 0x61)", what);
    } else if (budget_ == -1) {
      ctx_.findings.Add(severity, "name map (node 0x61)", "further findings in the map are not listed");
    }
  }

  bool Stream(const ltp::PropertyContext& pc, uint16_t id, Bytes& out) {
    const auto* e = pc.Find(id);
    if (e == nullptr) return true;  // an empty stream may be left out
    if (e->type != ltp::kPtypBinary) {
      Error("stream property " + Hex(id) + " has type " + ltp::TypeName(e->type));
      return false;
    }
    auto value = pc.ReadValue(*e, kMaxStream);
    if (!value.ok()) {
      // Unreadable values are reported by the object pass; a stream too
      // large to be a name map is reported here.
      if (value.status().code() == Status::Code::kNotSupported) {
        Error("stream property " + Hex(id) + ": " + value.status().message());
      }
      return false;
    }
    out = std::move(value).value();
    return true;
  }

  void Entries(ByteSpan entries, size_t guid_count, ByteSpan strings) {
    const size_t count = entries.size() / 8;
    ctx_.report->counts.named_properties = count;
    expected_.assign(count, Expected());
    for (size_t k = 0; k < count; ++k) {
      const uint8_t* p = entries.data() + 8 * k;
      const uint32_t id = DecodeFixed32(p);
      const uint16_t guid_field = DecodeFixed16(p + 4);
      const uint16_t index = DecodeFixed16(p + 6);
      const std::string name = "entry " + std::to_string(k) + " (property " + Hex(0x8000 + k) + ")";
      const bool is_string = (guid_field & 1) != 0;
      const uint16_t guid = guid_field >> 1;
      if (index != k) {
        Error(name + " has wPropIdx " + Hex(index) + ": property " + Hex(0x8000 + index) +
              " would not find it");
        continue;
      }
      if (guid == 0 || (guid >= 3 && guid - 3u >= guid_count)) {
        Error(name + " names GUID " + std::to_string(guid) + "; the GUID stream holds " +
              std::to_string(guid_count));
        continue;
      }
      uint32_t hash_key = id;
      if (is_string) {
        if (id % 4 != 0 || static_cast<uint64_t>(id) + 4 > strings.size()) {
          Error(name + " string offset " + Hex(id) + " is not a 4-aligned offset in the " +
                std::to_string(strings.size()) + "-byte string stream");
          continue;
        }
        const uint32_t length = DecodeFixed32(strings.data() + id);
        if (length % 2 != 0 || length > strings.size() - id - 4) {
          Error(name + " string of " + std::to_string(length) + " bytes at " + Hex(id) +
                " is not whole UTF-16 units inside the string stream");
          continue;
        }
        hash_key = PstCrc32(strings.subspan(id + 4, length));
      }
      Expected& e = expected_[k];
      e.bucket = (hash_key ^ ((uint32_t{guid} << 1) | (is_string ? 1u : 0u))) % buckets_;
      e.record = uint64_t{hash_key} | (uint64_t{guid_field} << 32) | (uint64_t{index} << 48);
      e.valid = true;
    }
  }

  void Buckets(const ltp::PropertyContext& pc) {
    for (const ltp::PropertyContext::Entry& e : pc.entries()) {
      if (e.id < msg::kPidNameidBucketBase || e.id >= msg::kPidNameidBucketBase + kMaxBuckets) {
        continue;
      }
      const uint32_t bucket = e.id - msg::kPidNameidBucketBase;
      const std::string name = "bucket " + std::to_string(bucket) + " (" + Hex(e.id) + ")";
      if (bucket >= buckets_) {
        BucketWarning(name + " lies beyond the bucket count " + std::to_string(buckets_));
        continue;
      }
      if (e.type != ltp::kPtypBinary) {
        BucketWarning(name + " has type " + ltp::TypeName(e.type));
        continue;
      }
      auto value = pc.ReadValue(e, kMaxStream);
      if (!value.ok()) continue;
      if (value->size() % 8 != 0) {
        BucketWarning(name + " of " + std::to_string(value->size()) + " bytes is not whole records");
        continue;
      }
      for (size_t off = 0; off < value->size(); off += 8) {
        const uint64_t record = DecodeFixed64(value->data() + off);
        const size_t k = record >> 48;
        if (k >= expected_.size() || !expected_[k].valid) {
          BucketWarning(name + " holds a record for property " + Hex(0x8000 + k) +
                (k >= expected_.size() ? ", which the entry stream lacks" : ", a damaged entry"));
          continue;
        }
        Expected& want = expected_[k];
        if (record != want.record) {
          BucketWarning(name + " record for property " + Hex(0x8000 + k) + " is " + Hex(record) +
                ", the entry stream gives " + Hex(want.record));
          continue;
        }
        if (bucket != want.bucket) {
          BucketWarning("property " + Hex(0x8000 + k) + " sits in bucket " + std::to_string(bucket) +
                ", its hash gives bucket " + std::to_string(want.bucket));
        }
        if (++want.seen == 2) BucketWarning("property " + Hex(0x8000 + k) + " is in two bucket records");
      }
    }
    for (size_t k = 0; k < expected_.size(); ++k) {
      if (expected_[k].valid && expected_[k].seen == 0) {
        BucketWarning("property " + Hex(0x8000 + k) + " is in no bucket (its hash gives bucket " +
              std::to_string(expected_[k].bucket) + ")");
      }
    }
  }

  Context& ctx_;
  const ndb::Database& db_;
  uint32_t buckets_ = 0;
  std::vector<Expected> expected_;
  int budget_ = kMaxFindings;
};

}  // namespace

void CheckNameMap(Context& ctx, const ndb::Database& db) { NameMapChecker(ctx, db).Run(); }

}  // namespace pst::check
