// The write queue, its ring and a follower against the model (see QueueModel.h).
#include <cstdio>

#include "tests/support/QueueModel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string broken = ZintarTest::RunQueueModel(data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "%s\n", broken.c_str());
        __builtin_trap();
    }
    return 0;
}
