// Builders for the security descriptor that lets a process of any account open the objects the
// service shares with its clients: a DACL granting the world SID (S-1-1-0) one access mask, and,
// when client access is strict, LocalSystem and the Administrators another.
// Each builder collects its inputs, builds its Windows object once on first request and is final
// from then on.
#pragma once

#include <windows.h>

#include <aclapi.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ZintarUtil {

class SecurityIdentifier {
public:
    explicit SecurityIdentifier(const SID_IDENTIFIER_AUTHORITY& authority);
    SecurityIdentifier(const SecurityIdentifier&) = delete;
    SecurityIdentifier& operator=(const SecurityIdentifier&) = delete;
    ~SecurityIdentifier();

    void AddSubAuthority(std::uint32_t value);
    PSID GetSID();

private:
    PSID sid = nullptr;
    SID_IDENTIFIER_AUTHORITY authority;
    std::uint8_t count = 0;
    std::uint32_t subAuthorities[8] = {};
};

class AccessControlList {
public:
    AccessControlList() = default;
    AccessControlList(const AccessControlList&) = delete;
    AccessControlList& operator=(const AccessControlList&) = delete;
    ~AccessControlList();

    // The entry refers to the identifier's SID without copying it: the identifier must outlive
    // the building of the ACL.
    void AddExplicitAccess(std::uint32_t accessMode, std::uint32_t permissions, std::uint32_t trusteeType,
                           SecurityIdentifier& identifier);
    PACL GetACL();

private:
    PACL acl = nullptr;
    std::vector<EXPLICIT_ACCESS_A> entries;
};

class SecurityDescriptor {
public:
    SecurityDescriptor() = default;
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

    AccessControlList& GetDacl() { return dacl; }
    // Points into this object: it must stay in place while the attributes are used.
    SECURITY_ATTRIBUTES BuildSecurityAttributes();

private:
    SECURITY_DESCRIPTOR descriptor{};
    AccessControlList dacl;
};

// The rights on one object that the service shares with its clients.
struct SharedObjectRights {
    std::uint32_t open;    // every account's while client access is not strict, as it always was
    std::uint32_t client;  // every account's when it is: what a client needs (ClientAccess.h)
    std::uint32_t full;    // LocalSystem's and the Administrators' when it is
};

// Attributes for a Create call whose object every account may open with `access`. Build it on
// the stack right before the call; it must not be copied or moved while in use.
class EveryoneSecurityAttributes {
public:
    explicit EveryoneSecurityAttributes(std::uint32_t access);
    // Not strict: every account gets `rights.open`, as above. Strict: every account gets
    // `rights.client`, and LocalSystem and BUILTIN\Administrators get `rights.full`.
    EveryoneSecurityAttributes(const SharedObjectRights& rights, bool strict);
    EveryoneSecurityAttributes(const EveryoneSecurityAttributes&) = delete;
    EveryoneSecurityAttributes& operator=(const EveryoneSecurityAttributes&) = delete;

    SECURITY_ATTRIBUTES* GetSecurityAttributes() { return &attributes; }

    // Gives the object `name`, which a Create call found already there (a client held it across
    // a restart), this DACL: whoever opens it from now on gets what a new one would grant. Handles
    // opened before keep their rights. The handle needs WRITE_DAC; throws ExceptionWindows naming
    // the object.
    void ApplyTo(HANDLE object, const std::string& name);

private:
    SecurityIdentifier everyone;
    SecurityIdentifier localSystem;
    SecurityIdentifier administrators;
    SecurityDescriptor descriptor;
    SECURITY_ATTRIBUTES attributes{};
};

// The account that owns the kernel object `object` (the handle needs READ_CONTROL), by name
// ("BUILTIN\Users", or the SID where the name is unknown), when it is none of LocalSystem, the
// Administrators and this process's own account (its user, and the owner it gives what it
// creates). Nothing otherwise, and nothing when the object has no owner or it cannot be read.
std::optional<std::string> ForeignOwnerOf(HANDLE object);

}  // namespace ZintarUtil
