#include "util/PipeRecords.h"

#include <cstring>

namespace ZintarUtil {

namespace {

// Offsets count from the start of the record, whose first four bytes are the code.
const std::uint8_t* At(const PipeRecord& record, std::size_t offset)
{
    return record.body + (offset - 4);
}

std::uint8_t* At(PipeRecord& record, std::size_t offset)
{
    return record.body + (offset - 4);
}

}  // namespace

std::uint32_t PipeRecord::U32At(std::size_t offset) const
{
    std::uint32_t value;
    std::memcpy(&value, At(*this, offset), sizeof value);
    return value;
}

void PipeRecord::SetU32At(std::size_t offset, std::uint32_t value)
{
    std::memcpy(At(*this, offset), &value, sizeof value);
}

std::optional<std::string> PipeRecord::TextAt(std::size_t offset, std::size_t fieldSize) const
{
    const auto* field = reinterpret_cast<const char*>(At(*this, offset));
    const std::size_t length = strnlen(field, fieldSize);
    if (length == fieldSize)
        return std::nullopt;
    return std::string(field, length);
}

bool PipeRecord::SetText(std::size_t offset, std::size_t fieldSize, const std::string& text)
{
    const std::size_t length = text.size() < fieldSize ? text.size() : fieldSize - 1;
    auto* field = At(*this, offset);
    std::memcpy(field, text.data(), length);
    field[length] = 0;
    return length == text.size();
}

LogMessage PipeRecord::MessageAt(std::size_t offset) const
{
    LogMessage message;
    std::memcpy(&message, At(*this, offset), sizeof message);
    return message;
}

void PipeRecord::SetMessage(std::size_t offset, const LogMessage& message)
{
    std::memcpy(At(*this, offset), &message, sizeof message);
}

}  // namespace ZintarUtil
