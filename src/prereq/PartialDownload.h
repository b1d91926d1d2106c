#pragma once
// What a download has received so far, beside its final name in the download's folder: the partial
// file, the SHA-256 of every byte in it, and its resume record (the URL and the validator the bytes
// came with), so that a later run goes on where this one stopped. Both are opened and removed by
// name in the held folder: the folder is the user's, and anyone may put a link at either name.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "base/FileInFolder.h"
#include "base/Owners.h"
#include "base/Sha256.h"

std::wstring PartialName(const std::wstring& name);
std::wstring ResumeRecordName(const std::wstring& name);

class PartialDownload {
public:
    // `name`: the download's final name in `folder`, which the caller holds for the whole download.
    PartialDownload(const HeldFolder& folder, std::wstring name) : folder_(folder), name_(std::move(name)) {}

    // Opens the partial file, writable, sharing reading only; what lies under its name and is not a
    // file of its own is replaced by a new one. Keeps what an earlier run received of `url` under a
    // validator, reading it back into the hash; anything else is dropped.
    bool Open(const std::string& url);

    // Appends to the file and the hash.
    bool Append(const char* data, size_t size);
    // Empties the file: the download starts from byte 0.
    bool Truncate();
    // Closed by hand: false when the close fails (data not written). Closing twice is harmless.
    bool Close();
    // The digest of every byte in the file.
    Sha256Digest Finish();

    // The resume record of the bytes from byte 0 under `validator`; without a validator nothing
    // tells a later run the bytes are still the resource's, so there is none.
    void Record(const std::string& url, const std::string& validator);
    void RemoveRecord();
    // Forgets both names, so the next run starts at byte 0.
    void Discard();

    const HeldFolder& folder() const { return folder_; }
    const std::wstring& name() const { return name_; }
    bool IsOpen() const { return static_cast<bool>(file_); }
    uint64_t written() const { return written_; }
    bool StartsLikeProgram() const { return written_ >= 2 && head_[0] == 'M' && head_[1] == 'Z'; }
    // The validator the file's bytes came with.
    const std::string& validator() const { return validator_; }
    void set_validator(const std::string& validator) { validator_ = validator; }

private:
    bool ReadRecord(std::string* url, std::string* validator) const;
    void NoteHead(const char* data, size_t size, uint64_t at);

    const HeldFolder& folder_;
    std::wstring name_;
    UniqueFile file_;
    std::optional<Sha256> hash_;
    uint64_t written_ = 0;
    char head_[2] = {};
    std::string validator_;
};
