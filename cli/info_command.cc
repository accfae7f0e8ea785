// quillmar-cli info: what a store is (format, encoding, password) and what it
// holds (folders, messages, FAI messages, attachments).
#include <iostream>

#include "cli/command.h"
#include "cli/json.h"
#include "cli/options.h"
#include "pst/base/hex.h"
#include "pst/messaging/store.h"
#include "pst/messaging/walk.h"

namespace quillmar::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli info [--json] [--codepage N] FILE\n"
    "  Tells a store's format, encoding and password state, and counts what it holds.\n";

// Embedded messages nest; past this depth the store is treated as damaged.
constexpr int kMaxEmbeddingDepth = 32;

struct Counts {
  size_t folders = 0;
  size_t messages = 0;
  size_t fai_messages = 0;
  size_t attachments = 0;
  size_t embedded_messages = 0;
  std::vector<std::string> problems;
};

void CountAttachments(const pst::messaging::Message& message, int depth, Counts* counts) {
  auto ids = message.AttachmentNids();
  if (!ids.ok()) {
    counts->problems.push_back(ids.status().ToString());
    return;
  }
  for (pst::ndb::Nid id : *ids) {
    ++counts->attachments;
    auto attachment = message.OpenAttachment(id);
    if (!attachment.ok()) {
      counts->problems.push_back(attachment.status().ToString());
      continue;
    }
    auto method = attachment->Method();
    if (!method.ok() || *method != pst::messaging::kAttachEmbeddedMessage) continue;
    if (depth >= kMaxEmbeddingDepth) {
      counts->problems.push_back("attachment " + pst::Hex(id) + ": embedded messages nest too deep");
      continue;
    }
    auto inner = attachment->OpenEmbeddedMessage();
    if (!inner.ok()) {
      counts->problems.push_back(inner.status().ToString());
      continue;
    }
    ++counts->embedded_messages;
    CountAttachments(*inner, depth + 1, counts);
  }
}

void CountMessages(const pst::messaging::Store& store,
                   const pst::Result<std::vector<pst::ndb::Nid>>& ids, size_t* total, Counts* counts) {
  if (!ids.ok()) {
    counts->problems.push_back(ids.status().ToString());
    return;
  }
  *total += ids->size();
  for (pst::ndb::Nid id : *ids) {
    auto message = store.OpenMessage(id);
    if (!message.ok()) {
      counts->problems.push_back(message.status().ToString());
      continue;
    }
    CountAttachments(*message, 0, counts);
  }
}

const char* FormatName(pst::ndb::Format format, bool json) {
  switch (format) {
    case pst::ndb::Format::kAnsi: return json ? "ansi" : "ANSI";
    case pst::ndb::Format::kUnicode: return json ? "unicode" : "Unicode";
    case pst::ndb::Format::kUnicode4k: return json ? "unicode-4k" : "Unicode 4K";
  }
  return "unknown";
}

const char* CryptName(pst::ndb::CryptMethod crypt, bool json) {
  switch (crypt) {
    case pst::ndb::CryptMethod::kNone: return json ? "none" : "none";
    case pst::ndb::CryptMethod::kPermute: return json ? "permute" : "compressible (permute)";
    case pst::ndb::CryptMethod::kCyclic: return json ? "cyclic" : "high (cyclic)";
  }
  return "unknown";
}

}  // namespace

int RunInfo(const Args& args) {
  auto options = ParseCommon(args, kUsage, true, false);
  if (!options) return kExitUsage;
  auto store = OpenStoreOrReport(*options);
  if (!store) return kExitDamaged;

  Counts counts;
  std::vector<pst::messaging::FolderDamage> damage;
  pst::messaging::WalkOptions walk_options;
  walk_options.include_start = true;
  pst::Status status = pst::messaging::WalkFolders(
      *store, pst::ndb::kNidRootFolder,
      [&](const pst::messaging::Folder& folder, const std::vector<std::string>&) {
        ++counts.folders;
        CountMessages(*store, folder.MessageNids(), &counts.messages, &counts);
        CountMessages(*store, folder.AssociatedMessageNids(), &counts.fai_messages, &counts);
        return pst::Status::Ok();
      },
      &damage, walk_options);
  for (const auto& d : damage) counts.problems.push_back(d.status.ToString());
  if (!status.ok()) counts.problems.push_back(status.ToString());
  auto name = store->DisplayName();

  const auto& header = store->database().header();
  const uint64_t size = store->database().file().Size();
  if (options->json) {
    std::cout << "{\"file\":" << JsonString(options->file)
              << ",\"format\":" << JsonString(FormatName(store->format(), true))
              << ",\"version\":" << header.version
              << ",\"crypt\":" << JsonString(CryptName(store->database().crypt_method(), true))
              << ",\"password\":" << (store->has_password() ? "true" : "false")
              << ",\"size\":" << size
              << ",\"display_name\":" << JsonString(name.ok() ? *name : std::string())
              << ",\"folders\":" << counts.folders << ",\"messages\":" << counts.messages
              << ",\"fai_messages\":" << counts.fai_messages
              << ",\"attachments\":" << counts.attachments
              << ",\"embedded_messages\":" << counts.embedded_messages << ",\"problems\":[";
    for (size_t i = 0; i < counts.problems.size(); ++i) {
      std::cout << (i ? "," : "") << JsonString(counts.problems[i]);
    }
    std::cout << "]}\n";
  } else {
    std::cout << "File:              " << options->file << "\n"
              << "Format:            " << FormatName(store->format(), false) << " (version "
              << header.version << ")\n"
              << "Encoding:          " << CryptName(store->database().crypt_method(), false) << "\n"
              << "Password:          " << (store->has_password() ? "set" : "none") << "\n"
              << "Size:              " << size << " bytes\n"
              << "Display name:      " << (name.ok() ? *name : std::string("(unreadable)")) << "\n"
              << "Folders:           " << counts.folders << "\n"
              << "Messages:          " << counts.messages << "\n"
              << "FAI messages:      " << counts.fai_messages << "\n"
              << "Attachments:       " << counts.attachments << " (" << counts.embedded_messages
              << " embedded messages)\n";
  }
  for (const auto& p : counts.problems) std::cerr << "quillmar-cli: damaged: " << p << "\n";
  return counts.problems.empty() ? kExitOk : kExitDamaged;
}

}  // namespace quillmar::cli
