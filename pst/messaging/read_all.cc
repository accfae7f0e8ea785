#include "pst/messaging/read_all.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "pst/base/hex.h"
#include "pst/messaging/store.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/walk.h"

namespace pst::messaging {
namespace {

constexpr size_t kChunk = 64 * 1024;
// A folder's messages are shared with the helper thread a few at a time, and
// only when there are enough of them to be worth waking it.
constexpr size_t kMessagesPerShare = 4;
constexpr size_t kFewestMessagesToShare = 8;
// Shares handed out at a time, so that a folder of a million messages keeps
// no more than this many stats.
constexpr size_t kSharesAtOnce = 1024;
// A folder's message ids are read from its table this many at a time.
constexpr size_t kMessagesPerPiece = kSharesAtOnce * kMessagesPerShare;

// A second thread that runs what it is given alongside the caller. Messages
// are independent of one another and reading them is mostly inflating and
// decoding blocks, so two threads read a folder's messages nearly twice as
// fast as one. Messages may be read from two threads at once as long as each
// opens its own: the database below locks its caches. (The store's name map
// and node links are made on first use, so only this thread touches them.)
class HelperThread {
 public:
  HelperThread() : thread_([this] { Loop(); }) {}
  ~HelperThread() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  // Runs `work` on this thread and the helper at once; returns when both
  // have returned.
  void RunOnBoth(const std::function<void()>& work) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      work_ = &work;
    }
    wake_.notify_one();
    work();
    std::unique_lock<std::mutex> lock(mu_);
    done_.wait(lock, [this] { return work_ == nullptr; });
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || work_ != nullptr; });
      if (stopping_) return;
      const std::function<void()>* work = work_;
      lock.unlock();
      (*work)();
      lock.lock();
      work_ = nullptr;
      done_.notify_one();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void()>* work_ = nullptr;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts using the members above at once
};

bool ShouldUseHelper(const ReadOptions& options) {
  if (options.threads == 1) return false;
  return options.threads >= 2 || std::thread::hardware_concurrency() >= 2;
}

class Reader {
 public:
  Reader(const Store& store, const ReadOptions& options, ReadStats* stats)
      : store_(store), options_(options), stats_(stats) {}

  void Run() {
    share_ = ShouldUseHelper(options_);
    std::vector<FolderDamage> damage;
    WalkOptions walk;
    walk.include_start = true;
    Status s = WalkFolders(
        store_, ndb::kNidRootFolder,
        [&](const Folder& folder, const std::vector<std::string>&) {
          ++stats_->folders;
          ReadProperties(folder.properties());
          auto normal = [&](const std::vector<ndb::Nid>& ids) { ReadMessages(ids, &stats_->messages); };
          auto fai = [&](const std::vector<ndb::Nid>& ids) { ReadMessages(ids, &stats_->fai_messages); };
          Status read = folder.ForEachMessageNidPiece(kMessagesPerPiece, normal);
          if (!read.ok()) Problem(read);
          read = folder.ForEachAssociatedMessageNidPiece(kMessagesPerPiece, fai);
          if (!read.ok()) Problem(read);
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

  void ReadMessages(const std::vector<ndb::Nid>& ids, uint64_t* count) {
    *count += ids.size();
    if (ids.size() < kFewestMessagesToShare || !share_) {
      for (ndb::Nid id : ids) ReadMessageById(id);
      return;
    }
    // Each share of messages is read into its own stats, which are then
    // added up in order: the problems come out as a single thread finds them.
    if (!helper_) helper_ = std::make_unique<HelperThread>();
    const size_t shares = (ids.size() + kMessagesPerShare - 1) / kMessagesPerShare;
    std::vector<ReadStats> results;
    for (size_t first = 0; first < shares; first += kSharesAtOnce) {
      const size_t count = std::min(kSharesAtOnce, shares - first);
      results.assign(count, ReadStats());
      std::atomic<size_t> next{0};
      const std::function<void()> work = [&] {
        for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
          Reader reader(store_, options_, &results[i]);
          const size_t begin = (first + i) * kMessagesPerShare;
          const size_t end = std::min(ids.size(), begin + kMessagesPerShare);
          for (size_t m = begin; m < end; ++m) reader.ReadMessageById(ids[m]);
        }
      };
      helper_->RunOnBoth(work);
      for (const ReadStats& part : results) Add(part);
    }
  }

  void Add(const ReadStats& part) {
    stats_->attachments += part.attachments;
    stats_->embedded_messages += part.embedded_messages;
    stats_->recipients += part.recipients;
    stats_->properties += part.properties;
    stats_->value_bytes += part.value_bytes;
    for (const std::string& problem : part.problems) {
      if (stats_->problems.size() < options_.max_problems) stats_->problems.push_back(problem);
    }
  }

  void ReadMessageById(ndb::Nid id) {
    auto message = store_.OpenMessage(id);
    if (!message.ok()) {
      Problem(message.status());
      return;
    }
    ReadMessage(*message, 0);
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
  bool share_ = false;                    // Run's reader shares big folders
  std::unique_ptr<HelperThread> helper_;  // made when a folder is worth sharing
};

}  // namespace

ReadStats ReadEverything(const Store& store, const ReadOptions& options) {
  ReadStats stats;
  Reader(store, options, &stats).Run();
  return stats;
}

}  // namespace pst::messaging
