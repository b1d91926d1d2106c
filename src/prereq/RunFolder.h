#pragma once
// Where the elevated installer runs the programs it starts (the downloaded .NET installers, the
// runtime package): a copy in a new folder only administrators and the system may write, made for
// that one program and removed once it has run. Beside the program (Downloads, an install folder
// the user picked) any program of the user could have left a DLL that Windows would load first.

#include <windows.h>

#include <string>

#include "base/Owners.h"
#include "base/Sha256.h"

// The machine's common application data, or else the Windows temp folder; ends in a backslash.
// Empty when neither is known.
std::wstring RunFolderParent();

class RunFolder {
public:
    RunFolder() noexcept = default;
    ~RunFolder() { Remove(); }
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    // Makes a new folder below `parent` and copies what `source` holds into `name` there; both stay
    // held (the folder without delete sharing, the program shared for reading only) until Remove.
    // False, logged, with nothing left behind.
    bool Put(HANDLE source, const std::wstring& name, const std::wstring& parent = RunFolderParent());
    // The same for a file named by its path, read while nobody may write it.
    bool PutFile(const std::wstring& source, const std::wstring& name, const std::wstring& parent = RunFolderParent());

    // Without a trailing backslash; empty before Put.
    const std::wstring& folder() const noexcept { return folder_; }
    const std::wstring& program() const noexcept { return program_; }
    // Of the program as it is held.
    const Sha256Digest& digest() const noexcept { return digest_; }

    // Lets go of the program and deletes it, then the folder; what its program still holds in use
    // goes at the next restart.
    void Remove() noexcept;

private:
    std::wstring folder_;
    std::wstring program_;
    Sha256Digest digest_ = {};
    UniqueFile heldFolder_;
    UniqueFile heldProgram_;
};
