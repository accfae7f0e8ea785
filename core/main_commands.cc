#include "core/main_commands.h"

#include <cassert>

#include "core/conversion_run.h"
#include "core/texts.h"

namespace quillmar::core {

MainCommands::MainCommands(const MainCommandsDeps& deps) : deps_(deps) {
  assert(deps_.window && deps_.dialogs && deps_.sessions && deps_.global && deps_.environment);
}

MainCommands::~MainCommands() = default;

void MainCommands::CmdConvertPST_Click() {
  // One run at a time: a second start during a yield is refused.
  if (run_in_progress_) return;
  run_in_progress_ = true;
  {
    ConversionRun run(*this);
    run.Execute();
  }
  run_in_progress_ = false;
  if (exit_requested_) deps_.window->EndProgram();
}

void MainCommands::RequestExit() {
  exit_requested_ = true;
  // During a run the run notices the request at its next yield, cleans up
  // and ends the program itself.
  if (!run_in_progress_) deps_.window->EndProgram();
}

void MainCommands::ShowFailure(const pst::Status& failure) {
  const std::string text = "Error " + std::to_string(session::ErrorNumber(failure)) + ": " +
                           session::ErrorDescription(failure);
  deps_.window->ShowMessage(text, texts::kTitle, kStyleInformation);
}

}  // namespace quillmar::core
