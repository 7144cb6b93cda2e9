// libFuzzer entry for the piece-pool loader (the drive cache's pool part).
#include "storage_pool_load_input.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (StorageFuzz::loadPoolInput(data, size) == StorageFuzz::RoundTripBroken)
        std::abort();
    return 0;
}
