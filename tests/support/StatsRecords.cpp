#include "StatsRecords.h"

#include <windows.h>

#include <cwchar>

#include "TestFiles.h"

std::vector<RecordedRequest> RecordedRequestsWith(const std::string& marker) {
    const std::wstring dir = WinPathFromEnv(L"VEXO_STATS_DIR");
    std::string journal;
    ReadWholeFile(dir + L"\\reports.jsonl", &journal);
    std::vector<RecordedRequest> found;
    for (int seq = 1;; ++seq) {
        wchar_t name[32];
        swprintf(name, 32, L"\\requests\\%06d.http", seq);
        std::string raw;
        if (!ReadWholeFile(dir + name, &raw)) break;
        const size_t headEnd = raw.find("\r\n\r\n");
        if (headEnd == std::string::npos || raw.find(marker, headEnd) == std::string::npos) continue;
        RecordedRequest request;
        request.body = raw.substr(headEnd + 4);
        size_t start = 0;
        for (size_t end; (end = raw.find("\r\n", start)) <= headEnd; start = end + 2) {
            if (start == 0) request.requestLine = raw.substr(0, end);
            else request.headers.push_back(raw.substr(start, end - start));
        }
        const std::string entry = "{\"seq\": " + std::to_string(seq) + ",";
        const size_t at = journal.find(entry);
        request.validJson = at != std::string::npos && journal.find("\"json_valid\": true}", at) < journal.find('\n', at);
        found.push_back(request);
    }
    return found;
}

std::string RecordedHeader(const RecordedRequest& request, const std::string& name) {
    for (const auto& line : request.headers)
        if (line.compare(0, name.size() + 2, name + ": ") == 0) return line.substr(name.size() + 2);
    return "<missing>";
}
