#include "util/win32/FileMapping.h"

namespace ZintarUtil {

namespace {

// A handle whose close failed is given up rather than kept: closing it again later could close
// another object that has been handed the same value meanwhile.
template <class Owner>
bool CloseOrGiveUp(Owner& owner)
{
    if (owner.Close())
        return true;
    owner.Release();
    return false;
}

}  // namespace

bool FileMapping::Close()
{
    return CloseOrGiveUp(mapping);
}

std::uint64_t MappedView::RegionLength() const
{
    MEMORY_BASIC_INFORMATION region{};
    if (!view || VirtualQuery(view.Get(), &region, sizeof region) == 0)
        return 0;
    return region.RegionSize;
}

bool MappedView::Close()
{
    return CloseOrGiveUp(view);
}

}  // namespace ZintarUtil
