// Windows: who may use a file, through ADVAPI32.dll alone: security
// descriptors carried from file to file, owners compared, a new file made
// for its owner alone, and fingerprints of who may use a file.
#include "platform/fingerprint.h"
#include "platform/windows_internal.h"

#include <aclapi.h>

namespace platform {

namespace {

// Whether the files open on `a` and `b` have the same owner and group.
bool same_owners(HANDLE a, HANDLE b) {
    constexpr SECURITY_INFORMATION owners = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
    SecurityDescriptor got_a(nullptr), got_b(nullptr);
    PSID owner_a = nullptr, group_a = nullptr, owner_b = nullptr, group_b = nullptr;
    return GetSecurityInfo(a, SE_FILE_OBJECT, owners, &owner_a, &group_a, nullptr, nullptr,
                           &got_a.value) == ERROR_SUCCESS &&
           GetSecurityInfo(b, SE_FILE_OBJECT, owners, &owner_b, &group_b, nullptr, nullptr,
                           &got_b.value) == ERROR_SUCCESS &&
           owner_a != nullptr && owner_b != nullptr && EqualSid(owner_a, owner_b) &&
           (group_a == nullptr || (group_b != nullptr && EqualSid(group_a, group_b)));
}

// Gives the file held on `to` the security of the one held on `from`: its
// DACL exactly, with the flag that says whether it takes entries from the
// directory (a protected one does not), and its owner and group, which the
// process may set where they are its own or it has the restore privilege;
// where they do not end up the original's, it fails (EPERM) rather than
// hand the file to someone else. The descriptor is set as it is, with
// SetKernelObjectSecurity: SetSecurityInfo would add what the directory
// passes on (under Wine, even to a protected DACL, which then lets Everyone
// read). Wine stores no security descriptor: it turns the DACL into the
// file's mode bits.
bool carry_security(HANDLE from, HANDLE to) {
    SecurityDescriptor got(nullptr);
    constexpr SECURITY_INFORMATION owners = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
    DWORD error = GetSecurityInfo(from, SE_FILE_OBJECT, owners | DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, nullptr, nullptr, &got.value);
    if (error != ERROR_SUCCESS) return fail_with_system_error(error);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(got.value, &control, &revision))
        return fail_with_system_error();
    (void)SetKernelObjectSecurity(to, owners, got.value); // judged by what it leaves
    if (!same_owners(from, to)) return fail_with(EPERM);
    SECURITY_INFORMATION inheritance = (control & SE_DACL_PROTECTED) != 0
                                           ? PROTECTED_DACL_SECURITY_INFORMATION
                                           : UNPROTECTED_DACL_SECURITY_INFORMATION;
    return SetKernelObjectSecurity(to, DACL_SECURITY_INFORMATION | inheritance, got.value) != 0 ||
           fail_with_system_error();
}

// The owner of the file open on `file`, in `got`, which frees it.
PSID owner_of(HANDLE file, SecurityDescriptor& got) {
    PSID owner = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &got.value) != ERROR_SUCCESS)
        return nullptr;
    return owner;
}

// The user this process runs as, in `user`.
bool token_user(unsigned char (&user)[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE]) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD length = 0;
    bool got = GetTokenInformation(token, TokenUser, user, sizeof user, &length) != 0;
    CloseHandle(token);
    return got;
}

int access_of_handle(HANDLE file, unsigned long long& fingerprint) {
    constexpr SECURITY_INFORMATION wanted =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    SecurityDescriptor got(nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT, wanted, nullptr, nullptr, nullptr, nullptr,
                                  &got.value);
    if (error != ERROR_SUCCESS) return fail_with_system_error(error);
    if (!GetFileInformationByHandle(file, &info)) return fail_with_system_error();
    unsigned long long hash = fingerprint_start;
    fold(hash, got.value, GetSecurityDescriptorLength(got.value));
    const DWORD read_only = info.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
    fold(hash, &read_only, sizeof read_only);
    fingerprint = hash;
    return 1;
}

} // namespace

// Whether the file open on `file` is owned by the user running this process,
// or by the owner it gives the files it creates (for an administrator, the
// Administrators group, on Windows; Wine reports the user).
bool owned_by_caller(HANDLE file) {
    SecurityDescriptor got(nullptr);
    PSID owner = owner_of(file, got);
    HANDLE token = nullptr;
    if (owner == nullptr || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    alignas(TOKEN_OWNER) unsigned char creator[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    bool mine = (GetTokenInformation(token, TokenUser, user, sizeof user, &length) &&
                 EqualSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, owner)) ||
                (GetTokenInformation(token, TokenOwner, creator, sizeof creator, &length) &&
                 EqualSid(reinterpret_cast<TOKEN_OWNER*>(creator)->Owner, owner));
    CloseHandle(token);
    return mine;
}

bool make_owner_only(OwnerOnly& only) {
    auto* acl = reinterpret_cast<PACL>(only.acl);
    if (!token_user(only.user) || !InitializeAcl(acl, sizeof only.acl, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS,
                             reinterpret_cast<TOKEN_USER*>(only.user)->User.Sid) ||
        !InitializeSecurityDescriptor(&only.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&only.descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&only.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;
    only.attributes = {sizeof only.attributes, &only.descriptor, FALSE};
    return true;
}

int access_of(std::FILE* held, unsigned long long& fingerprint) {
    return access_of_handle(handle_of(held), fingerprint);
}

int access_of_name(const Directory& directory, const char* last, unsigned long long& fingerprint) {
    wchar_t path[long_path_size];
    if (!path_in(directory, last, path)) return 0;
    Handle file(CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.value == INVALID_HANDLE_VALUE) return fail_with_system_error();
    return access_of_handle(file.value, fingerprint);
}

int same_owner(std::FILE* a, std::FILE* b) {
    SecurityDescriptor got_a(nullptr), got_b(nullptr);
    PSID owner_a = owner_of(handle_of(a), got_a), owner_b = owner_of(handle_of(b), got_b);
    return owner_a != nullptr && owner_b != nullptr && EqualSid(owner_a, owner_b);
}

bool caller_is_privileged() {
    return false;
}

bool can_give_owners_of(const Directory& /*directory*/, std::FILE* file) {
    return owned_by_caller(handle_of(file));
}

// The copy, held without sharing since it was made, takes the original's
// security descriptor, then its read-only attribute, the one attribute that
// says who may write; and the mark of an unfinished copy comes off. Its
// other attributes stay its own (hidden or system ones are not carried).
int carry_metadata(std::FILE* original, std::FILE* copy) {
    BY_HANDLE_FILE_INFORMATION from, to;
    if (!carry_security(handle_of(original), handle_of(copy))) return 0;
    if (!GetFileInformationByHandle(handle_of(original), &from) ||
        !GetFileInformationByHandle(handle_of(copy), &to))
        return fail_with_system_error();
    constexpr DWORD read_only = FILE_ATTRIBUTE_READONLY;
    DWORD attributes = (to.dwFileAttributes & ~(FILE_ATTRIBUTE_TEMPORARY | read_only)) |
                       (from.dwFileAttributes & read_only);
    return set_attributes(handle_of(copy), attributes) || fail_with_system_error();
}

} // namespace platform
