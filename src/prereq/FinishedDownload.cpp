#include "prereq/FinishedDownload.h"

#include <windows.h>

#include <utility>

#include "base/FileInFolder.h"
#include "base/Log.h"
#include "base/SystemApi.h"
#include "base/Text.h"
#include "prereq/DotNetFrameworkTask.h"
#include "prereq/PinnedDownloads.h"
#include "prereq/Signature.h"

namespace {

// The finished file, reopened sharing reading only before it has its name and then named through
// that handle: under its name nobody can ever open it for writing, delete or rename it while held.
// Empty where Windows cannot rename through a handle (XP), or when it cannot be held so (someone
// has it open for writing): the caller names it by path and the check reopens it.
UniqueFile HoldUnderItsName(const PartialDownload& partial, const std::wstring& path) {
    if (!HasFileInformationByHandle()) return {};
    UniqueFile held = OpenFileIn(partial.folder(), PartialName(partial.name()), FileIn::kOpenExisting,
                                 GENERIC_READ | DELETE, FILE_SHARE_READ);
    if (!held) return {};
    if (!RenameByHandle(held.get(), path, true)) {
        LogCallFailed("SetFileInformationByHandle (rename)", path, ::GetLastError());
        return {};
    }
    return held;
}

// Why a held download may not run; empty when it may.
std::wstring Refusal(HANDLE file, const DownloadedFile& done, const std::wstring& name) {
    Sha256Digest digest;
    LARGE_INTEGER start = {};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !HashRest(file, &digest))
        return L"the file cannot be read (error " + std::to_wstring(::GetLastError()) + L")";
    if (digest != done.digest) return L"the file changed after it was written";
    const SignatureCheck check = CheckSignature(file, done.path, TrustedPublishers());
    if (check.verdict != SignatureVerdict::Trusted) return DescribeRefusal(check);
    const std::string pinned = PinnedDigest(name);
    if (!pinned.empty() && pinned != ToHex(digest))
        return L"SHA-256 " + ToWide(ToHex(digest), CP_ACP) + L" is not the one pinned for " + name;
    return {};
}

}  // namespace

DownloadResult NameFinishedDownload(PartialDownload& partial, const std::wstring& path, const Sha256Digest& digest,
                                    DownloadedFile* done) {
    if (!partial.Close()) return DownloadResult::TransferFailed;
    UniqueFile held = HoldUnderItsName(partial, path);
    // XP has no rename through a handle: there the partial file is renamed by path. A link put at
    // either name is renamed as itself, and TakeDownload checks what the final name holds.
    if (!held && !::MoveFileExW(PartialDownloadPath(path).c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        LogCallFailed("MoveFileExW", path, ::GetLastError());
        return DownloadResult::NoFile;
    }
    partial.RemoveRecord();
    if (done) *done = DownloadedFile{path, digest, std::move(held)};
    return DownloadResult::Ok;
}

void TakeDownload(DotNetFrameworkTask& task, DownloadedFile& done, const std::wstring& name, NetFxState success) {
    // The download's folder is the user's: the file is opened and removed by name in it, never
    // through a link put at its name.
    const HeldFolder folder(FolderPart(done.path));
    // Shared for reading only: from here nobody can write, rename or delete it until it has run.
    // One that someone holds open for writing cannot be opened so, and is refused at once.
    UniqueFile held = std::move(done.held);
    if (!held && folder)
        held = OpenFileIn(folder, NamePart(done.path), FileIn::kOpenExisting, GENERIC_READ, FILE_SHARE_READ);
    std::wstring refusal;
    if (!held)
        refusal = L"the file cannot be held against writing (error " + std::to_wstring(::GetLastError()) + L")";
    else
        refusal = Refusal(held.get(), done, name);
    if (refusal.empty()) {
        task.heldDownload = std::move(held);
        task.state = success;
        return;
    }
    // A program that is not the one written and signed by someone we trust never runs: it goes
    // the way of a failed download.
    held.reset();
    if (folder) (void)RemoveNameIn(folder.get(), folder.path(), NamePart(done.path));
    LogFormatW(g_log, L"download failed: %s", refusal.c_str());
    FailDownload(task);
}
