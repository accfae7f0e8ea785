// The texts the two commands show, exactly as the user sees them.
#pragma once

namespace quillmar::core::texts {

inline constexpr char kTitle[] = "QUILLMAR";

// Source selection.
inline constexpr char kStoreFileFilter[] = "Outlook Personal Storage File (*.pst)|*.pst";
inline constexpr char kVersionRefused[] = "Software requires Outlook 2003 or Upper version";
inline constexpr char kOutlookErrorTitle[] = "Outlook Error";
inline constexpr char kOutlookErrorText[] =
    "Outlook NOT Installed/Configured Properly \r\n"
    "                           or\r\n"
    "Selected file is not a valid Outlook PST file.\r\n"
    "Please also make sure PST file is not corrupt and you are able to open the PST file in Outlook.";
inline constexpr char kAnsiStoreLabel[] = "ANSI PST (2000/2002/XP)";
inline constexpr char kUnicodeStoreLabel[] = "UNICODE PST (2003/2007)";

// The conversion run.
inline constexpr char kSaveFolderTitle[] = "Select Path to Save Converted PST File";
inline constexpr char kCheckingConfiguration[] = "Checking Configuration...";
inline constexpr char kProcessing[] = "Processing...";
inline constexpr char kConversionCompleted[] = "Conversion Completed";
inline constexpr char kPstFileNamePrefix[] = "PST File Name : ";
inline constexpr char kOutputIncomplete[] =
    "The converted file is incomplete. These folders were not copied:";
// The completion notice's line for a damaged source: "The source is damaged:
// 3 messages were recovered with damage, 2 could not be read."
inline constexpr char kDamagedSource[] = "The source is damaged: ";
inline constexpr char kRecoveredWithDamage[] = " recovered with damage";
inline constexpr char kCouldNotBeRead[] = " could not be read";
inline constexpr char kTopFolderMessages[] = "the messages in the top folder";
inline constexpr char kFinishingOutput[] = "finishing the converted file";
inline constexpr char kTemplateCopyFailed[] = "The template store could not be copied.";
inline constexpr char kRunStopped[] = "The conversion was stopped.";

inline constexpr char kNewLine[] = "\r\n";

}  // namespace quillmar::core::texts
