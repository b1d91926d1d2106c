#include "prereq/PartialDownload.h"

#include <vector>

#include "base/Log.h"
#include "prereq/NetFxDownloader.h"

std::wstring PartialName(const std::wstring& name) { return name + L".partial"; }
std::wstring ResumeRecordName(const std::wstring& name) { return PartialName(name) + L".validator"; }

std::wstring PartialDownloadPath(const std::wstring& path) { return PartialName(path); }

void DiscardPartialDownload(const std::wstring& path) {
    const HeldFolder folder(FolderPart(path));
    if (!folder) return;  // no folder, no partial file
    PartialDownload(folder, NamePart(path)).Discard();
}

void PartialDownload::NoteHead(const char* data, size_t size, uint64_t at) {
    for (size_t i = 0; at + i < 2 && i < size; ++i) head_[at + i] = data[i];
}

bool PartialDownload::Open(const std::string& url) {
    // Written to only when it is a file of its own: a link or a second name of another file there
    // would have that file written over. OpenFileIn lets such a name go and makes a new file.
    file_ = OpenFileIn(folder_, PartialName(name_), FileIn::kOpenOrNew, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    if (!file_) return false;
    hash_.emplace();
    std::string recordedUrl, validator;
    if (!ReadRecord(&recordedUrl, &validator) || recordedUrl != url) return Truncate();
    std::vector<char> buffer(256 * 1024);
    uint64_t read = 0;
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            return Truncate();
        if (got == 0) break;
        NoteHead(buffer.data(), got, read);
        hash_->Update(buffer.data(), got);
        read += got;
    }
    written_ = read;
    if (!StartsLikeProgram()) return Truncate();
    validator_ = validator;
    LogFormat(g_log, 3, "download: going on from %llu bytes received earlier", static_cast<unsigned long long>(read));
    return true;
}

bool PartialDownload::Append(const char* data, size_t size) {
    NoteHead(data, size, written_);
    while (size > 0) {
        const DWORD piece = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
        DWORD done = 0;
        if (!::WriteFile(file_.get(), data, piece, &done, nullptr) || done != piece) return false;
        hash_->Update(data, piece);
        written_ += piece;
        data += piece;
        size -= piece;
    }
    return true;
}

bool PartialDownload::Truncate() {
    LARGE_INTEGER zero = {};
    if (!::SetFilePointerEx(file_.get(), zero, nullptr, FILE_BEGIN) || !::SetEndOfFile(file_.get())) return false;
    hash_.emplace();
    written_ = 0;
    head_[0] = head_[1] = 0;
    return true;
}

bool PartialDownload::Close() { return !file_ || ::CloseHandle(file_.release()); }

Sha256Digest PartialDownload::Finish() {
    Sha256Digest digest = {};
    hash_->Finish(&digest);
    return digest;
}

// The record: the URL, then the validator, a line each.
bool PartialDownload::ReadRecord(std::string* url, std::string* validator) const {
    const UniqueFile file =
        OpenFileIn(folder_, ResumeRecordName(name_), FileIn::kOpenExisting, GENERIC_READ, FILE_SHARE_READ);
    if (!file) return false;
    char text[4096];
    DWORD got = 0;
    if (!::ReadFile(file.get(), text, sizeof text, &got, nullptr) || got == sizeof text) return false;
    const std::string all(text, got);
    const size_t cut = all.find('\n');
    if (cut == std::string::npos || all.empty() || all.back() != '\n') return false;
    *url = all.substr(0, cut);
    *validator = all.substr(cut + 1, all.size() - cut - 2);
    return !validator->empty();
}

void PartialDownload::Record(const std::string& url, const std::string& validator) {
    if (!validator.empty()) {
        // Whatever has the name goes first, a link as itself: the record is always a new file.
        const UniqueFile file = OpenFileIn(folder_, ResumeRecordName(name_), FileIn::kReplace, GENERIC_WRITE, 0);
        const std::string text = url + "\n" + validator + "\n";
        DWORD written = 0;
        if (file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size())
            return;
    }
    RemoveRecord();
}

void PartialDownload::RemoveRecord() {
    // Best effort: a record left behind names a URL and validator the next run checks anyway.
    (void)RemoveNameIn(folder_.get(), folder_.path(), ResumeRecordName(name_));
}

void PartialDownload::Discard() {
    Close();
    (void)RemoveNameIn(folder_.get(), folder_.path(), PartialName(name_));
    RemoveRecord();
}
