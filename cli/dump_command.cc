// quillmar-cli dump: the properties of the store, a folder or a message, for
// debugging and for users who want to look inside.
//
// PATH is a folder path as `ls` prints it, or a NID ("0x200024") of a folder
// or message, optionally followed by "/0x8025"-style attachment NIDs to go
// into attachments and the messages embedded in them.
#include <iostream>
#include <sstream>

#include "cli/command.h"
#include "cli/options.h"
#include "cli/property_format.h"
#include "pst/base/hex.h"
#include "pst/messaging/property_access.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/walk.h"

namespace quillmar::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli dump [--codepage N] [--password-file F] FILE [PATH]\n"
    "  Without PATH: the store's properties. PATH: a folder path as `ls` prints it, or a\n"
    "  folder or message NID (0x...), optionally followed by /0x<attachment NID> steps.\n";

// Values larger than this are shown by their first bytes only.
constexpr size_t kPreviewBytes = 4096;

void PrintProperties(const pst::ltp::PropertyContext& pc, const pst::messaging::NameMap* names,
                     uint32_t codepage, bool* damaged) {
  for (const auto& entry : pc.entries()) {
    const pst::ltp::PropTag tag = pst::ltp::MakeTag(entry.id, entry.type);
    std::cout << "  " << FormatTag(tag, names) << " = ";
    auto size = pc.ValueSize(entry);
    if (!size.ok()) {
      std::cout << "(unreadable: " << size.status().ToString() << ")\n";
      *damaged = true;
      continue;
    }
    if (*size > kPreviewBytes) {
      auto stream = pc.OpenValue(entry);
      pst::Bytes head(kPreviewBytes < 64 ? kPreviewBytes : 64);
      if (!stream.ok() || !(*stream)->Read(0, head).ok()) {
        std::cout << "(unreadable large value)\n";
        *damaged = true;
        continue;
      }
      std::cout << HexBytes(head, head.size()) << "... (" << *size << " bytes)\n";
      continue;
    }
    auto value = pc.ReadValue(entry);
    if (!value.ok()) {
      std::cout << "(unreadable: " << value.status().ToString() << ")\n";
      *damaged = true;
      continue;
    }
    std::cout << FormatValue(entry.type, *value, codepage) << "\n";
  }
}

void PrintTable(const char* title, const pst::ltp::TableContext& table,
                const pst::messaging::NameMap* names, uint32_t codepage, bool* damaged) {
  std::cout << title << " (" << table.row_count() << " rows)\n";
  for (size_t row = 0; row < table.row_count(); ++row) {
    auto cells = table.ReadRow(row);
    if (!cells.ok()) {
      std::cout << "  row " << row << ": (unreadable: " << cells.status().ToString() << ")\n";
      *damaged = true;
      continue;
    }
    std::cout << "  row " << row << "\n";
    for (const auto& cell : *cells) {
      std::cout << "    " << FormatTag(cell.tag, names) << " = "
                << FormatValue(pst::ltp::PropTypeOf(cell.tag), cell.data, codepage) << "\n";
    }
  }
}

std::optional<uint32_t> ParseNid(const std::string& s) {
  if (s.size() < 3 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return std::nullopt;
  char* end = nullptr;
  unsigned long v = std::strtoul(s.c_str() + 2, &end, 16);
  if (*end != '\0' || v > 0xFFFFFFFFul) return std::nullopt;
  return static_cast<uint32_t>(v);
}

int DumpMessage(const pst::messaging::Message& message, const std::vector<uint32_t>& steps,
                size_t step, const pst::messaging::NameMap* names) {
  bool damaged = false;
  if (step < steps.size()) {
    auto attachment = message.OpenAttachment(steps[step]);
    if (!attachment.ok()) {
      std::cerr << "quillmar-cli: " << attachment.status().ToString() << "\n";
      return attachment.status().IsNotFound() ? kExitUsage : kExitDamaged;
    }
    const bool last = step + 1 == steps.size();
    if (last) {
      std::cout << "Attachment " << pst::Hex(steps[step]) << "\n";
      PrintProperties(attachment->properties(), names, message.codepage(), &damaged);
    }
    auto method = attachment->Method();
    if (!method.ok() || *method != pst::messaging::kAttachEmbeddedMessage) {
      if (!last) {
        return Refuse("dump", "attachment " + pst::Hex(steps[step]) + " holds no message");
      }
      return damaged ? kExitDamaged : kExitOk;
    }
    auto inner = attachment->OpenEmbeddedMessage();
    if (!inner.ok()) {
      std::cerr << "quillmar-cli: " << inner.status().ToString() << "\n";
      return kExitDamaged;
    }
    if (last) std::cout << "Embedded ";
    int rc = DumpMessage(*inner, steps, step + 1, names);
    return damaged ? kExitDamaged : rc;
  }
  std::cout << "Message " << pst::Hex(message.nid()) << "\n";
  PrintProperties(message.properties(), names, message.codepage(), &damaged);
  auto recipients = message.OpenRecipientTable();
  if (!recipients.ok()) {
    std::cerr << "quillmar-cli: " << recipients.status().ToString() << "\n";
    damaged = true;
  } else if (*recipients) {
    PrintTable("Recipients", **recipients, names, message.codepage(), &damaged);
  }
  auto attachments = message.OpenAttachmentTable();
  if (!attachments.ok()) {
    std::cerr << "quillmar-cli: " << attachments.status().ToString() << "\n";
    damaged = true;
  } else if (*attachments) {
    PrintTable("Attachments", **attachments, names, message.codepage(), &damaged);
  }
  return damaged ? kExitDamaged : kExitOk;
}

int DumpFolder(const pst::messaging::Store& store, const pst::messaging::Folder& folder,
               const pst::messaging::NameMap* names) {
  bool damaged = false;
  std::cout << (folder.is_search_folder() ? "Search folder " : "Folder ") << pst::Hex(folder.nid()) << "\n";
  PrintProperties(folder.properties(), names, store.default_codepage(), &damaged);
  auto list = [&](const char* title, const pst::Result<std::vector<pst::ndb::Nid>>& ids) {
    if (!ids.ok()) {
      std::cerr << "quillmar-cli: " << title << ": " << ids.status().ToString() << "\n";
      damaged = true;
      return;
    }
    std::cout << title << " (" << ids->size() << ")\n";
    for (pst::ndb::Nid id : *ids) {
      std::cout << "  " << pst::Hex(id);
      if (pst::ndb::NidTypeOf(id) == pst::ndb::kNidTypeNormalFolder ||
          pst::ndb::NidTypeOf(id) == pst::ndb::kNidTypeSearchFolder) {
        auto child = store.OpenFolder(id);
        auto name = child.ok() ? child->DisplayName() : pst::Result<std::string>(child.status());
        std::cout << "  " << (name.ok() ? "\"" + *name + "\"" : "(unreadable)");
      } else {
        auto message = store.OpenMessage(id);
        if (message.ok()) {
          auto subject = pst::messaging::GetString(message->properties(), pst::messaging::kPidSubject,
                                                   message->codepage());
          if (subject.ok() && *subject) std::cout << "  \"" << **subject << "\"";
        } else {
          std::cout << "  (unreadable)";
        }
      }
      std::cout << "\n";
    }
  };
  list("Subfolders", folder.SubfolderNids());
  list("Messages", folder.MessageNids());
  list("FAI messages", folder.AssociatedMessageNids());
  return damaged ? kExitDamaged : kExitOk;
}

// Finds a folder by its `ls` path; nullopt if there is none.
std::optional<pst::ndb::Nid> FindFolderByPath(const pst::messaging::Store& store, const std::string& path) {
  std::optional<pst::ndb::Nid> found;
  (void)pst::messaging::WalkFolders(
      store, pst::ndb::kNidRootFolder,
      [&](const pst::messaging::Folder& folder, const std::vector<std::string>& names) {
        std::string joined;
        for (size_t i = 0; i < names.size(); ++i) {
          if (i) joined += '/';
          joined += EscapePathComponent(names[i]);
        }
        if (joined == path) {
          found = folder.nid();
          return pst::Status::Cancelled("found");
        }
        return pst::Status::Ok();
      },
      nullptr);
  return found;
}

}  // namespace

int RunDump(const Args& args) {
  if (WantsHelp(args)) return PrintHelp(kUsage);
  auto options = ParseCommon(args, "dump", false, true);
  if (!options) return kExitUsage;
  auto store = OpenStoreOrReport(*options);
  if (!store) return kExitUnreadable;
  auto names_result = store->Names();
  const pst::messaging::NameMap* names = names_result.ok() ? *names_result : nullptr;
  if (!names_result.ok()) std::cerr << "quillmar-cli: " << names_result.status().ToString() << "\n";

  if (!options->path) {
    bool damaged = !names_result.ok();
    std::cout << "Store\n";
    PrintProperties(store->properties(), names, store->default_codepage(), &damaged);
    return damaged ? kExitDamaged : kExitOk;
  }

  std::vector<uint32_t> steps;
  std::stringstream parts(*options->path);
  std::string part;
  bool all_nids = true;
  while (std::getline(parts, part, '/')) {
    auto nid = ParseNid(part);
    if (!nid) {
      all_nids = false;
      break;
    }
    steps.push_back(*nid);
  }
  pst::ndb::Nid target;
  if (all_nids && !steps.empty()) {
    target = steps.front();
  } else {
    auto nid = FindFolderByPath(*store, *options->path);
    if (!nid) {
      return Refuse("dump", "no folder or NID '" + *options->path + "' in " + options->file);
    }
    target = *nid;
    steps = {target};
  }
  // A NID the store does not hold is a wrong argument, not damage.
  if (store->database().FindNode(target).status().IsNotFound()) {
    return Refuse("dump", options->file + " holds no folder or message " + pst::Hex(target));
  }
  const uint8_t type = pst::ndb::NidTypeOf(target);
  if (type == pst::ndb::kNidTypeNormalFolder || type == pst::ndb::kNidTypeSearchFolder) {
    if (steps.size() > 1) {
      return Refuse("dump", "folders have no attachments");
    }
    auto folder = store->OpenFolder(target);
    if (!folder.ok()) {
      std::cerr << "quillmar-cli: " << folder.status().ToString() << "\n";
      return kExitDamaged;
    }
    return DumpFolder(*store, *folder, names);
  }
  auto message = store->OpenMessage(target);
  if (!message.ok()) {
    std::cerr << "quillmar-cli: " << message.status().ToString() << "\n";
    return kExitDamaged;
  }
  return DumpMessage(*message, steps, 1, names);
}

}  // namespace quillmar::cli
