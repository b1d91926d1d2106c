#include "base/FileInFolder.h"

#include <winternl.h>

#include <cwchar>
#include <iterator>

#include "base/SystemApi.h"

namespace {

// From the driver kit.
constexpr ULONG kFileOpen = 1;
constexpr ULONG kFileCreate = 2;
constexpr ULONG kSynchronousIo = 0x00000020;    // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kNonDirectory = 0x00000040;     // FILE_NON_DIRECTORY_FILE
constexpr ULONG kOpenReparsePoint = 0x00200000;  // FILE_OPEN_REPARSE_POINT: the link itself
constexpr DWORD kValidAttributes = 0x7fb7;      // FILE_ATTRIBUTE_VALID_FLAGS
constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034L);
constexpr NTSTATUS kPathNotFound = static_cast<NTSTATUS>(0xC000003AL);
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035L);
constexpr int kFileBasicInformation = 4;
constexpr int kFileStandardInformation = 5;
constexpr int kFileDispositionInformation = 13;

struct BasicInformation {
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime;
    ULONG fileAttributes;
};
struct StandardInformation {
    LARGE_INTEGER allocationSize, endOfFile;
    ULONG numberOfLinks;
    BOOLEAN deletePending, directory;
};

using CreateFn = decltype(&NtCreateFile);
using InformationFn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
using ToErrorFn = ULONG(NTAPI*)(NTSTATUS);

struct Nt {
    CreateFn create = SystemFunctionAs<CreateFn>(SystemFunction::NtCreateFile);
    InformationFn query = SystemFunctionAs<InformationFn>(SystemFunction::NtQueryInformationFile);
    InformationFn set = SystemFunctionAs<InformationFn>(SystemFunction::NtSetInformationFile);
    ToErrorFn toError = SystemFunctionAs<ToErrorFn>(SystemFunction::RtlNtStatusToDosError);
    bool complete() const { return create && query && set && toError; }
};

const Nt& Calls() {
    static const Nt calls;
    return calls;
}

// Sets the last error from `status`; its success as the result.
bool Succeeded(NTSTATUS status) {
    if (NT_SUCCESS(status)) return true;
    ::SetLastError(Calls().toError(status));
    return false;
}

NTSTATUS OpenByName(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG attributes, ULONG options, UniqueFile* file) {
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name);
    text.Length = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io = {};
    HANDLE handle = nullptr;
    const NTSTATUS status = Calls().create(&handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &object, &io, nullptr,
                                           attributes & kValidAttributes, share, disposition,
                                           options | kSynchronousIo, nullptr, 0);
    if (NT_SUCCESS(status)) file->reset(handle);
    return status;
}

bool Query(HANDLE file, int kind, void* info, ULONG size) {
    IO_STATUS_BLOCK io = {};
    return Succeeded(Calls().query(file, &io, info, size, kind));
}

// The folder's path and the name, on the stack: the fault handler logs through here.
struct JoinedPath {
    wchar_t text[2 * MAX_PATH + 2];
    bool fits;
    JoinedPath(const wchar_t* folderPath, const wchar_t* name) noexcept {
        const size_t folder = wcslen(folderPath);
        const bool separator = folder > 0 && folderPath[folder - 1] != L'\\';
        fits = folder + 1 + wcslen(name) < std::size(text);
        if (!fits) return;
        wcscpy(text, folderPath);
        if (separator) wcscat(text, L"\\");
        wcscat(text, name);
    }
};

// A link shows on its own handle on Windows; under Wine only its path shows it. A path too long to
// ask about counts as one.
bool PathShowsLink(const wchar_t* folderPath, const wchar_t* name) {
    const JoinedPath path(folderPath, name);
    if (!path.fits) return true;
    const DWORD attributes = ::GetFileAttributesW(path.text);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

enum class Found { kNothing, kOwn, kOther, kFailed };

// What is at the name, opened on itself for `access`: a file of its own is kept in *file.
Found Look(HANDLE folder, const wchar_t* folderPath, const wchar_t* name, DWORD access, DWORD share,
           UniqueFile* file) {
    UniqueFile handle;
    const NTSTATUS status = OpenByName(folder, name, access, share, kFileOpen, 0, kNonDirectory | kOpenReparsePoint,
                                       &handle);
    if (status == kNameNotFound) return Found::kNothing;
    if (!Succeeded(status)) return Found::kFailed;
    BasicInformation basic = {};
    StandardInformation standard = {};
    if (!Query(handle.get(), kFileBasicInformation, &basic, sizeof basic) ||
        !Query(handle.get(), kFileStandardInformation, &standard, sizeof standard))
        return Found::kFailed;
    if ((basic.fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || standard.numberOfLinks != 1 ||
        PathShowsLink(folderPath, name))
        return Found::kOther;
    *file = std::move(handle);
    return Found::kOwn;
}

}  // namespace

UniqueFile OpenFolderHandle(const std::wstring& path, bool itself) {
    return UniqueFile(::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_TRAVERSE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | (itself ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr));
}

HeldFolder::HeldFolder(std::wstring path, bool refuseLink) : path_(std::move(path)) {
    while (path_.size() > 3 && (path_.back() == L'\\' || path_.back() == L'/')) path_.pop_back();
    handle_ = OpenFolderHandle(path_, refuseLink);
    if (!refuseLink || !handle_) return;
    BY_HANDLE_FILE_INFORMATION info = {};
    // Under Wine only the path shows a link.
    const DWORD byPath = ::GetFileAttributesW(path_.c_str());
    if (!::GetFileInformationByHandle(handle_.get(), &info) || byPath == INVALID_FILE_ATTRIBUTES ||
        ((info.dwFileAttributes | byPath) & FILE_ATTRIBUTE_REPARSE_POINT)) {
        handle_.reset();
        ::SetLastError(kNotAFileOfItsOwn);
    }
}

bool RemoveNameIn(HANDLE folder, const wchar_t* folderPath, const wchar_t* name) {
    if (!Calls().complete() || folder == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    UniqueFile item;
    const NTSTATUS status = OpenByName(folder, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       kFileOpen, 0, kNonDirectory | kOpenReparsePoint, &item);
    if (status == kNameNotFound || status == kPathNotFound) return true;
    if (!Succeeded(status)) return false;
    BasicInformation basic = {};
    if (!Query(item.get(), kFileBasicInformation, &basic, sizeof basic)) return false;
    if (!(basic.fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && PathShowsLink(folderPath, name)) {
        // The handle is on what the link leads to, which must stay: the name goes by itself. Removing
        // a name never changes the file it named.
        item.reset();
        const JoinedPath path(folderPath, name);
        return path.fits && (::DeleteFileW(path.text) || ::GetLastError() == ERROR_FILE_NOT_FOUND);
    }
    IO_STATUS_BLOCK io = {};
    BOOLEAN deleteFile = TRUE;
    return Succeeded(Calls().set(item.get(), &io, &deleteFile, sizeof deleteFile, kFileDispositionInformation));
}

UniqueFile OpenFileIn(HANDLE folder, const wchar_t* folderPath, const wchar_t* name, FileIn how, DWORD access,
                      DWORD share, DWORD attributes) {
    if (!Calls().complete() || folder == nullptr || name[0] == L'\0' || wcspbrk(name, L"\\/") != nullptr) {
        ::SetLastError(folder == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_NAME);
        return {};
    }
    // A few rounds: another program may put something at the name again between the removal and
    // the create.
    for (int round = 0; round < 4; ++round) {
        UniqueFile file;
        if (how == FileIn::kOpenOrNew || how == FileIn::kOpenExisting) {
            switch (Look(folder, folderPath, name, access, share, &file)) {
                case Found::kOwn: return file;
                case Found::kFailed: return {};
                case Found::kNothing:
                    if (how == FileIn::kOpenExisting) {
                        ::SetLastError(ERROR_FILE_NOT_FOUND);
                        return {};
                    }
                    break;
                case Found::kOther:
                    if (how == FileIn::kOpenExisting) {
                        ::SetLastError(kNotAFileOfItsOwn);
                        return {};
                    }
                    if (!RemoveNameIn(folder, folderPath, name)) return {};
                    break;
            }
        }
        const NTSTATUS status = OpenByName(folder, name, access, share, kFileCreate, attributes, kNonDirectory, &file);
        if (NT_SUCCESS(status)) return file;
        if (status != kNameCollision || how == FileIn::kNew) {
            Succeeded(status);
            return {};
        }
        if (how == FileIn::kReplace && !RemoveNameIn(folder, folderPath, name)) return {};
    }
    ::SetLastError(ERROR_FILE_EXISTS);
    return {};
}

std::wstring FolderPart(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/");
    // A bare name is one in the current folder.
    if (cut == std::wstring::npos) return L".";
    // A drive's root keeps its separator: "C:" alone is the drive's current folder.
    return cut == 2 && path[1] == L':' ? path.substr(0, 3) : path.substr(0, cut);
}

std::wstring NamePart(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}
