// The named properties a store's map holds when Outlook creates the store.
#pragma once

#include <vector>

#include "pst/messaging/name_map.h"

namespace pst::messaging {

// Those of Outlook 97-2003's ANSI stores or of Outlook 2007's and later
// Unicode stores, in their order (entry k is property id 0x8000 + k).
std::vector<NamedProperty> InitialNames(bool unicode_store);

}  // namespace pst::messaging
