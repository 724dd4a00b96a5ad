// Output targets on Windows: how each output is written, decided from what its target is.
//
// A path from the command line is made absolute as Win32 makes it (names.cpp). A device's path
// (\\.\NUL, CON) is written directly. Any other path names a file, or nothing yet: where
// something is there, it is opened as Windows opens it, following links, and the path the
// system then gives for it (GetFinalPathNameByHandleW) is where the output goes, so a link at
// the target stays and the file it leads to is replaced. The directory that holds the target
// is opened, and the rest is done by name relative to it:
//
//   what the target is                      how it is written
//   --------------------------------------  ----------------------------------------------------
//   a device                                directly: opened and written
//   a regular file or nothing               replaced: a new file beside it, hidden, shared with
//                                             nobody and marked for deletion while it is
//                                             written, takes what the old one had (or what a new
//                                             file gets there), is unmarked and renamed over the
//                                             target by its handle, and marked again should the
//                                             rename fail
//   (in a directory extracted into) a link  replaced as a missing target: never opened
//     or anything else but a regular file
//   the file standard output (when the      refused, as on POSIX systems
//     program prints lines there) or
//     standard error goes to; a file the
//     user may not write; a directory
//
// There is no writing in place: where no new file can be made beside the target, or the rename
// cannot replace it (a file another program holds open), the run fails and the target stays
// as it was. A rename over a file that is open anywhere fails on Windows, the run's own opens
// included, so a target the run reads is unmapped and closed first (inputs.cpp).
//
// What a replaced file keeps: its attributes (read-only, hidden, system, archive), and its
// security descriptor: owner, group and access list, copied as they were (the list protected
// from inheritance where it was, and otherwise taking what the directory passes on, as the old
// one did). Where the owner cannot be set, the writer owns the new file, as on POSIX systems;
// where the access list cannot be copied, the new file gets one that grants its owner alone,
// and a warning says so: "can't copy the ACL of 'PATH': only its owner has access now".
//
// Under wine, a file's security descriptor is made up from its Unix mode bits, and what a
// program sets is turned back into mode bits, the owner's access given to the file's group as
// well; the group's own bits are never shown. No descriptor can be kept there, and a copied one
// widens access (a file of mode 600 came out 775). So under wine a replaced file is given the
// old owner's read and write access alone (mode 600, or 400 for a read-only one), by a
// descriptor whose owner is none of the process's own (for which wine sets the owner's bits
// alone), and the warning above says that only its owner has access now. Nobody gains access.
#include "internal.hpp"

#include <aclapi.h>
#include <sddl.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace wholefile {

namespace {

constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK directory_access =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// The attributes a replaced file passes on; the others are the system's (directory, reparse
// point, compressed, sparse...).
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr SECURITY_INFORMATION security_parts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// ---- Refusals.

[[noreturn]] void fail_opening(const char* shown, int error) {
    detail::fail_because(error, "can't open '%s' for writing", shown);
}

// ---- Where a path leads.

struct Place {
    HANDLE dir = INVALID_HANDLE_VALUE;
    bool own_dir = false;
    std::wstring dir_path; // the directory's full path
    std::wstring name;     // relative to dir
    std::wstring device;   // a device's path, written directly

    Place() = default;
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place() {
        if (own_dir) ::CloseHandle(dir);
    }
};

// Follows `path` to where it leads; false, with errno set, where it leads nowhere an output
// can go (a directory that cannot be opened, a link that leads nowhere).
[[nodiscard]] bool resolve(const char* path, Place& place) {
    std::optional<std::wstring> full = detail::full_path(path);
    if (!full) {
        errno = ENOENT;
        return false;
    }
    if (detail::is_device_path(*full)) {
        place.device = *full;
        return true;
    }
    // Whatever is there, as the system follows it: under wine a Linux link to a file looks like
    // the file itself, and a Linux device has no attributes to ask for; only the path the system
    // gives for what it opened tells.
    const DWORD attributes = ::GetFileAttributesW(full->c_str());
    const HANDLE there = ::CreateFileW(full->c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (there == INVALID_HANDLE_VALUE && attributes != INVALID_FILE_ATTRIBUTES &&
        detail::is_link(attributes, 0)) {
        detail::note_last_error(); // a link that leads nowhere
        return false;
    }
    if (there != INVALID_HANDLE_VALUE) {
        std::wstring final = detail::final_path_of(there);
        ::CloseHandle(there);
        if (!final.empty()) *full = std::move(final);
    }
    const std::size_t slash = full->rfind(L'\\');
    if (slash == std::wstring::npos || slash + 1 == full->size()) {
        errno = EISDIR;
        return false;
    }
    place.dir_path = full->substr(0, slash + 1);
    place.name = full->substr(slash + 1);
    place.dir = ::CreateFileW(place.dir_path.c_str(), directory_access, share_all, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (place.dir == INVALID_HANDLE_VALUE) {
        detail::note_last_error();
        return false;
    }
    place.own_dir = true;
    return true;
}

// ---- The new file.

[[nodiscard]] std::wstring temp_name(std::wstring_view leaf) {
    static std::uint64_t state = 0;
    if (state == 0) {
        LARGE_INTEGER now{};
        ::QueryPerformanceCounter(&now);
        const auto stack = reinterpret_cast<std::uintptr_t>(&now);
        state = (static_cast<std::uint64_t>(stack) << 16) ^
                static_cast<std::uint64_t>(now.QuadPart) ^
                (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 40);
    }
    static constexpr wchar_t letters[] =
        L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::wstring name(1, L'.');
    name.append(leaf.substr(0, 200));
    name += L'.';
    for (int k = 0; k < 6; ++k) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        name += letters[(state >> 33) % (sizeof letters / sizeof letters[0] - 1)];
    }
    return name;
}

[[nodiscard]] bool mark_for_deletion(HANDLE file, bool on) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = on ? TRUE : FALSE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                        sizeof disposition) != 0;
}

// Creates the new file beside `name` in `dir`, hidden, shared with nobody, and marks it for
// deletion; it is then the pending file. `sd` is the security descriptor it is made with, or
// null for what a new file gets there. INVALID_HANDLE_VALUE, with errno set, on failure.
[[nodiscard]] HANDLE create_temporary(const Place& place, ACCESS_MASK extra,
                                      PSECURITY_DESCRIPTOR sd) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring made = temp_name(place.name);
        HANDLE file = INVALID_HANDLE_VALUE;
        const NTSTATUS status = detail::open_at(
            place.dir, made, GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | extra, 0,
            FILE_CREATE, FILE_NON_DIRECTORY_FILE, &file, FILE_ATTRIBUTE_HIDDEN, sd);
        if (static_cast<ULONG>(status) == 0xC0000035) continue; // STATUS_OBJECT_NAME_COLLISION
        if (status < 0) {
            detail::note_status(status);
            return INVALID_HANDLE_VALUE;
        }
        if (!mark_for_deletion(file, true)) {
            const DWORD error = ::GetLastError();
            // Not left behind: opened again, by the name just made, to be deleted.
            ::CloseHandle(file);
            HANDLE again = INVALID_HANDLE_VALUE;
            if (detail::open_at(place.dir, made, DELETE | FILE_WRITE_ATTRIBUTES, share_all,
                                FILE_OPEN, FILE_NON_DIRECTORY_FILE, &again) >= 0) {
                FILE_BASIC_INFO plain{};
                plain.FileAttributes = FILE_ATTRIBUTE_NORMAL;
                static_cast<void>(
                    ::SetFileInformationByHandle(again, FileBasicInfo, &plain, sizeof plain));
                static_cast<void>(mark_for_deletion(again, true));
                ::CloseHandle(again);
            }
            detail::note_error(error);
            return INVALID_HANDLE_VALUE;
        }
        detail::note_pending(file);
        return file;
    }
    errno = EEXIST;
    return INVALID_HANDLE_VALUE;
}

// Renames the file open as `file` to `name` in the directory open as `dir`, replacing what is
// there; the status.
[[nodiscard]] NTSTATUS rename_to(HANDLE file, HANDLE dir, std::wstring_view name) {
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFORMATION) +
                                     name.size() * sizeof(wchar_t));
    auto* const rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = dir;
    rename->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, name.data(), name.size() * sizeof(wchar_t));
    IO_STATUS_BLOCK io{};
    return ::NtSetInformationFile(file, &io, rename, static_cast<ULONG>(buffer.size()),
                                  FileRenameInformation);
}

// ---- What a replaced file keeps.

// The user the process runs as, for an access list that grants its owner alone.
[[nodiscard]] const std::vector<std::uint8_t>& current_user() {
    static const std::vector<std::uint8_t> user = [] {
        std::vector<std::uint8_t> sid;
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
        DWORD need = 0;
        ::GetTokenInformation(token, TokenUser, nullptr, 0, &need);
        std::vector<std::uint8_t> info(need);
        if (need > 0 && ::GetTokenInformation(token, TokenUser, info.data(), need, &need)) {
            const PSID user_sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
            sid.assign(static_cast<std::uint8_t*>(user_sid),
                       static_cast<std::uint8_t*>(user_sid) + ::GetLengthSid(user_sid));
        }
        ::CloseHandle(token);
        return sid;
    }();
    return user;
}

// What the old file had, read before the new file is made.
struct Kept {
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    PSECURITY_DESCRIPTOR sd = nullptr; // owner, group and access list, where they were read
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    bool protected_dacl = false;
    ACCESS_MASK owner_access = 0; // under wine: what the old owner could do (read, write)

    Kept() = default;
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;
    ~Kept() {
        if (sd != nullptr) ::LocalFree(sd);
    }
};

// What an access list grants `sid` by its allowing entries.
[[nodiscard]] ACCESS_MASK granted(PACL dacl, PSID sid) {
    ACCESS_MASK mask = 0;
    ACL_SIZE_INFORMATION size{};
    if (dacl == nullptr || sid == nullptr ||
        !::GetAclInformation(dacl, &size, sizeof size, AclSizeInformation))
        return 0;
    for (DWORD k = 0; k < size.AceCount; ++k) {
        void* entry = nullptr;
        if (!::GetAce(dacl, k, &entry)) continue;
        const auto* const header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        auto* const allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (::EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), sid)) mask |= allowed->Mask;
    }
    return mask;
}

void read_kept(HANDLE dir, const std::wstring& name, Kept& kept) {
    HANDLE old = INVALID_HANDLE_VALUE;
    if (detail::open_at(dir, name, READ_CONTROL | FILE_READ_ATTRIBUTES, share_all, FILE_OPEN,
                        FILE_NON_DIRECTORY_FILE, &old) < 0)
        return;
    FILE_BASIC_INFO basic{};
    if (::GetFileInformationByHandleEx(old, FileBasicInfo, &basic, sizeof basic))
        kept.attributes = basic.FileAttributes & kept_attributes;
    if (::GetSecurityInfo(old, SE_FILE_OBJECT, security_parts, &kept.owner, &kept.group, &kept.dacl,
                          nullptr, &kept.sd) != ERROR_SUCCESS)
        kept.sd = nullptr;
    if (kept.sd != nullptr) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        if (::GetSecurityDescriptorControl(kept.sd, &control, &revision))
            kept.protected_dacl = (control & SE_DACL_PROTECTED) != 0;
        const ACCESS_MASK owner = granted(kept.dacl, kept.owner);
        kept.owner_access = ((owner & FILE_READ_DATA) ? FILE_GENERIC_READ : 0) |
                            ((owner & FILE_WRITE_DATA) ? FILE_GENERIC_WRITE : 0);
    }
    ::CloseHandle(old);
}

// Under wine: the descriptor a replaced file is made with (see the top of this file). Its
// owner is the local system, which no process of wine's holds, so that wine sets the owner's
// mode bits alone from it; the file still belongs to the Unix user who runs the program. The
// owner may always write it while it is written (wine cannot mark a file without write bits
// for deletion); an old file without them is read-only, which the new one becomes once in
// place, as every read-only file does.
[[nodiscard]] PSECURITY_DESCRIPTOR descriptor_under_wine(const Kept& kept) {
    const bool read = (kept.owner_access & FILE_READ_DATA) != 0;
    const wchar_t* const text = read ? L"O:SYD:P(A;;FRFW;;;SY)" : L"O:SYD:P(A;;FW;;;SY)";
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &sd,
                                                                nullptr))
        return nullptr;
    return sd;
}

void warn_owner_only(const char* shown) {
    warn("can't copy the ACL of '%s': only its owner has access now\n", printable(shown).c_str());
}

// Gives the new file open as `file` an access list that grants its owner, the writer, alone;
// false where that cannot be done either.
[[nodiscard]] bool grant_owner_alone(HANDLE file) {
    std::vector<std::uint8_t> user = current_user();
    if (user.empty()) return false;
    const DWORD size = static_cast<DWORD>(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + user.size());
    std::vector<std::uint8_t> block(size);
    auto* const acl = reinterpret_cast<PACL>(block.data());
    if (!::InitializeAcl(acl, size, ACL_REVISION) ||
        !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user.data()))
        return false;
    return ::SetSecurityInfo(file, SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
}

// Gives the new file open as `file` the old file's owner, group and access list.
void keep_security(HANDLE file, const Kept& kept, const char* shown) {
    if (detail::under_wine()) {
        warn_owner_only(shown); // made with what it can have (descriptor_under_wine)
        return;
    }
    const SECURITY_INFORMATION dacl_kind = kept.protected_dacl
                                               ? PROTECTED_DACL_SECURITY_INFORMATION
                                               : UNPROTECTED_DACL_SECURITY_INFORMATION;
    DWORD error = ERROR_INVALID_DATA;
    if (kept.sd != nullptr) {
        error = ::SetSecurityInfo(file, SE_FILE_OBJECT, security_parts | dacl_kind, kept.owner,
                                  kept.group, kept.dacl, nullptr);
        // The owner only where this user may set it; otherwise the writer owns the file.
        if (error != ERROR_SUCCESS)
            error = ::SetSecurityInfo(file, SE_FILE_OBJECT,
                                      GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                          dacl_kind,
                                      nullptr, kept.group, kept.dacl, nullptr);
        if (error != ERROR_SUCCESS)
            error = ::SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | dacl_kind,
                                      nullptr, nullptr, kept.dacl, nullptr);
    }
    if (error == ERROR_SUCCESS) return;
    if (!grant_owner_alone(file)) detail::fail_writing(shown, detail::errno_of(::GetLastError()));
    warn_owner_only(shown);
}

// ---- The ways of writing.

// A target that is not a regular file: a device, written as it is.
FileId write_directly(const Place& place, const char* shown, std::span<const Piece> pieces,
                      std::span<const Source> sources) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!place.device.empty()) {
        file =
            ::CreateFileW(place.device.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) fail_opening(shown, detail::note_last_error());
    } else {
        const NTSTATUS status = detail::open_at(place.dir, place.name, FILE_GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                                FILE_NON_DIRECTORY_FILE, &file);
        if (status < 0) fail_opening(shown, detail::note_status(status));
    }
    detail::write_pieces(file, shown, pieces, sources);
    const FileId id = detail::identity_of(file).value_or(FileId{});
    ::CloseHandle(file);
    return id;
}

// What the output's target is, and so how it is written.
struct Target {
    bool directly = false; // a device, or something else that is not a regular file
    bool exists = false;   // a regular file is there, which the new one replaces
    FileId id;
};

// Classifies the target at `place`. `follow` is false for a file extracted into a directory,
// where whatever is at the name and is not a regular file is replaced, never opened.
[[nodiscard]] Target classify(const Place& place, const char* shown, bool follow,
                              const Found* given) {
    Target target;
    if (!place.device.empty()) {
        target.directly = true;
        return target;
    }
    Found found;
    if (given != nullptr) {
        found = *given;
    } else {
        // Asked by name, and of what opens there: a Linux device under wine answers only the
        // second.
        const std::optional<ULONG> by_name =
            detail::attributes_at(place.dir, place.dir_path, place.name);
        HANDLE there = INVALID_HANDLE_VALUE;
        if (detail::open_at(place.dir, place.name, FILE_READ_ATTRIBUTES, share_all, FILE_OPEN,
                            FILE_OPEN_REPARSE_POINT, &there) >= 0) {
            found = detail::found_of(there, by_name);
            ::CloseHandle(there);
        } else if (by_name) {
            found.kind = (*by_name & FILE_ATTRIBUTE_DIRECTORY) ? Kind::directory : Kind::file;
        }
    }
    if (!found.exists()) return target;
    if (found.kind == Kind::file) detail::refuse_streams(found.id, shown, true);
    if (found.kind != Kind::file) {
        if (!follow) return target; // in a directory extracted into: replaced like nothing
        if (found.kind == Kind::other) {
            target.directly = true;
            return target;
        }
        fail_opening(shown, found.kind == Kind::directory ? EISDIR : ELOOP);
    }
    // A file the user may not write (read-only, or by its access list) stays so.
    HANDLE writable = INVALID_HANDLE_VALUE;
    const NTSTATUS status = detail::open_at(place.dir, place.name, FILE_WRITE_DATA, share_all,
                                            FILE_OPEN, FILE_NON_DIRECTORY_FILE, &writable);
    if (status < 0) fail_opening(shown, detail::note_status(status));
    ::CloseHandle(writable);
    target.exists = true;
    target.id = found.id;
    return target;
}

// Replaces the regular file at `place`, or makes it: written to a new file beside it, which
// takes what the old one had and is renamed into place.
FileId replace(const Place& place, const Target& target, const char* shown,
               std::span<const Piece> pieces, std::span<const Source> sources) {
    Kept kept;
    if (target.exists) read_kept(place.dir, place.name, kept);
    PSECURITY_DESCRIPTOR made_with = nullptr;
    ACCESS_MASK extra = 0;
    if (target.exists && detail::under_wine())
        made_with = descriptor_under_wine(kept);
    else if (target.exists)
        extra = WRITE_DAC | WRITE_OWNER;
    HANDLE file = create_temporary(place, extra, made_with);
    if (file == INVALID_HANDLE_VALUE && extra != 0 && errno == EACCES)
        file = create_temporary(place, WRITE_DAC, made_with); // the owner is then the writer's
    if (made_with != nullptr) ::LocalFree(made_with);
    if (file == INVALID_HANDLE_VALUE) fail_opening(shown, errno);

    detail::write_pieces(file, shown, pieces, sources);
    // What the old file had, or what a plain new file gets; read-only only once in place, for
    // a read-only file can no longer be marked for deletion should the rename fail.
    if (target.exists) keep_security(file, kept, shown);
    const DWORD attributes = target.exists ? kept.attributes : FILE_ATTRIBUTE_ARCHIVE;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic))
        detail::fail_writing(shown, detail::note_last_error());
    const FileId id = detail::identity_of(file).value_or(FileId{});
    {
        const detail::HeldEvents held;
        if (!mark_for_deletion(file, false)) detail::fail_writing(shown, detail::note_last_error());
        if (target.exists) detail::release_file(target.id);
        const NTSTATUS status = rename_to(file, place.dir, place.name);
        if (status < 0) {
            static_cast<void>(mark_for_deletion(file, true)); // it must not stay
            detail::fail_writing(shown, detail::note_status(status));
        }
        detail::forget_pending();
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        basic.FileAttributes = attributes;
        static_cast<void>(::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic));
    }
    ::CloseHandle(file);
    return id;
}

FileId write_at(const Place& place, const char* shown, bool follow, std::span<const Piece> pieces,
                std::span<const Source> sources, const Found* found = nullptr) {
    const Target target = classify(place, shown, follow, found);
    if (target.directly) return write_directly(place, shown, pieces, sources);
    return replace(place, target, shown, pieces, sources);
}

} // namespace

Scratch::Scratch(const Directory& beside, const char* shown) : shown_(shown) {
    // Gone when its handle closes, however the run ends.
    HANDLE file = INVALID_HANDLE_VALUE;
    NTSTATUS status = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        status = detail::open_at(DirectoryAccess::handle(beside), temp_name(L"scratch"),
                                 GENERIC_READ | GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                                 FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, &file,
                                 FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY);
        if (static_cast<ULONG>(status) != 0xC0000035) break;
    }
    if (status < 0) fail_opening(shown, detail::note_status(status));
    source_.fd = detail::fd_of(file);
}

Scratch::~Scratch() {
    if (source_.fd >= 0) ::CloseHandle(detail::handle_of(source_.fd));
}

std::uint64_t Scratch::append(std::span<const std::uint8_t> bytes) {
    const Piece piece{bytes.data(), bytes.size()};
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size_);
    ::SetFilePointerEx(detail::handle_of(source_.fd), end, nullptr, FILE_BEGIN);
    detail::write_pieces(detail::handle_of(source_.fd), shown_.c_str(), {&piece, 1}, {});
    const std::uint64_t at = size_;
    size_ += bytes.size();
    return at;
}

void write_file(const char* path, std::span<const Piece> pieces, std::span<const Source> sources) {
    Place place;
    if (!resolve(path, place)) fail_opening(path, errno);
    write_at(place, path, true, pieces, sources);
}

FileId write_file_in(const Directory& dir, const char* name, const char* shown,
                     std::span<const Piece> pieces, std::span<const Source> sources,
                     const Found* found) {
    const std::optional<std::wstring> leaf = detail::file_name_of(name);
    if (!leaf || leaf->empty()) fail("unsafe filename\n");
    Place place;
    place.dir = DirectoryAccess::handle(dir);
    place.dir_path = DirectoryAccess::path(dir);
    place.name = *leaf;
    return write_at(place, shown, false, pieces, sources, found);
}

} // namespace wholefile
