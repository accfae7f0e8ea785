#include "pst/convert/folder_copier.h"

#include <algorithm>
#include <optional>
#include <set>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/convert/codepage_policy.h"
#include "pst/convert/converted_string.h"
#include "pst/messaging/property_access.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"

namespace pst::convert {
namespace {

using messaging::PropertyInput;

// Values up to this size are copied in memory; larger ones are streamed.
constexpr uint64_t kInMemoryValue = 64 * 1024;
// Strings up to kConvertInPieces are converted whole, larger ones in pieces;
// a multi-valued string larger than this is refused.
constexpr uint64_t kMaxConvertedString = 256 * 1024 * 1024;
constexpr int kMaxFolderDepth = 256;
constexpr int kMaxEmbeddingDepth = 32;

// Failures of the target (or the user) rather than of one source object.
bool EndsCopy(const Status& s) {
  return s.code() == Status::Code::kOutOfSpace || s.code() == Status::Code::kSizeLimit ||
         s.code() == Status::Code::kCancelled || s.code() == Status::Code::kIOError;
}

std::string TagText(ltp::PropTag tag) { return Hex(tag); }

void AddListed(std::vector<std::string>& list, std::string entry) {
  if (list.size() < CopyReport::kMaxListed) list.push_back(std::move(entry));
}

bool IsUnicodeString(uint16_t type) { return type == ltp::kPtypString || type == ltp::kPtypMultipleString; }

// Adds a stored Unicode string value (single or multi-valued) to `text`.
void Profile(uint16_t type, ByteSpan value, TextProfile* text) {
  if (type == ltp::kPtypMultipleString) {
    // ulCount and the offsets come first; the strings follow back to back.
    if (value.size() < 4) return;
    const uint64_t header = 4 + 4ull * DecodeFixed32(value.data());
    if (header >= value.size()) return;
    value = value.subspan(header);
  }
  text->AddUtf16Le(value);
}

}  // namespace

// What choosing a message's code page read of it, kept for its copy so
// that each part is read once: string values (a message's bodies are most
// of its strings; what passes the budget is read again when converted), the
// recipient table, the attachment list and the attachments.
class AlreadyRead {
 public:
  static constexpr uint64_t kBudgetBytes = uint64_t{4} << 20;

  void Keep(ltp::PropTag tag, Bytes value) {
    if (value.size() > kBudgetBytes - bytes_) return;
    bytes_ += value.size();
    values_.emplace_back(tag, std::move(value));
  }
  // The value kept for `tag`, moved out; nullopt if none was.
  std::optional<Bytes> Take(ltp::PropTag tag) {
    for (auto& [kept_tag, value] : values_) {
      if (kept_tag == tag) {
        kept_tag = 0;
        return std::move(value);
      }
    }
    return std::nullopt;
  }
  // The attachment opened as `id`, moved out; nullopt if none was.
  std::optional<messaging::Attachment> TakeAttachment(ndb::Nid id) {
    for (auto& [kept_id, attachment] : attachments) {
      if (kept_id == id && attachment) return std::exchange(attachment, std::nullopt);
    }
    return std::nullopt;
  }

  std::optional<Result<std::optional<ltp::TableContext>>> recipients;
  std::optional<Result<std::vector<ndb::Nid>>> attachment_ids;
  std::vector<std::pair<ndb::Nid, std::optional<messaging::Attachment>>> attachments;

 private:
  std::vector<std::pair<ltp::PropTag, Bytes>> values_;
  uint64_t bytes_ = 0;
};

namespace {

// Profiles the strings that can be read; one that cannot is reported (or
// fails the object) when it is copied, not here. Values read whole go to
// `read`, when given.
void ProfileProperties(const ltp::PropertyContext& pc, uint64_t max_value, TextProfile* text,
                       AlreadyRead* read = nullptr) {
  for (const auto& entry : pc.entries()) {
    if (!IsUnicodeString(entry.type)) continue;
    Bytes value;
    if (pc.InSubnode(entry)) {
      // Opened once: learning a subnode's size opens it too. OpenValue
      // checks the value, so what is read of it needs no check again.
      auto stream = pc.OpenValue(entry);
      if (!stream.ok()) continue;
      const uint64_t size = (*stream)->size();
      if (entry.type == ltp::kPtypString && size > kConvertInPieces) {
        (void)text->AddUtf16Le(**stream);
        continue;
      }
      if (size > max_value) continue;
      value.resize(static_cast<size_t>(size));
      if (!(*stream)->Read(0, value).ok()) continue;
    } else {
      auto small = pc.ReadValue(entry, max_value);  // inline or in the heap
      if (!small.ok()) continue;
      value = std::move(small).value();
    }
    Profile(entry.type, value, text);
    if (read != nullptr) read->Keep(ltp::MakeTag(entry.id, entry.type), std::move(value));
  }
}

}  // namespace

class FolderCopier::TargetNames : public NamedPropertyMapper {
 public:
  // Follows the copier's current update.
  explicit TargetNames(messaging::StoreUpdate* const& target) : target_(target) {}
  Result<uint16_t> TargetId(const messaging::NamedProperty& name) override {
    return target_->NamedPropertyId(name);
  }

 private:
  messaging::StoreUpdate* const& target_;
};

FolderCopier::FolderCopier(const messaging::Store& source, messaging::StoreUpdate& target,
                           bool unicode_target, const CopyOptions& options, CopyReport* report)
    : source_(source), target_(&target), unicode_target_(unicode_target), options_(options), report_(report) {
  names_ = std::make_unique<TargetNames>(target_);
  auto source_names = source_.Names();
  if (!source_names.ok()) {
    report_->failures.push_back("named-property map of the source: " + source_names.status().ToString() +
                                "; named properties are left out");
  }
  converter_ = std::make_unique<PropertyConverter>(
      unicode_target_, source_names.ok() ? *source_names : nullptr, names_.get(), &report_->strings);
  if (options_.salvage) {
    damage_log_ = source_.database().damage_log();
    if (damage_log_ == nullptr) {
      damage_log_ = &own_damage_log_;
      source_.database().ReadThroughDamage(damage_log_);
    }
  }
}

FolderCopier::~FolderCopier() {
  if (damage_log_ == &own_damage_log_) source_.database().ReadThroughDamage(nullptr);
}

bool FolderCopier::Salvaging(const Status& s) const { return options_.salvage && !s.ok() && !EndsCopy(s); }

void FolderCopier::LeaveOut(const std::string& what, const Status& why) {
  report_->dropped_properties.push_back(what + ": " + why.ToString());
  // The note names the part within its object ("property 0x...").
  std::string part = what;
  if (part.compare(0, object_where_.size(), object_where_) == 0) part.erase(0, object_where_.size());
  if (part.compare(0, 2, ", ") == 0) part.erase(0, 2);
  pending_.emplace_back(part, "left out: " + why.ToString());
}

void FolderCopier::TakeDamage() {
  if (damage_log_ == nullptr) return;
  std::set<std::pair<ndb::Bid, uint64_t>> seen;
  for (ndb::BlockDamage& d : damage_log_->Take()) {
    if (!seen.insert({d.bid, d.offset}).second) continue;
    pending_.emplace_back("block " + Hex(d.bid) + " at offset " + Hex(d.offset),
                          "read through damage: " + d.what);
  }
}

void FolderCopier::FolderDamage(ndb::Nid folder, const std::string& path, const std::string& part) {
  pending_.clear();
  TakeDamage();
  for (auto& [what, why] : pending_) Note(false, path, "folder " + Hex(folder), part.empty() ? what : part + ", " + what, why);
  pending_.clear();
}

void FolderCopier::Note(bool unreadable, const std::string& folder, const std::string& object,
                        const std::string& what, const std::string& why) {
  (unreadable ? report_->unreadable : report_->recovered_with_damage).push_back({folder, object, what, why});
}

Status FolderCopier::VerifyStream(const std::function<Status(uint64_t, std::span<uint8_t>)>& read,
                                  uint64_t size) {
  Bytes chunk(static_cast<size_t>(std::min<uint64_t>(size, kInMemoryValue)));
  for (uint64_t at = 0; at < size; at += chunk.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - at));
    PST_RETURN_IF_ERROR(read(at, std::span<uint8_t>(chunk.data(), n)));
  }
  return Status::Ok();
}

Status FolderCopier::Report() {
  if (cancelled_) return Status::Cancelled("the copy was cancelled");
  bytes_at_last_report_ = report_->done.bytes;
  if (options_.progress && !options_.progress(report_->done)) {
    cancelled_ = true;
    return Status::Cancelled("the copy was cancelled");
  }
  return Status::Ok();
}

ndb::StreamSource FolderCopier::StreamFrom(std::shared_ptr<ltp::ValueStream> stream) {
  keep_alive_.push_back(stream);
  ltp::ValueStream* raw = stream.get();
  return [this, raw](uint64_t offset, std::span<uint8_t> out) -> Status {
    PST_RETURN_IF_ERROR(raw->Read(offset, out));
    return CountStreamed(out.size());
  };
}

ndb::StoredStreamSource FolderCopier::StoredFrom(const ltp::ValueStream& stream) {
  const auto encoding = stream.stored_encoding();
  if (!encoding) return {};
  return {*encoding, [this, raw = &stream](uint64_t offset, std::span<uint8_t> out) -> Status {
            PST_RETURN_IF_ERROR(raw->ReadStored(offset, out));
            return CountStreamed(out.size());
          }};
}

Status FolderCopier::CountStreamed(size_t bytes) {
  report_->done.bytes += bytes;
  if (report_->done.bytes - bytes_at_last_report_ >= options_.progress_bytes) return Report();
  return Status::Ok();
}

Result<Bytes> FolderCopier::Convert(ltp::PropTag tag, ByteSpan value, uint32_t codepage,
                                    const std::string& where) {
  const uint64_t replaced_before = report_->strings.characters_replaced;
  PST_ASSIGN_OR_RETURN(Bytes converted, converter_->ConvertValue(tag, value, codepage));
  NoteReplaced(tag, report_->strings.characters_replaced - replaced_before, codepage, where);
  return converted;
}

void FolderCopier::NoteReplaced(ltp::PropTag tag, uint64_t replaced, uint32_t codepage, const std::string& where) {
  if (replaced != 0) {
    AddListed(report_->replacements, where + ": property " + TagText(tag) + ": " + std::to_string(replaced) +
                                    (replaced == 1 ? " character" : " characters") + " not in code page " +
                                    std::to_string(codepage) + ", written as \"?\"");
  }
}

Result<uint32_t> FolderCopier::TargetCodepage(const messaging::Message& message, const std::string& where,
                                              bool* declare, AlreadyRead* read) {
  *declare = false;
  // Reading 8-bit strings, or copying them as they are: the message's own.
  if (unicode_target_ || !source_.is_unicode()) return message.codepage();
  TextProfile text;
  ProfileProperties(message.properties(), kMaxConvertedString, &text, read);
  auto recipients = message.OpenRecipientTable();
  for (size_t row = 0; recipients.ok() && *recipients && row < (*recipients)->row_count(); ++row) {
    auto cells = (*recipients)->ReadRow(row);
    if (!cells.ok()) continue;  // reported when the row is copied
    for (const auto& cell : *cells) {
      if (IsUnicodeString(ltp::PropTypeOf(cell.tag))) Profile(ltp::PropTypeOf(cell.tag), cell.data, &text);
    }
  }
  read->recipients = std::move(recipients);
  auto attachment_ids = message.AttachmentNids();
  for (ndb::Nid id : attachment_ids.value_or(std::vector<ndb::Nid>{})) {
    auto attachment = message.OpenAttachment(id);
    if (!attachment.ok()) continue;  // reported when it is copied
    ProfileProperties(attachment->properties(), kMaxConvertedString, &text);
    read->attachments.emplace_back(id, std::move(attachment).value());
  }
  read->attachment_ids = std::move(attachment_ids);
  const ObjectCodepage choice = ChooseObjectCodepage(message.properties(), text, options_.default_codepage);
  if (choice.declare) {
    *declare = true;
    const uint32_t declared = DeclaredCodepage(message.properties());
    auto own = messaging::GetInt32(message.properties(), messaging::kPidMessageCodepage);
    std::string was = own.ok() && own->has_value() ? "it declared " + std::to_string(**own)
                      : declared != 0             ? "its Internet code page says " + std::to_string(declared)
                                                  : "it declared none";
    ++report_->objects_declared;
    AddListed(report_->codepages_declared, where + ": strings written in code page " + std::to_string(choice.codepage) +
                                          " and declared so (" + was + ")");
  }
  return choice.codepage;
}

Status FolderCopier::ConvertProperties(const ltp::PropertyContext& pc, uint32_t codepage,
                                       const std::string& where, std::vector<PropertyInput>* out,
                                       bool skip_object, AlreadyRead* read) {
  for (const auto& entry : pc.entries()) {
    const ltp::PropTag tag = ltp::MakeTag(entry.id, entry.type);
    if (entry.type == ltp::kPtypObject) {
      // An attachment's data object is rebuilt from its message or storage.
      if (skip_object && entry.id == messaging::kPidAttachDataBinary) continue;
      report_->dropped_properties.push_back(where + ": property " + TagText(tag) +
                                            " is an object this engine does not carry");
      continue;
    }
    if (!ltp::IsKnownType(entry.type)) {
      report_->dropped_properties.push_back(where + ": property " + TagText(tag) + " has unknown type " +
                                            Hex(entry.type));
      continue;
    }
    auto target_tag = converter_->TargetTag(tag);
    if (!target_tag.ok()) {
      report_->dropped_properties.push_back(where + ": property " + TagText(tag) + ": " +
                                            target_tag.status().ToString());
      continue;
    }
    Status s = [&]() -> Status {
      std::unique_ptr<ltp::ValueStream> opened;  // a big value is opened once
      if (pc.InSubnode(entry)) {
        auto stream = pc.OpenValue(entry);
        if (!stream.ok()) return stream.status().WithContext(where + ", property " + TagText(tag));
        opened = std::move(stream).value();
      }
      auto size = opened ? Result<uint64_t>(opened->size()) : pc.ValueSize(entry);
      if (!size.ok()) return size.status().WithContext(where + ", property " + TagText(tag));
      auto open = [&]() -> Result<std::unique_ptr<ltp::ValueStream>> {
        if (opened) return std::move(opened);
        return pc.OpenValue(entry);
      };
      if (converter_->NeedsValueConversion(tag) && *size > kConvertInPieces &&
          (entry.type == ltp::kPtypString || entry.type == ltp::kPtypString8)) {
        PST_ASSIGN_OR_RETURN(auto stream, open());
        PST_ASSIGN_OR_RETURN(auto converted, ConvertedString::Open(std::move(stream), unicode_target_, codepage));
        ++report_->strings.strings_converted;
        report_->strings.characters_replaced += converted->replaced();
        NoteReplaced(tag, converted->replaced(), codepage, where);
        const uint64_t converted_size = converted->size();
        out->push_back(PropertyInput::Stream(*target_tag, converted_size, StreamFrom(std::move(converted))));
      } else if (converter_->NeedsValueConversion(tag)) {
        if (*size > kMaxConvertedString) {
          return Status::NotSupported(where + ": string property " + TagText(tag) + " of " +
                                      std::to_string(*size) + " bytes is too large to convert");
        }
        std::optional<Bytes> kept = read != nullptr ? read->Take(tag) : std::nullopt;
        if (!kept) {
          PST_ASSIGN_OR_RETURN(kept, pc.ReadValue(entry, kMaxConvertedString));
        }
        const Bytes& value = *kept;
        PST_ASSIGN_OR_RETURN(Bytes converted, Convert(tag, value, codepage, where));
        report_->done.bytes += value.size();
        out->push_back(PropertyInput::Value(*target_tag, std::move(converted)));
      } else if (*size <= kInMemoryValue) {
        PST_ASSIGN_OR_RETURN(Bytes value, pc.ReadValue(entry));
        report_->done.bytes += value.size();
        out->push_back(PropertyInput::Value(*target_tag, std::move(value)));
      } else {
        PST_ASSIGN_OR_RETURN(auto stream, open());
        std::shared_ptr<ltp::ValueStream> shared(std::move(stream));
        if (verify_streams_) {
          PST_RETURN_IF_ERROR(VerifyStream(
              [raw = shared.get()](uint64_t at, std::span<uint8_t> o) { return raw->Read(at, o); }, *size));
        }
        ndb::StoredStreamSource stored = StoredFrom(*shared);
        out->push_back(PropertyInput::Stream(*target_tag, *size, StreamFrom(std::move(shared)), std::move(stored)));
      }
      return Status::Ok();
    }();
    if (!s.ok()) {
      if (!Salvaging(s)) return s;
      LeaveOut(where + ", property " + TagText(tag), s);
    }
  }
  return Status::Ok();
}

Result<std::vector<ltp::PropValue>> FolderCopier::ConvertCells(const std::vector<ltp::PropValue>& cells,
                                                               uint32_t codepage, const std::string& where) {
  std::vector<ltp::PropValue> out;
  for (const auto& cell : cells) {
    if (ltp::PropIdOf(cell.tag) == 0x67F2 || ltp::PropIdOf(cell.tag) == 0x67F3) continue;  // row id/version
    auto target_tag = converter_->TargetTag(cell.tag);
    if (!target_tag.ok()) {
      report_->dropped_properties.push_back(where + ": column " + TagText(cell.tag) + ": " +
                                            target_tag.status().ToString());
      continue;
    }
    PST_ASSIGN_OR_RETURN(Bytes value, Convert(cell.tag, cell.data, codepage, where));
    out.push_back({*target_tag, std::move(value)});
  }
  return out;
}

Result<std::vector<ndb::Nid>> FolderCopier::AttachmentIds(const messaging::Message& message, AlreadyRead* read) {
  auto ids = read->attachment_ids ? std::move(*read->attachment_ids) : message.AttachmentNids();
  if (ids.ok() || !Salvaging(ids.status())) return ids;
  // The attachment table is damaged: the attachments are still the
  // message's attachment subnodes.
  std::vector<ndb::Nid> found;
  Status s = message.properties().node().ForEachSubnode([&](ndb::Nid id) {
    if (ndb::NidTypeOf(id) == ndb::kNidTypeAttachment) found.push_back(id);
    return Status::Ok();
  });
  pending_.emplace_back("attachment table", "damaged (" + ids.status().ToString() + "); " +
                                                std::to_string(found.size()) +
                                                " attachments found by their nodes" +
                                                (s.ok() ? "" : " (" + s.ToString() + ")"));
  return found;
}

Status FolderCopier::ReadAttachment(const messaging::Message& message, ndb::Nid id, int depth, uint32_t codepage,
                                    const std::string& where, messaging::MessageInput* input, AlreadyRead* read) {
  std::optional<messaging::Attachment> opened = read->TakeAttachment(id);
  auto attachment = opened ? Result<messaging::Attachment>(std::move(*opened)) : message.OpenAttachment(id);
  if (!attachment.ok()) return attachment.status().WithContext(where);
  messaging::AttachmentInput att;
  PST_RETURN_IF_ERROR(ConvertProperties(attachment->properties(), codepage, where, &att.properties, true));
  PST_ASSIGN_OR_RETURN(int32_t method, attachment->Method());
  const auto* object = attachment->properties().Find(messaging::kPidAttachDataBinary);
  const bool has_object = object && object->type == ltp::kPtypObject;
  if (method == messaging::kAttachEmbeddedMessage && has_object) {
    auto inner = attachment->OpenEmbeddedMessage();
    if (!inner.ok()) return inner.status().WithContext(where);
    PST_ASSIGN_OR_RETURN(auto inner_input, ReadMessage(*inner, depth + 1, where + " (embedded message)"));
    att.embedded = std::make_unique<messaging::MessageInput>(std::move(inner_input));
    // The embedded message is read lazily through its own node; keep it.
    keep_alive_.push_back(std::make_shared<messaging::Message>(std::move(inner).value()));
    ++report_->embedded_messages;
  } else if (has_object) {
    PST_ASSIGN_OR_RETURN(Bytes ref, attachment->properties().ReadValue(*object));
    if (ref.size() < 4) return Status::Corruption(where + ": object reference of " +
                                                  std::to_string(ref.size()) + " bytes");
    auto node = attachment->properties().node().OpenSubnode(DecodeFixed32(ref.data()));
    if (!node.ok()) return node.status().WithContext(where + ", attached object");
    std::shared_ptr<ndb::NodeData> data(std::move(node).value());
    if (verify_streams_) {
      PST_RETURN_IF_ERROR(VerifyStream(
          [raw = data.get()](uint64_t at, std::span<uint8_t> o) { return raw->Read(at, o); }, data->size()));
    }
    keep_alive_.push_back(data);
    att.has_object = true;
    att.object_size = data->size();
    att.object_source = [this, raw = data.get()](uint64_t offset, std::span<uint8_t> out) -> Status {
      PST_RETURN_IF_ERROR(raw->Read(offset, out));
      return CountStreamed(out.size());
    };
  }
  // The attachment's property context is read while the message is written.
  keep_alive_.push_back(std::make_shared<messaging::Attachment>(std::move(attachment).value()));
  input->attachments.push_back(std::move(att));
  ++report_->done.attachments;
  return Status::Ok();
}

Result<messaging::MessageInput> FolderCopier::ReadMessage(const messaging::Message& message, int depth,
                                                          const std::string& where, uint32_t* codepage_out) {
  if (depth > kMaxEmbeddingDepth) {
    return Status::NotSupported(where + ": embedded messages nest deeper than " +
                                std::to_string(kMaxEmbeddingDepth));
  }
  messaging::MessageInput input;
  bool declare = false;
  AlreadyRead already_read;
  PST_ASSIGN_OR_RETURN(const uint32_t codepage, TargetCodepage(message, where, &declare, &already_read));
  if (codepage_out) *codepage_out = codepage;
  PST_RETURN_IF_ERROR(
      ConvertProperties(message.properties(), codepage, where, &input.properties, false, &already_read));
  if (declare) {
    // The label the copy needs replaces the one copied from the source.
    const ltp::PropTag label = ltp::MakeTag(messaging::kPidMessageCodepage, ltp::kPtypInteger32);
    Bytes value(4);
    EncodeFixed32(value.data(), codepage);
    std::erase_if(input.properties, [&](const PropertyInput& p) { return p.tag == label; });
    input.properties.push_back(PropertyInput::Value(label, std::move(value)));
  }

  auto recipients = already_read.recipients ? std::move(*already_read.recipients) : message.OpenRecipientTable();
  if (!recipients.ok()) {
    if (!Salvaging(recipients.status())) return recipients.status();
    LeaveOut(where + ", recipients", recipients.status());
  } else if (*recipients) {
    const ltp::TableContext& table = **recipients;
    for (size_t row = 0; row < table.row_count(); ++row) {
      const std::string rcpt_where = where + ", recipient " + std::to_string(row);
      auto cells = table.ReadRow(row);
      auto converted = cells.ok() ? ConvertCells(*cells, codepage, where + ", recipient")
                                  : Result<std::vector<ltp::PropValue>>(cells.status().WithContext(rcpt_where));
      if (!converted.ok()) {
        if (!Salvaging(converted.status())) return converted.status();
        LeaveOut(rcpt_where, converted.status());
        continue;
      }
      input.recipients.push_back(std::move(converted).value());
    }
  }

  auto attachment_ids = AttachmentIds(message, &already_read);
  if (!attachment_ids.ok()) {
    if (!Salvaging(attachment_ids.status())) return attachment_ids.status();
    LeaveOut(where + ", attachments", attachment_ids.status());
  }
  for (ndb::Nid id : attachment_ids.value_or({})) {
    const std::string att_where = where + ", attachment " + Hex(id);
    Status s = ReadAttachment(message, id, depth, codepage, att_where, &input, &already_read);
    if (!s.ok()) {
      if (!Salvaging(s)) return s;
      LeaveOut(att_where, s);
    }
  }
  return input;
}

Status FolderCopier::CopyMessage(ndb::Nid id, const ltp::TableContext* table, size_t row, ndb::Nid target,
                                 bool associated, const std::string& path) {
  std::string where = path + ": message " + Hex(id);
  object_where_ = where;
  std::string object = "message " + Hex(id);
  auto attempt = [&]() -> Status {
    PST_ASSIGN_OR_RETURN(messaging::Message message, source_.OpenMessage(id));
    auto subject = messaging::GetString(message.properties(), messaging::kPidSubject, message.codepage());
    if (subject.ok() && *subject && !(*subject)->empty()) {
      object += " \"" + **subject + "\"";
      where = path + ": " + object;
    }
    uint32_t codepage = message.codepage();
    PST_ASSIGN_OR_RETURN(messaging::MessageInput input, ReadMessage(message, 0, where, &codepage));
    if (table != nullptr) {
      auto cells = table->ReadRow(row);
      if (cells.ok()) {
        auto extras = ConvertCells(*cells, codepage, where);
        if (extras.ok()) input.row_extras = std::move(extras).value();
      }
    }
    PST_ASSIGN_OR_RETURN(ndb::Nid copy, target_->CreateMessage(target, input, associated));
    (void)copy;
    return Status::Ok();
  };
  pending_.clear();
  const size_t dropped = report_->dropped_properties.size();
  Status s = attempt();
  keep_alive_.clear();
  if (Salvaging(s)) {
    // A large value or attached object may have failed while being
    // written; try once more, reading those through first.
    pending_.clear();
    report_->dropped_properties.resize(dropped);
    verify_streams_ = true;
    s = attempt();
    verify_streams_ = false;
    keep_alive_.clear();
  }
  TakeDamage();
  if (!s.ok()) {
    pending_.clear();
    report_->dropped_properties.resize(dropped);  // nothing of it was copied
    if (EndsCopy(s)) return s;
    report_->failures.push_back(where + ": " + s.ToString());
    Note(true, path, object, "", s.ToString());
    ++report_->messages_unreadable;
    return Status::Ok();
  }
  for (auto& [what, why] : pending_) Note(false, path, object, what, why);
  if (!pending_.empty()) ++report_->messages_recovered_with_damage;
  pending_.clear();
  ++report_->done.messages;
  if (associated) ++report_->fai_messages;
  return Report();
}

Result<ndb::Nid> FolderCopier::CopyFolderTree(ndb::Nid folder_nid, ndb::Nid target_parent,
                                              const std::string& parent_path, int depth) {
  if (depth > kMaxFolderDepth) {
    return Status::Corruption("folder tree deeper than " + std::to_string(kMaxFolderDepth));
  }
  if (report_->folder_map.count(folder_nid) != 0) {
    return Status::Corruption("folder " + Hex(folder_nid) + " is listed twice in the folder tree");
  }
  auto opened = source_.OpenFolder(folder_nid);
  if (!opened.ok()) {
    TakeDamage();
    pending_.clear();
    if (Salvaging(opened.status())) Note(true, parent_path, "folder " + Hex(folder_nid), "", opened.status().ToString());
    return opened.status();
  }
  messaging::Folder folder = std::move(opened).value();
  auto name = folder.DisplayName();
  const std::string path = parent_path.empty() ? name.value_or("") : parent_path + "/" + name.value_or("");
  if (folder.is_search_folder()) {
    report_->failures.push_back(path + ": search folder " + Hex(folder_nid) +
                                " not copied (its results are kept by other folders)");
    return Status::NotSupported("search folders are not copied");
  }
  PST_ASSIGN_OR_RETURN(ndb::Nid copy, CreateFolderCopy(folder, target_parent, path));
  PST_RETURN_IF_ERROR(CopyMessages(folder, copy, false, path));
  PST_RETURN_IF_ERROR(CopyMessages(folder, copy, true, path));
  const std::vector<ndb::Nid> children = Subfolders(folder, path);
  for (ndb::Nid child : children) {
    auto copied = CopyFolderTree(child, copy, path, depth + 1);
    if (!copied.ok()) {
      if (EndsCopy(copied.status())) return copied.status();
      if (copied.status().code() != Status::Code::kNotSupported || ndb::NidTypeOf(child) != ndb::kNidTypeSearchFolder) {
        report_->failures.push_back(path + ": folder " + Hex(child) + ": " + copied.status().ToString());
      }
    }
  }
  return copy;
}

Result<ndb::Nid> FolderCopier::CopyFolder(ndb::Nid folder, ndb::Nid target_parent) {
  return CopyFolderTree(folder, target_parent, "", 0);
}

Result<ndb::Nid> FolderCopier::CreateFolderCopy(const messaging::Folder& folder, ndb::Nid target_parent,
                                                const std::string& path, const std::optional<std::string>& name) {
  std::vector<PropertyInput> properties;
  object_where_ = path;
  pending_.clear();
  PST_RETURN_IF_ERROR(ConvertProperties(folder.properties(), options_.default_codepage, path, &properties, false));
  if (name) {
    const ltp::PropTag tag = ltp::MakeTag(messaging::kPidDisplayName, unicode_target_ ? ltp::kPtypString
                                                                                      : ltp::kPtypString8);
    std::erase_if(properties, [](const PropertyInput& p) { return ltp::PropIdOf(p.tag) == messaging::kPidDisplayName; });
    const Bytes utf16 = messaging::Utf8ToUtf16Le(*name);
    PST_ASSIGN_OR_RETURN(Bytes value, Convert(ltp::MakeTag(messaging::kPidDisplayName, ltp::kPtypString), utf16,
                                              options_.default_codepage, path));
    properties.push_back(PropertyInput::Value(tag, std::move(value)));
  }
  PST_ASSIGN_OR_RETURN(ndb::Nid copy, target_->CreateFolder(target_parent, properties));
  TakeDamage();
  for (auto& [what, why] : pending_) Note(false, path, "folder " + Hex(folder.nid()), what, why);
  pending_.clear();
  if (!name) report_->folder_map[folder.nid()] = copy;
  ++report_->done.folders;
  report_->done.current_folder = name.value_or(folder.DisplayName().value_or(""));
  PST_RETURN_IF_ERROR(Report());
  return copy;
}

}  // namespace pst::convert
