#include "tools/zintarctl/win32/LogAccess.h"

#include <windows.h>

#include <algorithm>
#include <iostream>

#include "tools/zintarctl/MessageSelection.h"
#include "util/Exceptions.h"
#include "util/ZintarNames.h"
#include "util/win32/AutoHandle.h"
#include "util/win32/LogFileReader.h"
#include "util/win32/SystemTimes.h"

namespace ZintarCtl {

using ZintarUtil::MessageRecord;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

// The whole file at `path`, opened read-only with every kind of sharing (read, write, delete) and
// closed again at once: it never holds up the service's restarts, resizes or moves, and is never
// mapped.
std::vector<unsigned char> ReadWholeFileShared(const std::string& path)
{
    ZintarUtil::AutoHandle file;
    file.Take(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (file.IsInvalid() || !GetFileSizeEx(file.Get(), &size))
        throw ZintarUtil::Exceptions::ExceptionWindows("Failed to open the log file " + path);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(std::min<LONGLONG>(size.QuadPart, 0xFFFFFFFFLL)));
    DWORD read = 0;
    for (std::size_t at = 0; at < bytes.size(); at += read) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1u << 24));
        if (!ReadFile(file.Get(), bytes.data() + at, chunk, &read, nullptr))
            throw ZintarUtil::Exceptions::ExceptionWindows("Failed to read the log file " + path);
        if (read == 0) {
            bytes.resize(at);  // cut meanwhile
            break;
        }
    }
    return bytes;
}

}  // namespace

ZintarUtil::TimeFields Now(bool utc)
{
    if (!utc)
        return ZintarUtil::LocalTimeNow();
    SYSTEMTIME now;
    GetSystemTime(&now);
    return ZintarUtil::FieldsOf(now);
}

void ToUtc(std::vector<MessageRecord>& records)
{
    for (MessageRecord& record : records) {
        const SYSTEMTIME local = ZintarUtil::SystemTimeOf(record.message.timeStamp);
        SYSTEMTIME utc;
        if (TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc))
            record.message.timeStamp = ZintarUtil::FieldsOf(utc);
    }
}

ZintarUtil::LogImageContent ReadLogFile(const std::string& path)
{
    const std::vector<unsigned char> bytes = ReadWholeFileShared(path);
    ZintarUtil::LogImageContent content = ZintarUtil::ReadLogImage(bytes.data(), bytes.size());
    if (content.kind == ZintarUtil::LogImageContent::Kind::Foreign)
        throw ExceptionBase("The file " + path + " is not a log file of the " + ZintarUtil::kServiceDisplayName);
    if (content.kind == ZintarUtil::LogImageContent::Kind::Damaged)
        std::cerr << "zintarctl: " << path << " is damaged: shown are the " << content.newestFirst.size()
                  << " whole messages it holds; " << content.skipped << " slots were skipped\n";
    return content;
}

ZintarUtil::LogImageContent LogOnDisk()
{
    char path[1024] = {};
    DWORD size = sizeof path;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, ZintarUtil::kSettingsKeyPath, "LogFile", RRF_RT_REG_SZ, nullptr, path,
                     &size) == ERROR_SUCCESS) {
        try {
            return ReadLogFile(path);
        } catch (const ExceptionBase&) {
        }
    }
    return {};
}

std::vector<MessageRecord> ReadSelected(const CtlCommand& c)
{
    const Selection selection = SelectionOf(c, Now(c.utc));
    // Without a selection, -n N copies just the newest N records.
    const bool selectsAll = !c.types && !c.since && !c.until && !c.textPrefix && !c.grep;
    ZintarUtil::LogSnapshot snapshot;
    if (c.file)
        snapshot.records = ReadLogFile(*c.file).newestFirst;
    else
        ZintarUtil::LogFileReader(ZintarUtil::kFileMapName).ReadSnapshot(snapshot, selectsAll ? c.last : std::nullopt);
    if (c.utc)
        ToUtc(snapshot.records);
    return Select(snapshot.records, selection, c.last);
}

}  // namespace ZintarCtl
