#include "core/conversion_run.h"

#include <filesystem>
#include <system_error>

#include "core/output_naming.h"
#include "core/texts.h"

namespace quillmar::core {

using platform::FileCopyResult;
using session::MessageFolder;
using pst::Status;

namespace {

// Output names tried before giving up: base, base-2, ..., base-999.
constexpr int kMaxOutputNames = 999;

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// "The source is damaged: 3 messages were recovered with damage, 2 could not be read."
std::string DamageLine(uint64_t recovered, uint64_t unreadable) {
  auto messages = [](uint64_t n) { return std::to_string(n) + (n == 1 ? " message was" : " messages were"); };
  std::string line = texts::kDamagedSource;
  if (recovered) line += messages(recovered) + texts::kRecoveredWithDamage;
  if (recovered && unreadable) line += ", ";
  if (unreadable) line += (recovered ? std::to_string(unreadable) : messages(unreadable)) + texts::kCouldNotBeRead;
  return line + ".";
}

}  // namespace

// Keeps the window alive during a long folder copy, cancels the copy when
// the user has asked to exit, and sums what the copies met in a damaged source.
class ConversionRun::Observer : public session::CopyObserver {
 public:
  explicit Observer(ConversionRun& run) : run_(run) {}
  bool OnProgress(const session::CopyProgress&) override { return run_.Yield(); }
  void OnDamage(const session::CopyDamage& damage) override {
    run_.damage_.messages_recovered_with_damage += damage.messages_recovered_with_damage;
    run_.damage_.messages_unreadable += damage.messages_unreadable;
  }

 private:
  ConversionRun& run_;
};

ConversionRun::ConversionRun(MainCommands& commands)
    : commands_(commands),
      window_(*commands.deps_.window),
      global_(*commands.deps_.global),
      environment_(*commands.deps_.environment) {}

ConversionRun::~ConversionRun() = default;

bool ConversionRun::Yield() {
  environment_.ProcessPendingEvents();
  return !StopRequested();
}

void ConversionRun::Execute() {
  global_.SaveFolder = global_.BrowseForFolder(platform::kNoOwner, texts::kSaveFolderTitle);
  if (StopRequested()) return;  // the picker has no owner: exit can come meanwhile
  if (global_.SaveFolder.empty()) {
    window_.SetConvertButtonEnabled(false);
    return;
  }

  ShowProgressControls();
  const std::string program_folder = WithTrailingSeparator(environment_.ProgramFolder());
  global_.TemplatePath = program_folder + TemplateFileName(global_.SourceKind);
  global_.OutputBaseName = OutputBaseName(environment_.Now());
  global_.SaveFolder = WithTrailingSeparator(global_.SaveFolder);
  if (!CopyTemplate()) {
    ClearCaptions();
    return;
  }

  Status prepared = OpenAndPrepare();
  if (StopRequested()) return Abandon();
  if (!prepared.ok()) {
    ReportFailure(prepared);
    ReleaseAll();
    ClearCaptions();
    return;
  }

  CopyFolders();
  if (StopRequested()) return Abandon();
  CopyTopFolderMessages();
  if (StopRequested()) return Abandon();

  // With no folder copied the closing steps still end the run on failure.
  const bool strict = folders_passed_ == 0;
  Status closed = Close(strict);
  if (strict && !closed.ok()) {
    ReportFailure(closed);
    ReleaseAll();
    ClearCaptions();
    return;
  }
  // Past the first copy, a store that would not detach or a session that
  // would not end is left so; but an output that could not be finished
  // (after a failed write it may no longer be sound) is not passed off as done.
  if (!output_closed_.ok()) {
    failures_.push_back(std::string(texts::kFinishingOutput) + ": " + session::ErrorDescription(output_closed_));
  }
  source_attached_ = destination_attached_ = second_logged_on_ = first_logged_on_ = false;
  ClearCaptions();
  ReleaseAll();
  ShowCompletionNotice();
}

void ConversionRun::ShowProgressControls() {
  window_.SetProgressControlVisible(ProgressControl::kReadingArrow, true);
  window_.SetProgressControlVisible(ProgressControl::kSaveHeader, true);
  window_.SetProgressControlVisible(ProgressControl::kSubject, true);
  window_.SetProgressControlVisible(ProgressControl::kProcessing, true);
  window_.SetSaveHeaderCaption(texts::kCheckingConfiguration);
  window_.SetProcessingCaption(texts::kProcessing);
}

void ConversionRun::ClearCaptions() {
  window_.SetSaveHeaderCaption("");
  window_.SetProcessingCaption("");
}

bool ConversionRun::CopyTemplate() {
  // Never over an existing file: the user's own, or a run of the same second.
  FileCopyResult copied;
  for (int n = 1; n <= kMaxOutputNames; ++n) {
    global_.OutputPath = global_.SaveFolder + OutputFileName(global_.OutputBaseName, n);
    copied = global_.CopyFileWithReason(global_.TemplatePath, global_.OutputPath,
                                        /*fail_if_exists=*/true);
    if (copied.outcome != FileCopyResult::Outcome::kDestinationExists) break;
  }
  if (copied.ok()) {
    output_created_ = true;
    return true;
  }
  std::string text = texts::kTemplateCopyFailed;
  text += texts::kNewLine;
  text += "Template: " + global_.TemplatePath + texts::kNewLine;
  text += "Output: " + global_.OutputPath + texts::kNewLine;
  text += "Reason: " + copied.reason;
  window_.ShowMessage(text, texts::kTitle, kStyleInformation);
  return false;
}

Status ConversionRun::OpenAndPrepare() {
  session::SessionFactory& sessions = *commands_.deps_.sessions;
  // The first session lives in the window's session reference.
  auto& first_session = commands_.session_;

  PST_ASSIGN_OR_RETURN(first_session, sessions.CreateSession(session::kSessionProgId));
  PST_RETURN_IF_ERROR(first_session->Logon());
  first_logged_on_ = true;

  PST_ASSIGN_OR_RETURN(auto first_stores, first_session->Stores());
  auto destination = first_stores->AddPSTStore(
      global_.OutputPath, session::kStoreFormatDefault,
      std::string(session::kOutputStoreDisplayName));
  if (!destination.ok()) return destination.status().WithContext(global_.OutputPath);
  destination_ = std::move(destination).value();
  destination_attached_ = true;

  // Empty the template's top folder.
  {
    PST_ASSIGN_OR_RETURN(auto top, destination_->IPMRootFolder());
    PST_ASSIGN_OR_RETURN(auto folders, top->Folders());
    for (;;) {
      PST_ASSIGN_OR_RETURN(std::shared_ptr<MessageFolder> folder, folders->Next());
      if (!folder) break;
      PST_RETURN_IF_ERROR(folder->Delete());
    }
  }

  PST_ASSIGN_OR_RETURN(second_session_, sessions.CreateSession(session::kSessionProgId));
  PST_RETURN_IF_ERROR(second_session_->Logon());
  second_logged_on_ = true;

  if (!Yield()) return Status::Cancelled("exit requested");

  PST_ASSIGN_OR_RETURN(auto second_stores, second_session_->Stores());
  const std::string source_path = window_.SourcePathText();
  auto source = commands_.AttachSource(*second_stores, source_path, /*may_ask=*/false);
  if (!source.ok()) return source.status().WithContext(source_path);
  source_ = std::move(source).value();
  source_attached_ = true;

  PST_ASSIGN_OR_RETURN(source_top_, source_->IPMRootFolder());
  PST_ASSIGN_OR_RETURN(source_folders_, source_top_->Folders());
  PST_ASSIGN_OR_RETURN(next_folder_, source_folders_->Next());
  return Status::Ok();
}

void ConversionRun::CopyFolders() {
  Observer observer(*this);
  // From the first copy on, a failing step is passed over; what could not be
  // copied is named in the completion notice.
  while (next_folder_) {
    std::shared_ptr<MessageFolder> folder = std::move(next_folder_);
    ++folders_passed_;

    Status copied;
    auto destination_top = destination_->IPMRootFolder();  // anew for each folder
    if (destination_top.ok()) {
      copied = folder->CopyTo(**destination_top, &observer);
    } else {
      copied = destination_top.status();
    }
    if (StopRequested()) return;
    if (!Yield()) return;

    auto name = folder->Name();
    if (name.ok()) window_.SetProcessingCaption(*name);
    if (!copied.ok()) {
      std::string which = name.ok() ? *name : "folder number " + std::to_string(folders_passed_);
      failures_.push_back(which + ": " + session::ErrorDescription(copied));
    }

    auto next = source_folders_->Next();
    if (!next.ok()) {
      failures_.push_back("the folders after \"" + (name.ok() ? *name : std::string("?")) +
                          "\": " + session::ErrorDescription(next.status()));
      break;
    }
    next_folder_ = std::move(next).value();
  }
}

void ConversionRun::CopyTopFolderMessages() {
  // Mail kept in the top folder itself belongs to no top-level folder; left
  // behind it would be lost. A failure here is named in the notice like a
  // folder's, whether or not any folder was copied.
  Observer observer(*this);
  Status copied;
  auto destination_top = destination_->IPMRootFolder();
  if (destination_top.ok()) {
    copied = source_top_->CopyContentsTo(**destination_top, &observer);
  } else {
    copied = destination_top.status();
  }
  if (StopRequested()) return;
  if (!copied.ok()) {
    failures_.push_back(std::string(texts::kTopFolderMessages) + ": " + session::ErrorDescription(copied));
  }
}

Status ConversionRun::Close(bool strict) {
  Status first_failure;
  auto step = [&](bool& open, auto&& operation) {
    if (strict && !first_failure.ok()) return;
    Status done = operation();
    if (done.ok()) {
      open = false;
    } else if (first_failure.ok()) {
      first_failure = done;
    }
  };
  step(source_attached_, [&] { return source_->Remove(); });
  step(destination_attached_, [&] { return output_closed_ = destination_->Remove(); });
  step(second_logged_on_, [&] { return second_session_->Logoff(); });
  step(first_logged_on_, [&] { return commands_.session_->Logoff(); });
  return first_failure;
}

void ConversionRun::ReleaseAll() {
  if (source_attached_ && source_) (void)source_->Remove();
  if (destination_attached_ && destination_) (void)destination_->Remove();
  if (second_logged_on_ && second_session_) (void)second_session_->Logoff();
  if (first_logged_on_ && commands_.session_) (void)commands_.session_->Logoff();
  source_attached_ = destination_attached_ = second_logged_on_ = first_logged_on_ = false;

  next_folder_.reset();
  source_folders_.reset();
  source_top_.reset();
  source_.reset();
  destination_.reset();
  second_session_.reset();
  commands_.session_.reset();
}

void ConversionRun::Abandon() {
  ReleaseAll();
  ClearCaptions();
  if (output_created_) {
    std::error_code ignored;
    std::filesystem::remove(PathOf(global_.OutputPath), ignored);
    output_created_ = false;
  }
}

void ConversionRun::ReportFailure(const Status& failure) {
  std::string text = texts::kRunStopped;
  text += texts::kNewLine;
  text += "Error " + std::to_string(session::ErrorNumber(failure)) + ": " +
          session::ErrorDescription(failure);
  window_.ShowMessage(text, texts::kTitle, kStyleInformation);
}

void ConversionRun::ShowCompletionNotice() {
  std::string prompt = texts::kConversionCompleted;
  prompt += texts::kNewLine;
  prompt += texts::kPstFileNamePrefix + global_.OutputPath;
  if (damage_.messages_recovered_with_damage || damage_.messages_unreadable) {
    prompt += texts::kNewLine;
    prompt += DamageLine(damage_.messages_recovered_with_damage, damage_.messages_unreadable);
  }
  if (!failures_.empty()) {
    prompt += texts::kNewLine;
    prompt += texts::kOutputIncomplete;
    for (const std::string& failure : failures_) prompt += texts::kNewLine + failure;
  }
  window_.ShowSkinnedMessage(prompt, kStyleInformation, texts::kTitle);
}

}  // namespace quillmar::core
