// The LTP writers against what Outlook wrote: every property and table
// context of every real store (top-level nodes and their subnodes) is
// rebuilt from what the reader sees, written, read back and compared; and
// Outlook's cell layout is checked to be the one AddColumn produces.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/io/file.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/property_context_builder.h"
#include "pst/ltp/table_context.h"
#include "pst/ltp/table_context_builder.h"
#include "pst/ltp/testing/memory_block_writer.h"
#include "pst/ndb/database.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"

namespace pst::ltp {
namespace {

namespace fs = std::filesystem;
using testing::MemoryBlockWriter;

struct Counts {
  size_t pcs = 0, tcs = 0, rows = 0, relaid = 0;
};

Status Fail(ndb::Nid nid, const std::string& what) {
  return Status::Corruption("node " + Hex(nid) + ": " + what);
}

Status RebuildPc(MemoryBlockWriter& writer, std::unique_ptr<ndb::NodeData> node) {
  const ndb::Nid nid = node->nid();
  PST_ASSIGN_OR_RETURN(PropertyContext pc, PropertyContext::Open(std::move(node)));
  PST_ASSIGN_OR_RETURN(PropertyContextBuilder b, PropertyContextBuilder::FromExisting(
                                                     writer.format(), pc, 4096));
  // Objects name subnodes of the node; stand-ins carry their NIDs over.
  std::set<ndb::Nid> objects;
  for (const auto& e : pc.entries()) {
    if (e.type != kPtypObject) continue;
    PST_ASSIGN_OR_RETURN(Bytes v, pc.ReadValue(e));
    objects.insert(DecodeFixed32(v.data()));
  }
  for (ndb::Nid object : objects) {
    PST_ASSIGN_OR_RETURN(ndb::Bid bid, writer.WriteData(Bytes{1}));
    PST_RETURN_IF_ERROR(b.AddSubnode({object, bid, 0}));
  }
  PST_ASSIGN_OR_RETURN(WrittenNode w, b.Write(writer));
  PST_ASSIGN_OR_RETURN(PropertyContext again,
                       PropertyContext::Open(writer.Open(nid, w.data_bid, w.subnode_bid)));
  if (again.entries().size() != pc.entries().size()) return Fail(nid, "property count differs");
  for (size_t i = 0; i < pc.entries().size(); ++i) {
    const auto& a = pc.entries()[i];
    const auto& b2 = again.entries()[i];
    if (a.id != b2.id || a.type != b2.type) return Fail(nid, "property tags differ");
    PST_ASSIGN_OR_RETURN(auto sa, pc.OpenValue(a));
    PST_ASSIGN_OR_RETURN(auto sb, again.OpenValue(b2));
    if (sa->size() != sb->size()) return Fail(nid, "size of " + Hex(a.id) + " differs");
    Bytes pa(4096), pb(4096);
    for (uint64_t off = 0; off < sa->size(); off += pa.size()) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(pa.size(), sa->size() - off));
      PST_RETURN_IF_ERROR(sa->Read(off, std::span<uint8_t>(pa.data(), n)));
      PST_RETURN_IF_ERROR(sb->Read(off, std::span<uint8_t>(pb.data(), n)));
      if (!std::equal(pa.begin(), pa.begin() + n, pb.begin())) {
        return Fail(nid, "value of " + Hex(a.id) + " differs");
      }
    }
  }
  return writer.Release(w.data_bid).ok() && (w.subnode_bid == 0 || writer.Release(w.subnode_bid).ok())
             ? Status::Ok()
             : Fail(nid, "blocks could not be given back");
}

Status RebuildTc(MemoryBlockWriter& writer, std::unique_ptr<ndb::NodeData> node, Counts& counts) {
  const ndb::Nid nid = node->nid();
  PST_ASSIGN_OR_RETURN(TableContext tc, TableContext::Open(std::move(node)));
  PST_ASSIGN_OR_RETURN(TableContextBuilder b, TableContextBuilder::FromTable(writer.format(), tc));
  PST_ASSIGN_OR_RETURN(WrittenNode w, b.Write(writer));
  PST_ASSIGN_OR_RETURN(TableContext again,
                       TableContext::Open(writer.Open(nid, w.data_bid, w.subnode_bid)));
  if (again.row_count() != tc.row_count()) return Fail(nid, "row count differs");
  if (again.row_size() != tc.row_size()) return Fail(nid, "row size differs");
  for (size_t r = 0; r < tc.row_count(); ++r) {
    PST_ASSIGN_OR_RETURN(auto ra, tc.ReadRow(r));
    PST_ASSIGN_OR_RETURN(auto rb, again.ReadRow(r));
    if (ra.size() != rb.size()) return Fail(nid, "cell count of row " + std::to_string(r));
    for (size_t i = 0; i < ra.size(); ++i) {
      if (ra[i].tag != rb[i].tag || ra[i].data != rb[i].data) {
        return Fail(nid, "cell " + Hex(ra[i].tag) + " of row " + std::to_string(r) + " differs");
      }
    }
    PST_ASSIGN_OR_RETURN(uint32_t id, tc.RowId(r));
    PST_ASSIGN_OR_RETURN(auto found, again.FindRow(id));
    if (!found || *found != r) return Fail(nid, "row index of row " + std::to_string(r));
  }
  counts.rows += tc.row_count();

  // Outlook's layout is the one columns added in bit order get.
  std::vector<TableContext::Column> by_bit = tc.columns();
  std::sort(by_bit.begin(), by_bit.end(), [](auto& x, auto& y) { return x.bit < y.bit; });
  bool bits_dense = true;
  for (size_t i = 0; i < by_bit.size(); ++i) bits_dense &= by_bit[i].bit == i;
  if (bits_dense && by_bit.size() >= 2 && by_bit[1].tag == kTagLtpRowVer) {
    TableContextBuilder relaid(writer.format());
    for (size_t i = 2; i < by_bit.size(); ++i) PST_RETURN_IF_ERROR(relaid.AddColumn(by_bit[i].tag));
    for (const auto& c : tc.columns()) {
      const auto* d = relaid.FindColumn(c.tag);
      if (!d || d->offset != c.offset || d->bit != c.bit) {
        return Fail(nid, "column " + Hex(c.tag) + " at " + std::to_string(c.offset) +
                             " is not where Outlook's layout puts it");
      }
    }
    if (relaid.row_size() != tc.row_size()) return Fail(nid, "row size of the relaid table");
    ++counts.relaid;
  }
  return writer.Release(w.data_bid).ok() && (w.subnode_bid == 0 || writer.Release(w.subnode_bid).ok())
             ? Status::Ok()
             : Fail(nid, "blocks could not be given back");
}

Status Rebuild(MemoryBlockWriter& writer, std::unique_ptr<ndb::NodeData> node, Counts& counts) {
  if (node->block_count() == 0) return Status::Ok();
  PST_ASSIGN_OR_RETURN(Bytes first, node->ReadBlock(0));
  if (first.size() < 4 || first[2] != 0xEC) return Status::Ok();  // not a heap
  if (first[3] == kHeapClientProperties) {
    ++counts.pcs;
    return RebuildPc(writer, std::move(node));
  }
  if (first[3] == kHeapClientTable) {
    ++counts.tcs;
    return RebuildTc(writer, std::move(node), counts);
  }
  return Status::Ok();
}

class RebuildStoreTest : public ::testing::TestWithParam<std::string> {};

TEST_P(RebuildStoreTest, EveryContextRebuildsToTheSameContent) {
  const fs::path path = test::SamplePath(GetParam());
  auto file = io::OpenReadOnly(path.string());
  ASSERT_OK(file);
  auto db = ndb::Database::Open(std::shared_ptr<const io::RandomAccessFile>(std::move(*file)));
  ASSERT_OK(db);
  MemoryBlockWriter writer((*db)->format());
  Counts counts;
  Status walk = (*db)->ForEachNode([&](const ndb::NodeEntry& entry) {
    PST_ASSIGN_OR_RETURN(auto node, (*db)->OpenNode(entry.nid));
    std::vector<ndb::Nid> subs;
    PST_RETURN_IF_ERROR(node->ForEachSubnode([&](ndb::Nid s) {
      subs.push_back(s);
      return Status::Ok();
    }));
    for (ndb::Nid s : subs) {
      PST_ASSIGN_OR_RETURN(auto sub, node->OpenSubnode(s));
      Status st = Rebuild(writer, std::move(sub), counts);
      if (!st.ok()) return st.WithContext("subnode " + Hex(s) + " of " + Hex(entry.nid));
    }
    return Rebuild(writer, std::move(node), counts);
  });
  ASSERT_OK(walk);
  EXPECT_GT(counts.pcs, 4u);
  EXPECT_GT(counts.tcs, 8u);
  EXPECT_EQ(counts.relaid, counts.tcs) << "tables whose layout is Outlook's";
  EXPECT_EQ(writer.live_blocks(), 0u) << "every written block given back";
  std::cout << GetParam() << ": " << counts.pcs << " PCs, " << counts.tcs << " TCs, "
            << counts.rows << " rows rebuilt\n";
}

INSTANTIATE_TEST_SUITE_P(
    OutlookStores, RebuildStoreTest,
    ::testing::Values("ansi-outlook98-empty-32k.pst", "ansi-outlook97-passworded-294msgs.pst",
                      "ansi-cp932-japanese.pst", "ansi-pstsdk-sample2.pst",
                      "unicode-empty-outlook.pst", "unicode-200-recipients.pst",
                      "unicode-outlook-all-item-types.pst", "unicode-msg-in-msg-in-msg.pst",
                      "unicode-tika-testpst-french-2mb.pst", "unicode-high-encryption.pst"),
    [](const auto& info) {
      std::string name = info.param.substr(0, info.param.size() - 4);
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

}  // namespace
}  // namespace pst::ltp
