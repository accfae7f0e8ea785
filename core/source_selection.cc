// CmdBrowse_Click: pick a source store, open it just long enough to learn
// its format, show that format and preselect the other one as the target.
#include "core/client_version.h"
#include "core/main_commands.h"
#include "core/texts.h"

namespace quillmar::core {

using session::MessageStore;
using session::RDOStores;
using pst::Result;
using pst::Status;

void MainCommands::CmdBrowse_Click() {
  // A run waiting in a yield owns the shared state and the session reference.
  if (run_in_progress_) return;
  MainWindow& window = *deps_.window;

  std::string file_name;
  {
    auto dialog = deps_.dialogs->CreateFileOpenDialog();
    if (!dialog.ok()) return ShowFailure(dialog.status());
    (*dialog)->SetOwner(window.Handle());
    (*dialog)->SetFileName("");
    (*dialog)->SetFilter(texts::kStoreFileFilter);
    Status shown = (*dialog)->ShowOpen();
    if (!shown.ok()) return ShowFailure(shown);
    file_name = (*dialog)->FileName();
  }

  // The box is the one place the path lives: every later step reads it back.
  window.SetSourcePathText(file_name);
  if (window.SourcePathText().empty()) {
    window.SetScanFrameVisible(false);
    return;
  }
  Status failure = DetectSourceFormat();
  if (!failure.ok()) BrowseErrorBranch();
}

Status MainCommands::DetectSourceFormat() {
  MainWindow& window = *deps_.window;

  PST_ASSIGN_OR_RETURN(session_, deps_.sessions->CreateSession(session::kSessionProgId));
  PST_RETURN_IF_ERROR(session_->Logon());

  PST_ASSIGN_OR_RETURN(const std::string version, session_->ClientVersion());
  const std::optional<int> major = MajorVersionOf(version);
  if (!major) {
    return Status::InvalidArgument("client version '" + version + "' does not start with a number");
  }
  if (*major < kMinimumClientMajorVersion) {
    window.ShowMessage(texts::kVersionRefused, texts::kTitle, kStyleInformation);
    PST_RETURN_IF_ERROR(session_->Logoff());
    session_.reset();
    return Status::Ok();
  }

  PST_ASSIGN_OR_RETURN(auto stores, session_->Stores());
  PST_ASSIGN_OR_RETURN(std::shared_ptr<MessageStore> store,
                       AttachSource(*stores, window.SourcePathText(), /*may_ask=*/true));

  // Two reads, each its own test, as a store could answer differently.
  PST_ASSIGN_OR_RETURN(int32_t kind, store->StoreKind());
  if (kind == session::kStoreKindAnsi) {
    window.SetFormatLabel(texts::kAnsiStoreLabel);
    window.SetOptionAvailable(TargetOption::kUnicode, true);
    window.SetOptionSelected(TargetOption::kUnicode, true);
    window.SetOptionSelected(TargetOption::kAnsi, false);
    window.SetOptionAvailable(TargetOption::kAnsi, false);
    deps_.global->SourceKind = kSourceKindAnsi;
  }
  PST_ASSIGN_OR_RETURN(kind, store->StoreKind());
  if (kind == session::kStoreKindUnicode) {
    window.SetFormatLabel(texts::kUnicodeStoreLabel);
    window.SetOptionAvailable(TargetOption::kAnsi, true);
    window.SetOptionSelected(TargetOption::kAnsi, true);
    window.SetOptionSelected(TargetOption::kUnicode, false);
    window.SetOptionAvailable(TargetOption::kUnicode, false);
    deps_.global->SourceKind = kSourceKindUnicode;
  }

  window.SetScanFrameVisible(true);
  window.SetConvertButtonEnabled(true);
  window.SetToolbarButtonEnabled(kToolbarConvertButton, true);
  window.RedrawToolbar();

  PST_RETURN_IF_ERROR(store->Remove());
  store.reset();
  PST_RETURN_IF_ERROR(session_->Logoff());
  session_.reset();
  return Status::Ok();
}

void MainCommands::BrowseErrorBranch() {
  if (session_) {
    // Logoff detaches whatever store is still attached.
    Status logoff = session_->Logoff();
    session_.reset();
    if (!logoff.ok()) return ShowFailure(logoff);
  }
  deps_.window->ShowMessage(texts::kOutlookErrorText, texts::kOutlookErrorTitle,
                            kStyleInformation);
}

Result<std::shared_ptr<MessageStore>> MainCommands::AttachSource(RDOStores& stores,
                                                                const std::string& path,
                                                                bool may_ask) {
  constexpr int kMaxPasswordTries = 3;
  session::StoreCredentials credentials;
  if (auto known = known_passwords_.find(path); known != known_passwords_.end()) credentials.password = known->second;
  auto store = stores.AddPSTStore(path, session::kStoreFormatDefault, std::nullopt, credentials);
  const auto refused = [&store] {
    return !store.ok() && store.status().code() == Status::Code::kPermissionDenied;
  };
  for (int tries = 0; may_ask && deps_.password_prompt && tries < kMaxPasswordTries && refused(); ++tries) {
    std::optional<std::string> password =
        deps_.password_prompt->AskPassword(path, credentials.password.has_value());
    if (!password) break;
    credentials.password = std::move(password);
    store = stores.AddPSTStore(path, session::kStoreFormatDefault, std::nullopt, credentials);
  }
  if (store.ok() && credentials.password) {
    known_passwords_[path] = *credentials.password;
  } else if (refused()) {
    known_passwords_.erase(path);
  }
  return store;
}

}  // namespace quillmar::core
