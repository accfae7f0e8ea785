// The code page of a store's 8-bit text that does not name its own.
//
// An ANSI store does not record the code page its folder names (and many
// other strings) are written in: Outlook used the system's. Converting, we
// need it twice: to read such strings from an ANSI source, and to write
// strings into an ANSI target. Guessing 1252 turns a Japanese store's folder
// names into mojibake and a Russian user's folder names into "????????".
#pragma once

#include <cstdint>

#include "pst/messaging/store.h"

namespace quillmar::session::pst_session {

// The store's messages say which code page they are written in; the one
// most of them name is taken (pst::messaging::GuessStoreCodepage). For a
// Unicode store, whose folder names are exact, the chosen code page must
// also hold those names: where the messages' choice cannot, the first
// common Windows code page that holds them all (or loses the fewest
// characters) is taken. 1252 when nothing tells. Reads a bounded sample of
// folders and messages; never fails.
uint32_t ChooseCodepage(const pst::messaging::Store& store);

}  // namespace quillmar::session::pst_session
