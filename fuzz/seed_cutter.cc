// Cuts seeds for the layer fuzz targets out of real stores:
//
//   seed_cutter OUT_DIR STORE...
//
// writes OUT_DIR/<target>/<store>-<what> for every layer target: raw and
// sealed block images (block_fuzzer), data and subnode trees renumbered to
// the tree target's BIDs (tree_fuzzer), the heap pages and subnodes of
// property contexts, table contexts and the name map (heap, pc, tc,
// name_map), and 8-bit and UTF-16 strings (codepage_fuzzer). Only small
// inputs are kept, a few of each kind per store. Inputs are laid out as
// fuzz_input.h and each target's header describe.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/io/file.h"
#include "pst/ltp/property_context.h"
#include "pst/ndb/block.h"
#include "pst/ndb/database.h"

namespace {

using namespace pst;
namespace fs = std::filesystem;

constexpr size_t kMaxSeed = 16 * 1024;
constexpr int kPerKind = 2;  // seeds of one kind per store

class Cutter {
 public:
  Cutter(fs::path out, std::string store) : out_(std::move(out)), store_(std::move(store)) {}

  void Run(const ndb::Database& db) {
    db_ = &db;
    (void)db.ForEachNode([&](const ndb::NodeEntry& n) {
      Node(n);
      return Status::Ok();
    });
    (void)db.ForEachBlock([&](const ndb::BlockEntry& b) {
      Block(b);
      return Status::Ok();
    });
  }

 private:
  bool Write(const std::string& target, const std::string& what, const Bytes& bytes) {
    if (bytes.size() > kMaxSeed || count_[target + what.substr(0, 3)]++ >= kPerKind) return false;
    fs::create_directories(out_ / target);
    std::ofstream(out_ / target / (store_ + "-" + what), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return true;
  }

  static void Append(Bytes& out, ByteSpan piece) {
    if (!out.empty() || piece.empty()) {
      out.insert(out.end(), std::begin(fuzz::kSeparator), std::end(fuzz::kSeparator));
    }
    out.insert(out.end(), piece.begin(), piece.end());
  }

  // A node's heap pages, then each subnode as "SN" + NID + its pages.
  static Bytes Pieces(const ndb::NodeData& node) {
    Bytes out;
    for (size_t i = 0; i < node.block_count(); ++i) {
      auto page = node.ReadBlock(i);
      if (!page.ok()) return {};
      Append(out, *page);
    }
    (void)node.ForEachSubnode([&](ndb::Nid nid) {
      auto sub = node.OpenSubnode(nid);
      if (!sub.ok() || (*sub)->size() > kMaxSeed) return Status::Ok();
      for (size_t i = 0; i < (*sub)->block_count(); ++i) {
        auto block = (*sub)->ReadBlock(i);
        if (!block.ok()) break;
        Bytes piece;
        if (i == 0) {
          piece = {'S', 'N', 0, 0, 0, 0};
          EncodeFixed32(piece.data() + 2, static_cast<uint32_t>(nid));
        }
        piece.insert(piece.end(), block->begin(), block->end());
        Append(out, piece);
      }
      return Status::Ok();
    });
    return out;
  }

  void Node(const ndb::NodeEntry& n) {
    auto node = db_->OpenNodeFromBids(n.nid, n.data_bid, n.subnode_bid);
    if (!node.ok() || (*node)->block_count() == 0) return;
    const std::string name = Hex(n.nid);
    Tree(n, name);
    auto first = (*node)->ReadBlock(0);
    if (!first.ok() || first->size() < 12 || (*first)[2] != 0xEC) return;
    const Bytes pieces = Pieces(**node);
    if (pieces.empty()) return;
    const uint8_t client = (*first)[3];
    if (n.nid == ndb::kNidNameToIdMap) {
      Write("name_map_fuzzer", "map", pieces);
    } else if (client == ltp::kHeapClientProperties) {
      Write("pc_fuzzer", "pc" + name, pieces);
      Strings(std::move(node).value(), name);
    } else if (client == ltp::kHeapClientTable) {
      Write("tc_fuzzer", "tc" + name, pieces);
    }
    Write("heap_fuzzer", "hp" + Hex(client) + name, pieces);
  }

  // 8-bit and UTF-16 strings of a property context.
  void Strings(std::unique_ptr<ndb::NodeData> node, const std::string& name) {
    auto pc = ltp::PropertyContext::Open(std::move(node));
    if (!pc.ok()) return;
    for (const auto& e : pc->entries()) {
      if (e.type != ltp::kPtypString8 && e.type != ltp::kPtypString) continue;
      auto value = pc->ReadValue(e, 4096);
      if (!value.ok() || value->size() < 8) continue;
      Bytes seed = {0, static_cast<uint8_t>(e.type == ltp::kPtypString ? 1 : 0)};
      seed.insert(seed.end(), value->begin(), value->end());
      Write("codepage_fuzzer", "s" + std::to_string(e.type) + name + "-" + Hex(e.id), seed);
    }
  }

  // A data tree or subnode tree with internal blocks, its blocks renumbered
  // to 4 * i (internal ones 4 * i + 2) as the tree target numbers pieces.
  void Tree(const ndb::NodeEntry& n, const std::string& name) {
    const bool data_tree = ndb::IsInternalBid(n.data_bid);
    if (!data_tree && n.subnode_bid == 0) return;
    std::map<ndb::Bid, size_t> index;
    std::vector<Bytes> blocks;
    const size_t width = db_->format() == ndb::Format::kAnsi ? 4 : 8;
    // Renumbers bid, reading its block (and, for internal blocks, below it).
    std::function<ndb::Bid(ndb::Bid, int)> take = [&](ndb::Bid bid, int depth) -> ndb::Bid {
      if (bid == 0 || depth > 3 || blocks.size() >= 32) return 0;
      const ndb::Bid key = bid & ~ndb::Bid{1};
      if (auto it = index.find(key); it != index.end()) return 4 * it->second | (bid & 2);
      auto data = db_->ReadBlock(bid);
      if (!data.ok()) return 0;
      blocks.push_back(*data);
      const size_t i = blocks.size();
      index[key] = i;
      if (ndb::IsInternalBid(bid) && data->size() >= 8) {
        Bytes& b = blocks[i - 1];
        const bool subnodes = b[0] == 0x02;
        const size_t count = DecodeFixed16(b.data() + 2);
        const size_t head = subnodes ? (width == 4 ? 4 : 8) : 8;
        const size_t fields = subnodes ? (b[1] == 0 ? 3 : 2) : 1;
        for (size_t k = 0; k < count; ++k) {
          for (size_t f = subnodes ? 1 : 0; f < fields; ++f) {
            const size_t at = head + (k * fields + f) * width;
            if (at + width > blocks[i - 1].size()) return 4 * i | 2;
            const ndb::Bid child = width == 4 ? DecodeFixed32(blocks[i - 1].data() + at)
                                              : DecodeFixed64(blocks[i - 1].data() + at);
            const ndb::Bid renumbered = take(child, depth + 1);
            if (width == 4) {
              EncodeFixed32(blocks[i - 1].data() + at, static_cast<uint32_t>(renumbered));
            } else {
              EncodeFixed64(blocks[i - 1].data() + at, renumbered);
            }
          }
        }
        return 4 * i | 2;
      }
      return 4 * i;
    };
    const ndb::Bid data = data_tree ? take(n.data_bid, 0) : 0;
    const ndb::Bid sub = take(n.subnode_bid, 0);
    Bytes seed = {static_cast<uint8_t>(width == 4 ? 0 : 1), static_cast<uint8_t>(data / 4),
                  static_cast<uint8_t>(sub / 4)};
    if (blocks.size() > 255) return;
    for (const Bytes& b : blocks) Append(seed, b);
    Write("tree_fuzzer", (data_tree ? "dt" : "st") + name, seed);
  }

  // Block images as stored: raw (trailer included) and sealed (the stored
  // bytes; the target writes the trailer).
  void Block(const ndb::BlockEntry& b) {
    const ndb::Header& h = db_->header();
    const bool zlib = b.inflated_size != b.size;
    const std::string kind = zlib ? "zl" : ndb::IsInternalBid(b.bid) ? "in" : "da";
    if (count_["block_fuzzer" + kind + "r"] >= kPerKind) return;
    Bytes image(ndb::BlockDiskSize(h.format, b.size));
    if (!db_->file().Read(b.offset, image).ok()) return;
    const uint8_t format = h.format == ndb::Format::kAnsi ? 0 : h.format == ndb::Format::kUnicode ? 1 : 2;
    const uint8_t control = format | static_cast<uint8_t>(static_cast<uint8_t>(h.crypt_method) << 2);
    Bytes head(11);
    head[0] = control;
    EncodeFixed64(head.data() + 1, b.bid);
    EncodeFixed16(head.data() + 9, b.inflated_size);
    Bytes raw = head;
    raw.insert(raw.end(), image.begin(), image.end());
    Bytes sealed = head;
    sealed[0] |= 0x10;
    sealed.insert(sealed.end(), image.begin(), image.begin() + b.size);
    // Kinds are counted by their first three letters.
    Write("block_fuzzer", kind + "r" + Hex(b.bid), raw);
    Write("block_fuzzer", kind + "s" + Hex(b.bid), sealed);
  }

  fs::path out_;
  std::string store_;
  const ndb::Database* db_ = nullptr;
  std::map<std::string, int> count_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: seed_cutter OUT_DIR STORE...\n");
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    auto file = io::OpenReadOnly(argv[i]);
    if (!file.ok()) continue;
    auto db = ndb::Database::Open(std::shared_ptr<const io::RandomAccessFile>(std::move(file).value()));
    if (!db.ok()) continue;
    Cutter(argv[1], fs::path(argv[i]).stem().string()).Run(**db);
  }
  return 0;
}
