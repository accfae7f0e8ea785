// CheckStore: runs the passes in order. The node-database passes use the
// file directly and go on past any damage; the passes above them open the
// store through the engine, which needs a readable header and B-tree roots.
#include "pst/check/check.h"

#include <algorithm>

#include "pst/base/hex.h"
#include "pst/check/context.h"

namespace pst::check {

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::kError: return "error";
    case Severity::kWarning: return "warning";
    case Severity::kNote: return "note";
  }
  return "error";
}

void Findings::Add(Severity severity, std::string where, std::string what) {
  switch (severity) {
    case Severity::kError: ++report_->errors; break;
    case Severity::kWarning: ++report_->warnings; break;
    case Severity::kNote: ++report_->notes; break;
  }
  if (report_->problems.size() >= max_) {
    ++report_->dropped;
    return;
  }
  report_->problems.push_back({severity, std::move(where), std::move(what)});
}

BlockRecord* Context::FindBlock(ndb::Bid bid) {
  const ndb::Bid key = bid & ~ndb::Bid{1};
  auto it = std::lower_bound(blocks.begin(), blocks.end(), key,
                             [](const BlockRecord& b, ndb::Bid v) { return b.bid < v; });
  return it != blocks.end() && it->bid == key ? &*it : nullptr;
}

const ndb::NodeEntry* Context::FindNode(ndb::Nid nid) const {
  auto it = std::lower_bound(nodes.begin(), nodes.end(), nid,
                             [](const ndb::NodeEntry& n, ndb::Nid v) { return n.nid < v; });
  return it != nodes.end() && it->nid == nid ? &*it : nullptr;
}

std::string BlockWhere(const BlockRecord& block) {
  return "block " + Hex(block.bid) + " at " + Hex(block.offset);
}

std::string NodeWhere(ndb::Nid nid) { return "node " + Hex(nid); }

std::string KindName(BlockKind kind) {
  switch (kind) {
    case BlockKind::kUnread: return "unread block";
    case BlockKind::kBadTrailer: return "damaged block";
    case BlockKind::kData: return "data block";
    case BlockKind::kXBlock: return "XBLOCK";
    case BlockKind::kXXBlock: return "XXBLOCK";
    case BlockKind::kSLBlock: return "SLBLOCK";
    case BlockKind::kSIBlock: return "SIBLOCK";
    case BlockKind::kBadInternal: return "malformed internal block";
  }
  return "block";
}

CheckReport CheckStore(const io::RandomAccessFile& file, const CheckOptions& options) {
  CheckReport report;
  Context ctx(file, options, &report);
  if (!CheckHeader(ctx)) {
    report.readable = false;
    return report;
  }
  const bool roots = CheckBTrees(ctx);
  CheckBlocks(ctx);
  CheckReferences(ctx);
  CheckSpace(ctx);
  if (!roots) {
    report.readable = false;
    return report;
  }
  auto db = ndb::Database::Open(ctx.readable_file);
  if (!db.ok()) {
    ctx.findings.Error("store", "the engine cannot open it: " + db.status().message());
    report.readable = false;
    return report;
  }
  if (options.check_objects) {
    CheckObjects(ctx, **db);
    CheckFolders(ctx, **db);
    CheckNameMap(ctx, **db);
  }
  return report;
}

}  // namespace pst::check
