#include <gtest/gtest.h>
#include <windows.h>

#include "base/SystemApi.h"

namespace {

enum class Status { kOk = 0, kFailed };

// Each caller tells failure its own way: the stand-in for a missing function must read as one.
TEST(SystemApi, AMissingFunctionFailsAsItsKindOfResultSays) {
    ::SetLastError(0);
    EXPECT_TRUE(FAILED(SystemDllFunction<HRESULT(WINAPI*)(int)>(SystemDll::OleAcc, "NoSuchFunction")(1)));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_NE(SystemDllFunction<LONG(WINAPI*)()>(SystemDll::Version, "NoSuchFunction")(), ERROR_SUCCESS);
    EXPECT_FALSE(SystemDllFunction<BOOL(WINAPI*)(void*)>(SystemDll::WinHttp, "NoSuchFunction")(nullptr));
    EXPECT_EQ(SystemDllFunction<void*(WINAPI*)()>(SystemDll::Crypt32, "NoSuchFunction")(), nullptr);
    EXPECT_NE(SystemDllFunction<Status(WINAPI*)()>(SystemDll::GdiPlus, "NoSuchFunction")(), Status::kOk);
}

}  // namespace
