#include "tools/zintar-forward/win32/StateFolder.h"

#include <windows.h>

#include <sddl.h>

#include "tools/zintar-forward/ForwardOptions.h"
#include "tools/zintar-forward/win32/CertificateCheck.h"
#include "tools/zintar-forward/win32/ClientCertificate.h"
#include "tools/zintar-forward/win32/LocalFileAccess.h"
#include "util/Exceptions.h"
#include "util/FolderAccess.h"
#include "util/ZintarNames.h"
#include "util/win32/ForwardSettingsStore.h"
#include "util/win32/UniqueResource.h"

namespace ZintarForward {

using ZintarUtil::ForwardSettings;
using ZintarUtil::UniqueFile;
using ZintarUtil::Exceptions::ExceptionBase;
using ZintarUtil::Exceptions::ExceptionWindows;

namespace {

constexpr char kCaCopy[] = "ca.pem";
constexpr char kClientCopy[] = "client.p12";
constexpr std::size_t kLargestCredentialFile = 1024 * 1024;

// Owned by the administrators; SYSTEM, the administrators and the service full control, inherited
// by everything made inside; other accounts may list the folder itself and nothing more. Protected,
// so that nothing inherited from the parent (users may add folders to %ProgramData%) lets others in.
std::string FolderAccess()
{
    const std::string service = ServiceSidText(ZintarUtil::kForwardServiceName);
    return "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + service + ")(A;;0x1200a9;;;BU)";
}
// The certs folder and what install resets inside: the same without the users' line.
std::string InnerAccess(bool folder)
{
    const std::string inherit = folder ? "OICI" : "";
    const std::string service = ServiceSidText(ZintarUtil::kForwardServiceName);
    return "O:BAD:P(A;" + inherit + ";FA;;;SY)(A;" + inherit + ";FA;;;BA)(A;" + inherit + ";FA;;;" + service + ")";
}

class Descriptor {
public:
    explicit Descriptor(const std::string& sddl)
    {
        PSECURITY_DESCRIPTOR made = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &made, nullptr))
            throw ExceptionWindows("Failed to build the access list " + sddl);
        owned.Reset(made);
        attributes = {sizeof attributes, made, FALSE};
    }
    PSECURITY_DESCRIPTOR Get() const { return owned.Get(); }
    SECURITY_ATTRIBUTES* Attributes() { return &attributes; }

private:
    ZintarUtil::UniqueLocalMemory owned;
    SECURITY_ATTRIBUTES attributes{};
};

std::string FullPath(const std::string& path)
{
    std::string full(GetFullPathNameA(path.c_str(), 0, nullptr, nullptr) + 1, '\0');
    const DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size())
        throw ExceptionWindows("Failed to make a full path of " + path);
    full.resize(length);
    return full;
}

std::string NameOf(const std::string& path)
{
    return path.substr(path.find_last_of('\\') + 1);
}

// --state names the state file or the folder that is to hold it as state.txt: a folder when it
// is one, ends in a backslash, or (when nothing is there yet) has a last name without a dot, as
// in "--state D:\fwd". A file that is there stays the file.
std::string StatePathOf(const std::string& typed)
{
    const std::string full = FullPath(typed);
    if (!full.empty() && full.back() == '\\')
        return full + "state.txt";
    const DWORD attributes = GetFileAttributesA(full.c_str());
    const bool folder = attributes == INVALID_FILE_ATTRIBUTES ? NameOf(full).find('.') == std::string::npos
                                                              : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return folder ? full + "\\state.txt" : full;
}

StateEntryFound LookAtEntry(const std::string& folder, const std::string& name)
{
    StateEntryFound entry;
    entry.name = name;
    const std::string path = folder + "\\" + name;
    const UniqueFile handle(OpenWithoutFollowing(path, READ_CONTROL));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!handle || !GetFileInformationByHandle(handle.Get(), &information))
        throw ExceptionWindows("Failed to look at " + path + " in the state folder");
    entry.folder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.reparsePoint = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry.links = information.nNumberOfLinks;
    if (const std::optional<AccessFound> access = ReadAccess(handle.Get()))
        entry.owner = access->owner;
    return entry;
}

void ListEntries(const std::string& folder, const std::string& prefix, std::vector<StateEntryFound>& entries)
{
    WIN32_FIND_DATAA found{};
    const HANDLE search = FindFirstFileA((folder + "\\" + prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        entries.push_back(LookAtEntry(folder, prefix + name));
    } while (FindNextFileA(search, &found));
    FindClose(search);
    for (std::size_t i = 0, n = entries.size(); i < n; ++i)
        if (prefix.empty() && entries[i].folder && !entries[i].reparsePoint && NameOf(entries[i].name) == "certs")
            ListEntries(folder, "certs\\", entries);
}

// Sets owner and access list through the handle itself: SetKernelObjectSecurity changes this one
// object and walks nothing (SetSecurityInfo would carry the list into every child by path,
// through whatever was planted there), and the entries are reset one by one after their checks.
void SetThroughHandle(HANDLE handle, const Descriptor& descriptor, const std::string& path)
{
    if (!SetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor.Get()))
        throw ExceptionWindows("Failed to set the owner and the access list of " + path);
}

void TakeOver(HANDLE folderHandle, const std::string& folder, const std::vector<StateEntryFound>& entries,
              const std::string& statusName)
{
    const Descriptor folderAccess(FolderAccess());
    SetThroughHandle(folderHandle, folderAccess, folder);
    const Descriptor innerFolder(InnerAccess(true));
    const Descriptor innerFile(InnerAccess(false));
    const Descriptor statusFile(InnerAccess(false) + "(A;;FR;;;BU)");
    for (const StateEntryFound& entry : entries) {
        const std::string path = folder + "\\" + entry.name;
        const UniqueFile handle(OpenWithoutFollowing(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER));
        if (!handle)
            throw ExceptionWindows("Failed to open " + path + " to reset its access list");
        const bool status = _stricmp(entry.name.c_str(), statusName.c_str()) == 0;
        SetThroughHandle(handle.Get(), entry.folder ? innerFolder : status ? statusFile : innerFile, path);
    }
}

std::string ReadCredentialFile(const std::string& path, const char* what)
{
    const std::string bytes = ReadWholeFile(path, std::string("The ") + what + " " + path + " cannot be read: ");
    if (bytes.empty() || bytes.size() > kLargestCredentialFile)
        throw ExceptionBase(std::string("The ") + what + " " + path + " is " +
                            (bytes.empty() ? "empty" : "larger than 1 MB"));
    return bytes;
}

// Writes `bytes` into the certs folder as `name` (a whole new file renamed over the old one),
// with the protected list of what install keeps there; returns its path.
std::string WriteCopy(const std::string& folder, const char* name, const std::string& bytes)
{
    const std::string certs = folder + "\\certs";
    Descriptor certsAccess(InnerAccess(true));
    if (!CreateDirectoryA(certs.c_str(), certsAccess.Attributes()) && GetLastError() != ERROR_ALREADY_EXISTS)
        throw ExceptionWindows("Failed to create " + certs);
    const std::string path = certs + "\\" + name;
    const std::string temporary = path + ".new";
    Descriptor fileAccess(InnerAccess(false));
    {
        const UniqueFile file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, fileAccess.Attributes(), CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size() || !FlushFileBuffers(file.Get()))
            throw ExceptionWindows("Failed to write " + temporary);
    }
    if (!MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw ExceptionWindows("Failed to replace " + path);
    return path;
}

void RefuseRemote(const std::string& path)
{
    const std::string root = path.substr(0, 3);
    if (path.rfind("\\\\", 0) == 0 ||
        (path.size() > 2 && path[1] == ':' && GetDriveTypeA(root.c_str()) == DRIVE_REMOTE))
        throw ExceptionBase("The state file " + path +
                            " is on a network share or drive, which the service cannot reach: keep it on a local disk");
}

}  // namespace

const char* StatusCopyAccess()
{
    return "D:(A;;FR;;;BU)";
}

void PrepareStateFolder(const std::string& statePath)
{
    const std::string folder = ZintarUtil::FolderOfFile(statePath);
    StateFolderFound found;
    found.driveRoot = ZintarUtil::FoldersBelowRoot(folder).empty();
    Descriptor access(FolderAccess());
    if (!found.driveRoot) {
        if (CreateDirectoryA(folder.c_str(), access.Attributes()))
            return;
        const DWORD error = GetLastError();
        if (error == ERROR_PATH_NOT_FOUND)
            throw ExceptionBase("The state folder " + folder +
                                " cannot be made: the folder it would be in does not exist");
        if (error != ERROR_ALREADY_EXISTS)
            throw ExceptionWindows("Failed to create the state folder " + folder, nullptr, error);
        found.exists = true;
    }
    // Without delete sharing, so that nobody renames or replaces it while it is looked at and set.
    const UniqueFile handle(CreateFileA(folder.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!found.driveRoot) {
        if (!handle || !GetFileInformationByHandle(handle.Get(), &information))
            throw ExceptionWindows("Failed to open the state folder " + folder);
        found.isFile = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        found.reparsePoint = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (const std::optional<AccessFound> owner = ReadAccess(handle.Get()))
            found.owner = owner->owner;
        if (!found.isFile && !found.reparsePoint)
            ListEntries(folder, "", found.entries);
    }
    const std::string statusName = NameOf(ZintarUtil::ForwardStatusCopyPath(statePath));
    const FolderDecision decision = DecideStateFolder(found, NameOf(statePath), statusName);
    if (decision.action == FolderAction::Refuse)
        throw ExceptionBase("The state folder " + folder + " " + decision.reason);
    TakeOver(handle.Get(), folder, found.entries, statusName);
}

ForwardSettings PrepareInstall(const ForwardSettings& typed, std::vector<std::string>& notes)
{
    ForwardSettings s = typed;
    const CheckedSettings checked = CheckSettings(typed);
    const std::string statePath =
        typed.stateFile.empty() ? ZintarUtil::ForwardStatePath(typed) : StatePathOf(typed.stateFile);
    if (!typed.stateFile.empty())
        s.stateFile = statePath;
    RefuseRemote(statePath);
    PrepareStateFolder(statePath);
    const std::string folder = ZintarUtil::FolderOfFile(statePath);

    if (!typed.caFile.empty()) {
        const std::string source = FullPath(typed.caFile);
        const std::string bytes = ReadCredentialFile(source, "CA file");
        TlsPolicy policy{checked.target.host, source, std::nullopt};
        CertificateCheck{policy};  // reads it as the service will, and says what is wrong
        s.caFile = WriteCopy(folder, kCaCopy, bytes);
        if (auto refusal = CredentialPathRefusal(source, false))
            notes.push_back("The CA file " + source + " was copied to " + s.caFile + ", but " + *refusal +
                            ": check that the copy is the CA you meant.");
    } else {
        DeleteFileA((folder + "\\certs\\" + kCaCopy).c_str());
    }
    if (!typed.clientCertificate.empty()) {
        const std::string source = FullPath(typed.clientCertificate);
        const std::string bytes = ReadCredentialFile(source, "client certificate");
        ClientCertificate{source, bytes};  // imports it once, as the service will, and deletes the key again
        s.clientCertificate = WriteCopy(folder, kClientCopy, bytes);
        if (auto refusal = CredentialPathRefusal(source, true))
            notes.push_back("The client certificate " + source + " was copied to " + s.clientCertificate + ", but " +
                            *refusal + ": whoever read it has its key; delete it there.");
    } else {
        DeleteFileA((folder + "\\certs\\" + kClientCopy).c_str());
    }
    return s;
}

ForwardSettings PrepareRun(const ForwardSettings& typed)
{
    ForwardSettings s = typed;
    if (!typed.stateFile.empty()) {
        s.stateFile = StatePathOf(typed.stateFile);
    } else {
        const std::string folder = ZintarUtil::ForwardStateFolder();
        const DWORD attributes = GetFileAttributesA(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            throw ExceptionBase("The state folder " + folder +
                                " does not exist: 'zintar-forward install' makes it (run never does, so that no "
                                "other account can own it); or give run --state FILE");
    }
    if (!typed.caFile.empty())
        s.caFile = FullPath(typed.caFile);
    if (!typed.clientCertificate.empty())
        s.clientCertificate = FullPath(typed.clientCertificate);
    RefuseUnsafeCredentialFiles(s);
    return s;
}

}  // namespace ZintarForward
