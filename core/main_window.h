// The main window as the browse command and the conversion run see it.
// frmMain implements this interface over its controls; tests record calls.
// Every operation acts on the user-interface thread and cannot fail.
//
// Texts are UTF-8 and are shown exactly as given.
#pragma once

#include <optional>
#include <string>

#include "platform/shell.h"

namespace quillmar::core {

// The two target-format option buttons.
enum class TargetOption {
  kUnicode,  // OptUnicode, "  Convert to Unicode (2003/2007) Format"
  kAnsi,     // OptAnsi, "  Convert to Ansi (2000/2002/XP) Format"
};

// The progress controls inside the scan frame.
enum class ProgressControl {
  kReadingArrow,  // ImgReadingArrow
  kSaveHeader,    // LblSaveHeader
  kSubject,       // LblSubject, "Converting Folder :"
  kProcessing,    // LblProcessing
};

// Message box styles and results.
inline constexpr int kStyleInformation = 64;        // information icon, OK only
inline constexpr int kStyleYesNoInformation = 68;   // Yes and No, information icon
inline constexpr int kResultOk = 1;
inline constexpr int kResultYes = 6;
inline constexpr int kResultNo = 7;

// The toolbar button that starts a conversion.
inline constexpr int kToolbarConvertButton = 3;

class MainWindow {
 public:
  virtual ~MainWindow() = default;

  // The window's handle, used as owner of the dialogs it opens.
  virtual platform::WindowHandle Handle() const = 0;

  // txtNotesDatabaseFile: the source path box.
  virtual void SetSourcePathText(const std::string& text) = 0;
  virtual std::string SourcePathText() const = 0;

  // ScanFrame, with everything inside it.
  virtual void SetScanFrameVisible(bool visible) = 0;
  // LblPSTKind: the detected format.
  virtual void SetFormatLabel(const std::string& caption) = 0;
  // OptUnicode / OptAnsi: the selection, and the availability flag.
  virtual void SetOptionSelected(TargetOption option, bool selected) = 0;
  virtual void SetOptionAvailable(TargetOption option, bool available) = 0;

  // CmdConvertPST.
  virtual void SetConvertButtonEnabled(bool enabled) = 0;
  // NotesToolBar: buttons count from 1, separators included.
  virtual void SetToolbarButtonEnabled(int number, bool enabled) = 0;
  virtual void RedrawToolbar() = 0;

  // The progress controls and the two captions the run sets.
  virtual void SetProgressControlVisible(ProgressControl control, bool visible) = 0;
  virtual void SetSaveHeaderCaption(const std::string& caption) = 0;   // LblSaveHeader
  virtual void SetProcessingCaption(const std::string& caption) = 0;   // LblProcessing

  // The platform's plain modal message box; returns the button pressed
  // (kResultOk, kResultYes, kResultNo).
  virtual int ShowMessage(const std::string& text, const std::string& title, int style) = 0;
  // The skinned modal message box; returns when the user closes it.
  virtual void ShowSkinnedMessage(const std::string& prompt, int style, const std::string& title) = 0;

  // Ends the program: closes every window and leaves the event loop. Called
  // once a run stopped by an exit request has cleaned up.
  virtual void EndProgram() = 0;
};

// Asks the user for the password of a protected store. Optional: without
// one, a protected store fails like any store that cannot be opened.
class PasswordPrompt {
 public:
  virtual ~PasswordPrompt() = default;
  // The password typed, or nullopt when the user cancelled. retry is true
  // when the previous answer for this store was wrong.
  virtual std::optional<std::string> AskPassword(const std::string& store_path, bool retry) = 0;
};

}  // namespace quillmar::core
