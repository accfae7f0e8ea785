// Sizes and names of the property types ([MS-OXCDATA] 2.11.1).
#include "pst/ltp/prop_types.h"

#include "pst/base/hex.h"

namespace pst::ltp {

size_t FixedSizeOf(uint16_t type) {
  switch (type) {
    case kPtypBoolean:
      return 1;
    case kPtypInteger16:
      return 2;
    case kPtypInteger32:
    case kPtypFloating32:
    case kPtypErrorCode:
      return 4;
    case kPtypFloating64:
    case kPtypCurrency:
    case kPtypFloatingTime:
    case kPtypInteger64:
    case kPtypTime:
      return 8;
    case kPtypGuid:
      return 16;
    default:
      return 0;
  }
}

bool IsMultiValued(uint16_t type) { return (type & kPtypMultipleFlag) != 0; }

bool IsKnownType(uint16_t type) {
  switch (type) {
    case kPtypUnspecified:
    case kPtypNull:
    case kPtypInteger16:
    case kPtypInteger32:
    case kPtypFloating32:
    case kPtypFloating64:
    case kPtypCurrency:
    case kPtypFloatingTime:
    case kPtypErrorCode:
    case kPtypBoolean:
    case kPtypObject:
    case kPtypInteger64:
    case kPtypString8:
    case kPtypString:
    case kPtypTime:
    case kPtypGuid:
    case kPtypServerId:
    case kPtypRestriction:
    case kPtypRuleAction:
    case kPtypBinary:
    case kPtypMultipleInteger16:
    case kPtypMultipleInteger32:
    case kPtypMultipleFloating32:
    case kPtypMultipleFloating64:
    case kPtypMultipleCurrency:
    case kPtypMultipleFloatingTime:
    case kPtypMultipleInteger64:
    case kPtypMultipleString8:
    case kPtypMultipleString:
    case kPtypMultipleTime:
    case kPtypMultipleGuid:
    case kPtypMultipleBinary:
      return true;
    default:
      return false;
  }
}

std::string TypeName(uint16_t type) {
  switch (type) {
    case kPtypUnspecified: return "PtypUnspecified";
    case kPtypNull: return "PtypNull";
    case kPtypInteger16: return "PtypInteger16";
    case kPtypInteger32: return "PtypInteger32";
    case kPtypFloating32: return "PtypFloating32";
    case kPtypFloating64: return "PtypFloating64";
    case kPtypCurrency: return "PtypCurrency";
    case kPtypFloatingTime: return "PtypFloatingTime";
    case kPtypErrorCode: return "PtypErrorCode";
    case kPtypBoolean: return "PtypBoolean";
    case kPtypObject: return "PtypObject";
    case kPtypInteger64: return "PtypInteger64";
    case kPtypString8: return "PtypString8";
    case kPtypString: return "PtypString";
    case kPtypTime: return "PtypTime";
    case kPtypGuid: return "PtypGuid";
    case kPtypServerId: return "PtypServerId";
    case kPtypRestriction: return "PtypRestriction";
    case kPtypRuleAction: return "PtypRuleAction";
    case kPtypBinary: return "PtypBinary";
    case kPtypMultipleInteger16: return "PtypMultipleInteger16";
    case kPtypMultipleInteger32: return "PtypMultipleInteger32";
    case kPtypMultipleFloating32: return "PtypMultipleFloating32";
    case kPtypMultipleFloating64: return "PtypMultipleFloating64";
    case kPtypMultipleCurrency: return "PtypMultipleCurrency";
    case kPtypMultipleFloatingTime: return "PtypMultipleFloatingTime";
    case kPtypMultipleInteger64: return "PtypMultipleInteger64";
    case kPtypMultipleString8: return "PtypMultipleString8";
    case kPtypMultipleString: return "PtypMultipleString";
    case kPtypMultipleTime: return "PtypMultipleTime";
    case kPtypMultipleGuid: return "PtypMultipleGuid";
    case kPtypMultipleBinary: return "PtypMultipleBinary";
    default: return Hex(type);
  }
}

}  // namespace pst::ltp
