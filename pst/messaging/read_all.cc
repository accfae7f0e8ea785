#include "pst/messaging/read_all.h"

#include <algorithm>

#include "pst/base/hex.h"
#include "pst/messaging/store.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/walk.h"

namespace pst::messaging {
namespace {

constexpr size_t kChunk = 64 * 1024;

class Reader {
 public:
  Reader(const Store& store, const ReadOptions& options, ReadStats* stats)
      : store_(store), options_(options), stats_(stats) {}

  void Run() {
    std::vector<FolderDamage> damage;
    WalkOptions walk;
    walk.include_start = true;
    Status s = WalkFolders(
        store_, ndb::kNidRootFolder,
        [&](const Folder& folder, const std::vector<std::string>&) {
          ++stats_->folders;
          ReadProperties(folder.properties());
          ReadMessages(folder.MessageNids(), &stats_->messages);
          ReadMessages(folder.AssociatedMessageNids(), &stats_->fai_messages);
          return Status::Ok();
        },
        &damage, walk);
    for (auto& d : damage) Problem(d.status);
    if (!s.ok()) Problem(s);
    if (options_.read_values) {
      auto names = store_.Names();
      if (!names.ok()) Problem(names.status());
      ReadProperties(store_.properties());
    }
  }

 private:
  void Problem(const Status& status) {
    if (stats_->problems.size() < options_.max_problems) stats_->problems.push_back(status.ToString());
  }

  void ReadProperties(const ltp::PropertyContext& pc) {
    stats_->properties += pc.entries().size();
    if (!options_.read_values) return;
    Bytes buf;
    for (const auto& entry : pc.entries()) {
      auto stream = pc.OpenValue(entry);
      if (!stream.ok()) {
        Problem(stream.status());
        continue;
      }
      const uint64_t size = (*stream)->size();
      for (uint64_t off = 0; off < size; off += kChunk) {
        buf.resize(static_cast<size_t>(std::min<uint64_t>(kChunk, size - off)));
        Status s = (*stream)->Read(off, buf);
        if (!s.ok()) {
          Problem(s);
          break;
        }
        stats_->value_bytes += buf.size();
      }
    }
  }

  void ReadTable(const ltp::TableContext& table, uint64_t* rows) {
    *rows += table.row_count();
    if (!options_.read_values) return;
    for (size_t row = 0; row < table.row_count(); ++row) {
      auto cells = table.ReadRow(row);
      if (!cells.ok()) {
        Problem(cells.status());
        continue;
      }
      for (const auto& cell : *cells) stats_->value_bytes += cell.data.size();
    }
  }

  void ReadMessages(const Result<std::vector<ndb::Nid>>& ids, uint64_t* count) {
    if (!ids.ok()) {
      Problem(ids.status());
      return;
    }
    *count += ids->size();
    for (ndb::Nid id : *ids) {
      auto message = store_.OpenMessage(id);
      if (!message.ok()) {
        Problem(message.status());
        continue;
      }
      ReadMessage(*message, 0);
    }
  }

  void ReadMessage(const Message& message, uint64_t depth) {
    ReadProperties(message.properties());
    if (options_.read_values || options_.open_recipients) {
      auto recipients = message.OpenRecipientTable();
      if (!recipients.ok()) {
        Problem(recipients.status());
      } else if (*recipients) {
        ReadTable(**recipients, &stats_->recipients);
      }
    }
    auto table = message.OpenAttachmentTable();
    if (!table.ok()) {
      Problem(table.status());
      return;
    }
    if (!*table) return;
    uint64_t rows = 0;
    ReadTable(**table, &rows);
    for (size_t row = 0; row < (*table)->row_count(); ++row) {
      auto id = (*table)->RowId(row);
      if (!id.ok()) {
        Problem(id.status());
        continue;
      }
      ++stats_->attachments;
      auto attachment = message.OpenAttachment(*id);
      if (!attachment.ok()) {
        Problem(attachment.status());
        continue;
      }
      ReadProperties(attachment->properties());
      auto method = attachment->Method();
      if (!method.ok()) {
        Problem(method.status());
        continue;
      }
      if (*method != kAttachEmbeddedMessage) continue;
      if (depth >= options_.max_embedding_depth) {
        Problem(Status::Corruption("attachment " + Hex(*id) + ": embedded messages nest deeper than " +
                                   std::to_string(options_.max_embedding_depth)));
        continue;
      }
      auto inner = attachment->OpenEmbeddedMessage();
      if (!inner.ok()) {
        Problem(inner.status());
        continue;
      }
      ++stats_->embedded_messages;
      ReadMessage(*inner, depth + 1);
    }
  }

  const Store& store_;
  const ReadOptions& options_;
  ReadStats* stats_;
};

}  // namespace

ReadStats ReadEverything(const Store& store, const ReadOptions& options) {
  ReadStats stats;
  Reader(store, options, &stats).Run();
  return stats;
}

}  // namespace pst::messaging
