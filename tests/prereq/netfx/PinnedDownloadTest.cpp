// A build that pins WinNet1064Bit to the signed installer stand-in (this test's own copy of the pins'
// reader is compiled with that pin): under that name only that very file passes, not another file of
// the same trusted publisher; a name without a pin asks for the publisher only.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "TestFiles.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "prereq/DotNetFrameworkTask.h"
#include "prereq/NetFxDownloader.h"

namespace {

TEST(PinnedDownloads, OnlyThePinnedFileRunsUnderItsName) {
    const std::wstring folder = FreshScratch(L"pins"), log = folder + L"\\tmp.log";
    ASSERT_NE(InitLogAt(log), nullptr);
    const struct {
        const wchar_t* name;
        const wchar_t* standIn;
        bool taken;
    } cases[] = {{L"WinNet1064Bit", L"VEXO_INSTALLER_STANDIN", true},
                 {L"WinNet1064Bit", L"VEXO_SP2_STANDIN", false},
                 {L"WinNet8164Bit", L"VEXO_SP2_STANDIN", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.name) + " " + Utf8(c.standIn));
        DownloadedFile done;
        done.path = folder + L"\\" + c.name + L".exe";
        ASSERT_TRUE(::CopyFileW(WinPathFromEnv(c.standIn).c_str(), done.path.c_str(), FALSE));
        UniqueFile file(::CreateFileW(done.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file && HashRest(file.get(), &done.digest));
        file.reset();
        DotNetFrameworkTask task(nullptr);
        TakeDownload(task, done, c.name, NetFxState::InstallNetFx);
        EXPECT_EQ(task.state, c.taken ? NetFxState::InstallNetFx : NetFxState::Abort);
        task.heldDownload.reset();
        EXPECT_EQ(PathExists(done.path), c.taken);
        std::string logged;
        ReadWholeFile(log, &logged);
        const std::string refusal =
            "download failed: SHA-256 " + ToHex(done.digest) + " is not the one pinned for " + Utf8(c.name);
        EXPECT_EQ(logged.find(refusal) == std::string::npos, c.taken) << logged;
        ::DeleteFileW(done.path.c_str());
    }
}

}  // namespace
