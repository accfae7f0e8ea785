// Property ids the engine itself interprets ([MS-OXPROPS]).
#pragma once

#include <cstdint>

namespace pst::messaging {

enum PropId : uint16_t {
  kPidNameidBucketCount = 0x0001,
  kPidNameidStreamGuid = 0x0002,
  kPidNameidStreamEntry = 0x0003,
  kPidNameidStreamString = 0x0004,
  kPidNameidBucketBase = 0x1000,

  kPidMessageClass = 0x001A,
  kPidSubject = 0x0037,
  kPidSenderName = 0x0C1A,
  kPidRecipientType = 0x0C15,
  kPidMessageFlags = 0x0E07,
  kPidMessageSize = 0x0E08,
  kPidAttachSize = 0x0E20,
  kPidRecordKey = 0x0FF9,
  kPidEntryId = 0x0FFF,
  kPidBody = 0x1000,
  kPidRtfCompressed = 0x1009,
  kPidHtml = 0x1013,
  kPidDisplayName = 0x3001,
  kPidAddressType = 0x3002,
  kPidEmailAddress = 0x3003,
  kPidComment = 0x3004,
  kPidInternetCodepage = 0x3FDE,
  kPidMessageCodepage = 0x3FFD,
  // The store's code page for strings that carry none of their own; our
  // ANSI outputs record the code page of their folder names here.
  kPidCodePageId = 0x66C3,
  kPidContentCount = 0x3602,
  kPidContentUnreadCount = 0x3603,
  kPidSubfolders = 0x360A,
  kPidContainerClass = 0x3613,
  kPidAttachDataBinary = 0x3701,  // also PidTagAttachDataObject (type Object)
  kPidAttachFilename = 0x3704,
  kPidAttachMethod = 0x3705,
  kPidAttachLongFilename = 0x3707,
  kPidIpmSubtreeEntryId = 0x35E0,
  kPidIpmWastebasketEntryId = 0x35E3,
  kPidFinderEntryId = 0x35E7,
  kPidPstPassword = 0x67FF,
  kPidLtpRowId = 0x67F2,
  kPidLtpRowVer = 0x67F3,
};

enum AttachMethod : int32_t {
  kAttachNone = 0,
  kAttachByValue = 1,
  kAttachByReference = 2,
  kAttachByReferenceOnly = 4,
  kAttachEmbeddedMessage = 5,
  kAttachOle = 6,
  kAttachByWebReference = 7,
};

}  // namespace pst::messaging
