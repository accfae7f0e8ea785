// Object pass: every node and subnode whose data is a heap ([MS-PST] 2.3.1)
// is opened by its client signature and read in full:
//   0xBC  property context: every value, through the engine's reader
//   0x7C  table context: every cell of every row, and the RowIndex
//   0xB5  a bare BTH: every record (also under other clients whose root
//         item is a BTH header, such as 0x9C)
// plus the page map of every heap page:
//   page 0 HNHDR (ibHnpm 2, bSig 0xEC, bClientSig, hidUserRoot, fill 4)
//   pages 8, 136, ... HNBITMAPHDR (ibHnpm 2, fill 64); others ibHnpm (2)
//   HNPAGEMAP at ibHnpm: cAlloc (2), cFree (2), rgibAlloc (cAlloc + 1) x 2
// A message's attachment table must list exactly its attachment subnodes.
// Nodes whose type says what they hold (folders and messages hold property
// contexts, folder/recipient/attachment tables table contexts) must hold it.
#include <functional>
#include <memory>
#include <set>
#include <tuple>
#include <string>
#include <unordered_set>

#include "pst/base/byte_reader.h"
#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/check/context.h"
#include "pst/ltp/bth.h"
#include "pst/ltp/heap.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/table_context.h"

namespace pst::check {
namespace {

constexpr int kMaxDepth = 32;
// One damaged table could otherwise fill the report with a line per cell.
constexpr int kMaxFindingsPerObject = 20;

enum class Expect { kAny, kProperties, kTable, kRaw };

Expect ExpectFor(ndb::Nid nid) {
  if (nid == ndb::kNidMessageStore || nid == ndb::kNidNameToIdMap) return Expect::kProperties;
  switch (ndb::NidTypeOf(nid)) {
    case ndb::kNidTypeNormalFolder:
    case ndb::kNidTypeSearchFolder:
    case ndb::kNidTypeNormalMessage:
    case ndb::kNidTypeAssocMessage:
    case ndb::kNidTypeAttachment:
      return Expect::kProperties;
    case ndb::kNidTypeReceiveFolderTable:
    case ndb::kNidTypeOutgoingQueueTable:
    case ndb::kNidTypeHierarchyTable:
    case ndb::kNidTypeContentsTable:
    case ndb::kNidTypeAssocContentsTable:
    case ndb::kNidTypeAttachmentTable:
    case ndb::kNidTypeRecipientTable:
      return Expect::kTable;
    case ndb::kNidTypeLtp:
      return Expect::kRaw;  // a value or a row matrix, read through its owner
    default:
      return Expect::kAny;
  }
}

const char* ExpectName(Expect e) {
  return e == Expect::kProperties ? "a property context" : "a table context";
}

using Opener = std::function<Result<std::unique_ptr<ndb::NodeData>>()>;

class ObjectChecker {
 public:
  ObjectChecker(Context& ctx, const ndb::Database& db) : ctx_(ctx), db_(db) {}

  void Node(const ndb::NodeEntry& n) {
    // Nodes sharing their data and subnodes (identical messages, empty
    // folder tables sharing a template) need reading once.
    const auto key = std::make_tuple(n.data_bid, n.subnode_bid, static_cast<int>(ExpectFor(n.nid)),
                                     IsMessage(n.nid));
    if (!done_.insert(key).second) return;
    // Nodes whose root blocks are missing or damaged were reported already.
    for (ndb::Bid bid : {n.data_bid, n.subnode_bid}) {
      if (bid == 0) continue;
      const BlockRecord* b = ctx_.FindBlock(bid);
      if (b == nullptr || b->kind == BlockKind::kUnread || b->kind == BlockKind::kBadTrailer ||
          b->kind == BlockKind::kBadInternal) {
        return;
      }
    }
    Object([&] { return db_.OpenNodeFromBids(n.nid, n.data_bid, n.subnode_bid); }, n.nid,
           ExpectFor(n.nid), NodeWhere(n.nid), 0);
  }

 private:
  // Reports through a per-object budget.
  struct Budget {
    int left = kMaxFindingsPerObject;
  };
  void Report(Budget& budget, Severity severity, const std::string& where, const std::string& what) {
    if (budget.left-- > 0) {
      ctx_.findings.Add(severity, where, what);
    } else if (budget.left == -1) {
      ctx_.findings.Add(severity, where, "further findings in this object are not listed");
    }
  }
  // What the engine cannot read is an error; what it does not support
  // (property types it does not know) is a note: the file is not at fault.
  void Report(Budget& budget, const std::string& where, const Status& s,
              Severity severity = Severity::kError) {
    Report(budget, s.code() == Status::Code::kNotSupported ? Severity::kNote : severity, where,
           s.message());
  }

  void Object(const Opener& open, ndb::Nid nid, Expect expect, const std::string& where,
              int depth) {
    Budget budget;
    auto node = open();
    if (!node.ok()) return Report(budget, where, node.status());
    if ((*node)->block_count() == 0) {
      if (expect == Expect::kProperties || expect == Expect::kTable) {
        Report(budget, Severity::kError, where, std::string("has no data, but should hold ") +
                                                    ExpectName(expect));
      }
    } else if (expect != Expect::kRaw) {
      Contents(open, **node, nid, where, expect, budget);
    }

    std::vector<ndb::Nid> subnodes;
    Status s = (*node)->ForEachSubnode([&](ndb::Nid sub) {
      subnodes.push_back(sub);
      return Status::Ok();
    });
    if (!s.ok()) return Report(budget, where, s);
    if (!subnodes.empty() && depth >= kMaxDepth) {
      return Report(budget, Severity::kError, where, "subnodes nest too deep");
    }
    const ndb::NodeData& parent = **node;
    const uint8_t type = ndb::NidTypeOf(nid);
    if (type == ndb::kNidTypeNormalMessage || type == ndb::kNidTypeAssocMessage) {
      Attachments(parent, subnodes, where, budget);
    }
    for (ndb::Nid sub : subnodes) {
      // A subnode's NID type says what it holds only inside objects whose
      // layout is known; nodes of undocumented kinds (such as 0x0A, written
      // by Outlook 2003) number their subnodes their own way.
      const Expect sub_expect = expect == Expect::kAny ? Expect::kAny : ExpectFor(sub);
      Object([&] { return parent.OpenSubnode(sub); }, sub, sub_expect, where + " subnode " + Hex(sub),
             depth + 1);
    }
  }

  // A message's attachment table (subnode 0x671) lists exactly its
  // attachment subnodes (type 0x05), RowID = attachment NID.
  void Attachments(const ndb::NodeData& message, const std::vector<ndb::Nid>& subnodes,
                   const std::string& where, Budget& budget) {
    std::set<ndb::Nid> attachments;
    bool has_table = false;
    for (ndb::Nid s : subnodes) {
      if (s == ndb::kNidAttachmentTable) has_table = true;
      if (ndb::NidTypeOf(s) == ndb::kNidTypeAttachment) attachments.insert(s);
    }
    if (!has_table) {
      if (!attachments.empty()) {
        Report(budget, Severity::kError, where, std::to_string(attachments.size()) +
                                                    " attachment subnodes but no attachment table");
      }
      return;
    }
    auto node = message.OpenSubnode(ndb::kNidAttachmentTable);
    if (!node.ok()) return;  // reported with the subnode itself
    auto tc = ltp::TableContext::Open(std::move(node).value());
    if (!tc.ok()) return;
    std::set<ndb::Nid> listed;
    for (size_t row = 0; row < tc->row_count(); ++row) {
      auto id = tc->RowId(row);
      if (!id.ok()) continue;
      listed.insert(*id);
      if (!attachments.count(*id)) {
        Report(budget, Severity::kError, where, "attachment table row " + std::to_string(row) +
                                                    " names " + Hex(*id) +
                                                    ", which is not an attachment subnode");
      }
    }
    for (ndb::Nid a : attachments) {
      if (!listed.count(a)) {
        Report(budget, Severity::kError, where, "attachment subnode " + Hex(a) +
                                                    " has no row in the attachment table");
      }
    }
  }

  void Contents(const Opener& open, const ndb::NodeData& node, ndb::Nid nid,
                const std::string& where, Expect expect, Budget& budget) {
    auto first = node.ReadBlock(0);
    if (!first.ok()) return Report(budget, where, first.status());
    const bool heap = first->size() >= 12 && (*first)[2] == 0xEC;
    if (!heap) {
      if (expect != Expect::kAny) {
        Report(budget, Severity::kError, where, std::string("data is not a heap, but should hold ") +
                                                    ExpectName(expect));
      }
      return;
    }
    if (!HeapPages(node, where, budget)) return;
    const uint8_t client = (*first)[3];
    if (expect == Expect::kProperties && client != ltp::kHeapClientProperties) {
      return Report(budget, Severity::kError, where,
                    "heap client " + Hex(client) + ", but the node should hold a property context");
    }
    if (expect == Expect::kTable && client != ltp::kHeapClientTable) {
      return Report(budget, Severity::kError, where,
                    "heap client " + Hex(client) + ", but the node should hold a table context");
    }
    if (client == ltp::kHeapClientProperties) return Properties(open, where, budget);
    if (client == ltp::kHeapClientTable) {
      return Table(open, where, expect == Expect::kTable && IsFolderTable(nid), budget);
    }
    // Other clients (0xB5, and undocumented ones such as 0x9C) may keep a
    // BTH at their root; read it when they do.
    BareBth(node, where, budget);
  }

  // The page map of every heap page.
  bool HeapPages(const ndb::NodeData& node, const std::string& where, Budget& budget) {
    bool ok = true;
    for (size_t i = 0; i < node.block_count(); ++i) {
      auto page = node.ReadBlock(i);
      if (!page.ok()) {
        Report(budget, where, page.status());
        return false;
      }
      const std::string at = where + " heap page " + std::to_string(i);
      const size_t header = i == 0 ? 12 : (i % 128 == 8 ? 66 : 2);
      ByteReader r(*page);
      const size_t map = r.U16();
      if (i == 0 && (*page)[2] != 0xEC) {
        Report(budget, Severity::kError, at, "bSig " + Hex((*page)[2]) + ", expected 0xEC");
        ok = false;
      }
      if (page->size() < header || map < header || map % 2 != 0 || map + 4 > page->size()) {
        Report(budget, Severity::kError, at, "ibHnpm " + std::to_string(map) + " does not fit a " +
                                                 std::to_string(page->size()) + "-byte page");
        ok = false;
        continue;
      }
      r.Seek(map);
      const size_t count = r.U16();
      const size_t freed = r.U16();
      if (map + 4 + 2 * (count + 1) > page->size()) {
        Report(budget, Severity::kError, at, "page map of " + std::to_string(count) +
                                                 " items passes the end of the page");
        ok = false;
        continue;
      }
      if (count > 2047) {
        Report(budget, Severity::kError, at, "cAlloc " + std::to_string(count) +
                                                 " exceeds the 2047 items a heap id can name");
        ok = false;
      }
      if (freed > count) {
        Report(budget, Severity::kError, at, "cFree " + std::to_string(freed) + " exceeds cAlloc " +
                                                 std::to_string(count));
      }
      size_t previous = header;
      for (size_t k = 0; k <= count; ++k) {
        const size_t start = r.U16();
        if (start < previous || start > map) {
          Report(budget, Severity::kError, at, "item boundary " + std::to_string(start) + " at map "
                                                   "entry " + std::to_string(k) +
                                                   " is out of order or outside the item area");
          ok = false;
          break;
        }
        previous = start;
      }
    }
    return ok;
  }

  void Properties(const Opener& open, const std::string& where, Budget& budget) {
    auto node = open();
    if (!node.ok()) return Report(budget, where, node.status());
    auto pc = ltp::PropertyContext::Open(std::move(node).value());
    if (!pc.ok()) return Report(budget, where, pc.status());
    ++ctx_.report->counts.property_contexts;
    for (const ltp::PropertyContext::Entry& e : pc->entries()) {
      auto value = pc->OpenValue(e);
      if (!value.ok()) {
        Report(budget, where, value.status());
        continue;
      }
      if (e.type != ltp::kPtypObject || (*value)->size() != 8) continue;
      // An object value names the subnode that holds the object.
      uint8_t item[8];
      if (!(*value)->Read(0, item).ok()) continue;
      const ndb::Nid object = DecodeFixed32(item);
      auto sub = pc->node().OpenSubnode(object);
      if (!sub.ok()) {
        Report(budget, Severity::kError, where,
               "property " + Hex(ltp::MakeTag(e.id, e.type)) + " names subnode " + Hex(object) +
                   ", which " + (sub.status().IsNotFound() ? "does not exist" : "cannot be opened"));
      }
    }
  }

  // `cached`: a folder's hierarchy, contents or FAI table, whose cells copy
  // properties of the objects the rows name. Such a cell that cannot be read
  // (the 4K OST sample has UTF-16 strings of odd size in one) is a warning:
  // the objects themselves hold the values and are read in full, and readers
  // list a folder's items by the row ids, which stay errors. Recipient and
  // attachment tables hold their data nowhere else: their cells are errors.
  void Table(const Opener& open, const std::string& where, bool cached, Budget& budget) {
    auto node = open();
    if (!node.ok()) return Report(budget, where, node.status());
    auto tc = ltp::TableContext::Open(std::move(node).value());
    if (!tc.ok()) return Report(budget, where, tc.status());
    ++ctx_.report->counts.table_contexts;
    ctx_.report->counts.table_rows += tc->row_count();
    std::unordered_set<uint32_t> ids;
    for (size_t row = 0; row < tc->row_count() && budget.left >= 0; ++row) {
      auto id = tc->RowId(row);
      if (!id.ok()) {
        Report(budget, where, id.status());
        continue;
      }
      if (!ids.insert(*id).second) {
        Report(budget, Severity::kError, where, "row id " + Hex(*id) + " appears in two rows");
      }
      auto found = tc->FindRow(*id);
      if (!found.ok()) {
        Report(budget, where, found.status());
      } else if (!*found || **found != row) {
        Report(budget, Severity::kError, where,
               "RowIndex gives row id " + Hex(*id) + " row " +
                   (*found ? std::to_string(**found) : std::string("none")) + ", it is in row " +
                   std::to_string(row));
      }
      for (const ltp::TableContext::Column& c : tc->columns()) {
        auto cell = tc->ReadCell(row, c);
        if (!cell.ok()) {
          Report(budget, where, cell.status(), cached ? Severity::kWarning : Severity::kError);
        }
      }
    }
  }

  void BareBth(const ndb::NodeData& node, const std::string& where, Budget& budget) {
    auto heap = ltp::Heap::Open(node);
    if (!heap.ok()) return Report(budget, where, heap.status());
    if (heap->user_root() == 0) return;
    auto root = heap->Item(heap->user_root());
    if (!root.ok()) return Report(budget, where, root.status());
    const bool is_bth = root->size() == 8 && (*root)[0] == ltp::kHeapClientBth;
    if (!is_bth) {
      if (heap->client_signature() == ltp::kHeapClientBth) {
        Report(budget, Severity::kError, where, "heap client 0xB5, but its root item is no BTH header");
      }
      return;
    }
    auto bth = ltp::Bth::Open(*heap, heap->user_root());
    if (!bth.ok()) return Report(budget, where, bth.status());
    Status s = bth->ForEach([](ByteSpan, ByteSpan) { return Status::Ok(); });
    if (!s.ok()) Report(budget, where, s);
  }

  static bool IsFolderTable(ndb::Nid nid) {
    const uint8_t type = ndb::NidTypeOf(nid);
    return type == ndb::kNidTypeHierarchyTable || type == ndb::kNidTypeContentsTable ||
           type == ndb::kNidTypeAssocContentsTable;
  }

  static bool IsMessage(ndb::Nid nid) {
    const uint8_t type = ndb::NidTypeOf(nid);
    return type == ndb::kNidTypeNormalMessage || type == ndb::kNidTypeAssocMessage;
  }

  Context& ctx_;
  const ndb::Database& db_;
  std::set<std::tuple<ndb::Bid, ndb::Bid, int, bool>> done_;
};

}  // namespace

void CheckObjects(Context& ctx, const ndb::Database& db) {
  ObjectChecker checker(ctx, db);
  for (const ndb::NodeEntry& n : ctx.nodes) checker.Node(n);
}

}  // namespace pst::check
