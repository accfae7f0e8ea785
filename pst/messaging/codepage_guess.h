// The code page a store's 8-bit folder and store names were most likely
// written in. Those objects carry no code page of their own; the messages
// usually do (their own code page, or the Internet code page of the mail),
// and a store is nearly always written on one system in one code page.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pst::messaging {

class Store;

// The Windows code page most of the first `sample` messages declare, or
// `fallback` when none declares one.
uint32_t GuessStoreCodepage(const Store& store, uint32_t fallback, size_t sample = 64);

}  // namespace pst::messaging
