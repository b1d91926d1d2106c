// How an entry's target file is created: its folders below the reader's root, then the file, new
// where it can be.

#include "archive/EntryTarget.h"

#include <winternl.h>

#include <cstring>
#include <cwchar>

#include "base/SystemApi.h"

void CreateTargetFolders(const wchar_t* rootDir, const wchar_t* target) noexcept {
    if (rootDir[0] == L'\0') return;
    const wchar_t* lastSep = nullptr;
    for (const wchar_t* p = target; *p; ++p)
        if (*p == L'/' || *p == L'\\') lastSep = p;
    if (!lastSep || lastSep == target) return;
    if (target[0] == L'/' || target[0] == L'\\' || target[1] == L':') return;
    const size_t folderLength = static_cast<size_t>(lastSep - target);
    for (size_t i = 0; i + 2 < folderLength + 1; ++i) {
        if (target[i] == L'.' && target[i + 1] == L'.' && (target[i + 2] == L'/' || target[i + 2] == L'\\')) return;
    }
    wchar_t path[MAX_PATH * 2];
    const size_t rootLength = wcslen(rootDir);
    if (rootLength + folderLength + 1 > MAX_PATH * 2) return;
    memcpy(path, rootDir, rootLength * sizeof(wchar_t));
    for (size_t i = 0; i <= folderLength; ++i) {
        const wchar_t c = i < folderLength ? target[i] : L'\\';
        if (c == L'/' || c == L'\\') {
            if (i > 0 && target[i - 1] != L'/' && target[i - 1] != L'\\') {
                path[rootLength + i] = L'\0';
                // Asking first is cheaper than a failing create for the many files that share
                // folders; a real failure shows when the target is created.
                const DWORD attr = GetFileAttributesW(path);
                if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY))
                    CreateDirectoryW(path, nullptr);
            }
            path[rootLength + i] = L'\\';
        } else {
            path[rootLength + i] = c;
        }
    }
}

namespace {

// The attributes CreateFileW passes on (the driver kit's FILE_ATTRIBUTE_VALID_FLAGS).
constexpr DWORD kValidAttributes = 0x7fb7;

// CREATE_NEW by the target's name in the folder held open for it (by its path without one); a
// target CreateFileW would not take (a path of MAX_PATH or more) is left to CreateFileW, which
// fails as before.
HANDLE CreateTargetIn(HANDLE folder, const wchar_t* target, DWORD attr) noexcept {
    const size_t length = wcslen(target);
    const wchar_t* name = wcsrchr(target, L'\\');
    static const auto create = SystemFunctionAs<decltype(&NtCreateFile)>(SystemFunction::NtCreateFile);
    static const auto toError = SystemFunctionAs<decltype(&RtlNtStatusToDosError)>(SystemFunction::RtlNtStatusToDosError);
    if (folder == nullptr || name == nullptr || name[1] == L'\0' || length >= MAX_PATH || create == nullptr ||
        toError == nullptr)
        return CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_NEW, attr, nullptr);
    ++name;
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name);
    text.Length = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io = {};
    HANDLE file = nullptr;
    // What CreateFileW asks for CREATE_NEW.
    const NTSTATUS status = create(&file, GENERIC_WRITE | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &object, &io, nullptr,
                                   attr & kValidAttributes, 0, FILE_CREATE,
                                   FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (NT_SUCCESS(status)) return file;
    ::SetLastError(toError(status));
    return INVALID_HANDLE_VALUE;
}

}  // namespace

// Tried with CREATE_NEW first: replacing truncates, and under Wine on ext4 a truncated-then-written
// file is sent to disk the moment it is closed, so every extracted file would be written through
// instead of cached.
HANDLE CreateTarget(const wchar_t* target, DWORD attr, HANDLE folder) noexcept {
    const HANDLE file = CreateTargetIn(folder, target, attr);
    if (file != INVALID_HANDLE_VALUE) return file;
    return CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attr, nullptr);
}
