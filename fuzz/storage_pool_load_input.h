// One fuzz input for the piece-pool loader: the bytes of a saved pool.
#pragma once

#include <cstddef>
#include <cstdint>

namespace StorageFuzz {

enum Outcome { Rejected = 0, Loaded = 1, RoundTripBroken = -1 };

// Loads the bytes into a fresh pool; when the load is accepted, the pool
// must save, load again and save to the same bytes.
Outcome loadPoolInput(const uint8_t* data, size_t size);

} // namespace StorageFuzz
