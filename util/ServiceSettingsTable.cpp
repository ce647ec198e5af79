#include "util/ServiceSettingsTable.h"

#include "util/CommandLineValues.h"
#include "util/Exceptions.h"

namespace ZintarUtil {

const SettingRow& RowOf(std::uint32_t PipeSettings::*field)
{
    for (const SettingRow& row : kSettingRows)
        if (row.field == field)
            return row;
    throw Exceptions::ExceptionBase("A setting's field has no row in the settings table");
}

std::string SettingText(const SettingRow& row, const PipeSettings& settings)
{
    const std::uint32_t value = settings.*row.field;
    if (row.kind == SettingKind::TypeMask)
        return TypesText(value);
    return std::to_string(value) + (*row.unit != '\0' ? std::string(" ") + row.unit : std::string());
}

void EncodeSettings(PipeRecord& record, const PipeSettings& settings)
{
    for (const SettingRow& row : kSettingRows)
        record.SetU32At(row.offset, settings.*row.field);
}

void EncodeSettingsReply(PipeReply& reply, const PipeSettings& settings)
{
    reply.code = Pipe::kReplySettings;
    EncodeSettings(reply, settings);
    reply.SetU32At(Pipe::kStateFlagsOffset, (settings.logFileFallback ? Pipe::kStateLogFileFallback : 0) |
                                                (settings.deviceOpen ? Pipe::kStateDeviceOpen : 0));
    reply.SetText(Pipe::kLogFileInUseOffset, Pipe::kLogFileInUseFieldSize, settings.logFileInUse);
}

PipeSettings SettingsOf(const PipeRecord& record)
{
    PipeSettings settings;
    for (const SettingRow& row : kSettingRows)
        settings.*row.field = record.U32At(row.offset);
    const std::uint32_t state = record.U32At(Pipe::kStateFlagsOffset);
    settings.logFileFallback = (state & Pipe::kStateLogFileFallback) != 0;
    settings.deviceOpen = (state & Pipe::kStateDeviceOpen) != 0;
    settings.logFileInUse = record.TextAt(Pipe::kLogFileInUseOffset, Pipe::kLogFileInUseFieldSize).value_or("");
    return settings;
}

}  // namespace ZintarUtil
