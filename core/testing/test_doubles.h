// Stand-ins for the window, the file-open dialog, the folder picker and the
// run environment, for tests of the commands. Each records what the
// commands did and can run a hook at the moment the user would act.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/main_window.h"
#include "core/run_environment.h"
#include "platform/file_open_dialog.h"
#include "platform/shell.h"

namespace quillmar::core {

struct ShownMessage {
  std::string text;
  std::string title;
  int style = 0;
};

// The main window's controls as plain values, in their initial state, with
// a log of every call in order.
class RecordingWindow : public MainWindow {
 public:
  static constexpr platform::WindowHandle kHandle = 0x5150;

  std::string path_text;
  bool scan_frame_visible = false;
  std::string format_label;
  std::map<TargetOption, bool> selected{{TargetOption::kUnicode, false}, {TargetOption::kAnsi, false}};
  std::map<TargetOption, bool> available{{TargetOption::kUnicode, true}, {TargetOption::kAnsi, true}};
  bool convert_enabled = false;
  std::map<int, bool> toolbar_enabled{{1, true}, {3, false}, {5, true}};
  int toolbar_redraws = 0;
  std::map<ProgressControl, bool> progress_visible{{ProgressControl::kReadingArrow, false},
                                                   {ProgressControl::kSaveHeader, false},
                                                   {ProgressControl::kSubject, false},
                                                   {ProgressControl::kProcessing, false}};
  std::string save_header_caption = "Checking Configuration...";
  std::string processing_caption;
  std::vector<std::string> processing_captions;  // every caption set, in order
  std::vector<ShownMessage> messages;
  std::vector<ShownMessage> skinned_messages;
  int end_program_calls = 0;
  std::vector<std::string> log;

  platform::WindowHandle Handle() const override { return kHandle; }
  void SetSourcePathText(const std::string& text) override {
    log.push_back("path=" + text);
    path_text = text;
  }
  std::string SourcePathText() const override { return path_text; }
  void SetScanFrameVisible(bool visible) override {
    log.push_back(visible ? "frame shown" : "frame hidden");
    scan_frame_visible = visible;
  }
  void SetFormatLabel(const std::string& caption) override {
    log.push_back("label=" + caption);
    format_label = caption;
  }
  void SetOptionSelected(TargetOption option, bool on) override {
    log.push_back(Name(option) + (on ? " selected" : " deselected"));
    selected[option] = on;
  }
  void SetOptionAvailable(TargetOption option, bool on) override {
    log.push_back(Name(option) + (on ? " available" : " unavailable"));
    available[option] = on;
  }
  void SetConvertButtonEnabled(bool enabled) override {
    log.push_back(enabled ? "convert enabled" : "convert disabled");
    convert_enabled = enabled;
  }
  void SetToolbarButtonEnabled(int number, bool enabled) override {
    log.push_back("toolbar " + std::to_string(number) + (enabled ? " enabled" : " disabled"));
    toolbar_enabled[number] = enabled;
  }
  void RedrawToolbar() override {
    log.push_back("toolbar redraw");
    ++toolbar_redraws;
  }
  void SetProgressControlVisible(ProgressControl control, bool visible) override {
    log.push_back("progress " + std::to_string(static_cast<int>(control)) + (visible ? " shown" : " hidden"));
    progress_visible[control] = visible;
  }
  void SetSaveHeaderCaption(const std::string& caption) override {
    log.push_back("header=" + caption);
    save_header_caption = caption;
  }
  void SetProcessingCaption(const std::string& caption) override {
    log.push_back("processing=" + caption);
    processing_caption = caption;
    processing_captions.push_back(caption);
  }
  int ShowMessage(const std::string& text, const std::string& title, int style) override {
    log.push_back("message " + title);
    messages.push_back({text, title, style});
    if (on_message) on_message();
    return kResultOk;
  }
  void ShowSkinnedMessage(const std::string& prompt, int style, const std::string& title) override {
    log.push_back("skinned message " + title);
    skinned_messages.push_back({prompt, title, style});
  }
  void EndProgram() override {
    log.push_back("end program");
    ++end_program_calls;
  }

  std::function<void()> on_message;

 private:
  static std::string Name(TargetOption option) {
    return option == TargetOption::kUnicode ? "OptUnicode" : "OptAnsi";
  }
};

// File-open dialogs that "return" the next scripted answer.
class ScriptedFileDialogs : public platform::FileOpenDialogFactory {
 public:
  struct Settings {
    platform::WindowHandle owner = 0;
    std::optional<std::string> file_name;
    std::optional<std::string> filter;
  };

  std::string answer;                      // "" = the user cancels
  pst::Status create_failure;              // not OK: creation fails
  pst::Status show_failure;                // not OK: showing fails
  std::vector<Settings> shown;             // settings of every dialog shown
  int created = 0;

  pst::Result<std::unique_ptr<platform::FileOpenDialog>> CreateFileOpenDialog() override {
    ++created;
    if (!create_failure.ok()) return create_failure;
    return std::unique_ptr<platform::FileOpenDialog>(std::make_unique<Dialog>(*this));
  }

 private:
  class Dialog : public platform::FileOpenDialog {
   public:
    explicit Dialog(ScriptedFileDialogs& owner) : owner_(owner) {}
    void SetOwner(platform::WindowHandle owner) override { settings_.owner = owner; }
    void SetFileName(const std::string& name) override { settings_.file_name = name; }
    void SetFilter(const std::string& filter) override { settings_.filter = filter; }
    pst::Status ShowOpen() override {
      owner_.shown.push_back(settings_);
      if (!owner_.show_failure.ok()) return owner_.show_failure;
      result_ = owner_.answer;
      return pst::Status::Ok();
    }
    std::string FileName() const override { return result_; }

   private:
    ScriptedFileDialogs& owner_;
    Settings settings_;
    std::string result_;
  };
};

class ScriptedFolderPicker : public platform::FolderPicker {
 public:
  std::string answer;
  std::vector<std::pair<platform::WindowHandle, std::string>> calls;
  std::function<void()> while_open;  // runs while the picker is "open"

  std::string PickFolder(platform::WindowHandle owner, const std::string& title) override {
    calls.emplace_back(owner, title);
    if (while_open) while_open();
    return answer;
  }
};

class FakeRunEnvironment : public RunEnvironment {
 public:
  LocalDateTime now{2026, 12, 6, 14, 5, 9};
  std::string program_folder;
  int yields = 0;
  std::function<void(int)> on_yield;  // gets the yield's number, from 1

  LocalDateTime Now() override { return now; }
  std::string ProgramFolder() override { return program_folder; }
  void ProcessPendingEvents() override {
    ++yields;
    if (on_yield) on_yield(yields);
  }
};

}  // namespace quillmar::core
