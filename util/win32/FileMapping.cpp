#include "FileMapping.h"

#include <utility>

namespace ZintarUtil {

FileMapping::FileMapping(FileMapping&& other) noexcept : mapping(std::exchange(other.mapping, nullptr)) {}

FileMapping& FileMapping::operator=(FileMapping&& other) noexcept
{
    if (this != &other) {
        Close();
        mapping = std::exchange(other.mapping, nullptr);
    }
    return *this;
}

bool FileMapping::Close()
{
    return mapping == nullptr || CloseHandle(std::exchange(mapping, nullptr)) != FALSE;
}

MappedView::MappedView(MappedView&& other) noexcept : address(std::exchange(other.address, nullptr)) {}

MappedView& MappedView::operator=(MappedView&& other) noexcept
{
    if (this != &other) {
        Close();
        address = std::exchange(other.address, nullptr);
    }
    return *this;
}

std::uint64_t MappedView::RegionLength() const
{
    MEMORY_BASIC_INFORMATION region{};
    if (address == nullptr || VirtualQuery(address, &region, sizeof region) == 0)
        return 0;
    return region.RegionSize;
}

bool MappedView::Close()
{
    return address == nullptr || UnmapViewOfFile(std::exchange(address, nullptr)) != FALSE;
}

}  // namespace ZintarUtil
