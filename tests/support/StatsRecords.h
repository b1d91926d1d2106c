#pragma once
// What the local statistics server the test run started has received: each request as it came
// (VEXO_STATS_DIR/requests/NNNNNN.http) and whether its body parsed as JSON (reports.jsonl).

#include <string>
#include <vector>

struct RecordedRequest {
    std::string requestLine;
    std::vector<std::string> headers;  // "Name: value", in arrival order
    std::string body;
    bool validJson = false;
};

// Every recorded request whose body holds `marker`, oldest first. Tests put a marker of their
// own into the reports (an identity value), so reports of tests running beside them do not count.
std::vector<RecordedRequest> RecordedRequestsWith(const std::string& marker);
// The value of the first header of that name, or "<missing>".
std::string RecordedHeader(const RecordedRequest& request, const std::string& name);
