#pragma once

#include <string>

// Sends one statistics report synchronously; its outcome never reaches the caller.
void SendReport(std::wstring action, std::wstring a1, std::wstring a2, std::wstring a3);
