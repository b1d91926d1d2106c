#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "tasks/InstallMessages.h"
#include "tasks/Reports.h"
#include "tasks/TaskManager.h"
#include "TestFiles.h"

namespace {

// Everything the runner does, in the order it happened, as seen from the outside.
std::mutex g_eventsLock;
std::vector<std::string> g_events;
std::atomic<bool> g_startReturned{false};
std::string g_logPath;

void Record(const std::string& event) {
    std::lock_guard<std::mutex> lock(g_eventsLock);
    g_events.push_back(event);
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

size_t LogLineCount() {
    std::string text;
    ReadWholeFile(std::wstring(g_logPath.begin(), g_logPath.end()), &text);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The runner's report sender: records which report went out, how many log lines existed
// then, and whether the UI thread had been released.
void RecordReport(std::wstring action, std::wstring a1, std::wstring a2, std::wstring a3) {
    if (action == L"activate") {
        // The UI thread must still be blocked while "activate" is being sent.
        ::Sleep(150);
    }
    if (action == L"install_start") {
        // The start event must already be signalled: the UI thread gets released without us.
        for (int i = 0; i < 500 && !g_startReturned; ++i) ::Sleep(10);
    }
    Record("report " + Narrow(action) + "|" + Narrow(a1) + "|" + Narrow(a2) + "|" + Narrow(a3) + " log=" +
           std::to_string(LogLineCount()) + " released=" + (g_startReturned ? "1" : "0"));
}

// A runner that dies in its first report, before it signals its start.
void DieInReport(std::wstring, std::wstring, std::wstring, std::wstring) { ::ExitThread(0); }

// Work a task leaves running, finished a while after the task is.
DWORD WINAPI LeftWork(LPVOID) {
    ::Sleep(200);
    Record("work left by first done");
    return 0;
}

DWORD WINAPI StartRunner(LPVOID manager) {
    static_cast<TaskManager*>(manager)->StartTaskManager();
    return 0;
}

class RecordingTask : public TaskBase {
public:
    RecordingTask(HWND window, std::string name, RecordingTask* successor = nullptr)
        : TaskBase(window), name_(std::move(name)), successor_(successor) {}

    void Run() override {
        Record("run " + name_ + " path=" + Narrow(installPath) + " dir=" + (moduleDir == ModuleDirectory() ? "ok" : "bad"));
        if (hold_ != nullptr) ::WaitForSingleObject(hold_, 10000);
        if (leavesWork_) afterwards.reset(::CreateThread(nullptr, 0, LeftWork, nullptr, 0, nullptr));
        if (successor_ != nullptr) {
            successor_->SetInstallPath(L"copied by " + std::wstring(name_.begin(), name_.end()));
            next = successor_;
        }
    }
    HANDLE hold_ = nullptr;
    bool leavesWork_ = false;

private:
    std::string name_;
    RecordingTask* successor_;
};

class TaskManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_events.clear();
        g_startReturned = false;
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        g_logPath = Narrow(FreshScratch(std::wstring(name.begin(), name.end()))) + "\\runner.log";
        InitLogAt(std::wstring(g_logPath.begin(), g_logPath.end()));
        SetReportSender(RecordReport);
        ASSERT_TRUE(g_log->isOpen);

        window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
        manager_.mainWindow = window_;
        manager_.SetInstallPath(L"C:\\Program Files\\kavix");
    }
    void TearDown() override {
        if (window_) ::DestroyWindow(window_);
    }

    void Start() {
        manager_.StartTaskManager();
        g_startReturned = true;
    }

    // Waits for the runner's last step, then collects what it posted to the window.
    std::vector<MSG> WaitForEnd() {
        for (int i = 0; i < 1000 && manager_.startEvent.load() != nullptr; ++i) ::Sleep(10);
        EXPECT_EQ(manager_.startEvent.load(), nullptr) << "runner did not finish";
        ::Sleep(50);
        std::vector<MSG> posted;
        MSG msg;
        while (::PeekMessageW(&msg, window_, WM_USER, WM_USER + 100, PM_REMOVE)) posted.push_back(msg);
        return posted;
    }

    TaskManager manager_;
    HWND window_ = nullptr;
};

}  // namespace

TEST_F(TaskManagerTest, WalksTheChainBetweenReportsInOrder) {
    RecordingTask third(window_, "third");
    RecordingTask second(window_, "second", &third);
    RecordingTask first(window_, "first", &second);
    first.leavesWork_ = true;
    manager_.firstTask = &first;

    Start();
    const auto posted = WaitForEnd();

    const std::vector<std::string> expected = {
        "report activate||| log=0 released=0",
        "report install_start|ptaz_all|| log=1 released=1",
        // every task gets the runner's folder, whatever its predecessor copied into it
        "run first path=C:\\Program Files\\kavix dir=ok",
        "run second path=C:\\Program Files\\kavix dir=ok",
        "run third path=C:\\Program Files\\kavix dir=ok",
        // what a task left running ends before the end is reported
        "work left by first done",
        "report install_done|ptaz_all|| log=1 released=1",
    };
    EXPECT_EQ(g_events, expected);

    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, WM_INSTALL_DONE);
    EXPECT_EQ(posted[0].wParam, 0u);
    EXPECT_EQ(posted[0].lParam, 0);

    std::ifstream in(g_logPath, std::ios::binary);
    std::string line1, line2;
    std::getline(in, line1);
    std::getline(in, line2);
    EXPECT_EQ(line1.rfind("[ERROR] Task Manager start [", 0), 0u) << line1;
    EXPECT_EQ(line2.rfind("[ERROR] exit TaskManager excute now [", 0), 0u) << line2;
    EXPECT_NE(manager_.threadId, 0u);
}

TEST_F(TaskManagerTest, NullFirstTaskStillReportsAndFinishes) {
    manager_.firstTask = nullptr;
    Start();
    const auto posted = WaitForEnd();
    ASSERT_EQ(g_events.size(), 3u);
    EXPECT_EQ(g_events[0].rfind("report activate|||", 0), 0u);
    EXPECT_EQ(g_events[1].rfind("report install_start|ptaz_all||", 0), 0u);
    EXPECT_EQ(g_events[2].rfind("report install_done|ptaz_all||", 0), 0u);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, WM_INSTALL_DONE);
}

TEST_F(TaskManagerTest, ChainEndsAtATaskThatCreatesNoSuccessor) {
    RecordingTask failing(window_, "failing");  // creates nothing: the chain ends here
    manager_.firstTask = &failing;
    Start();
    WaitForEnd();
    ASSERT_EQ(g_events.size(), 4u);
    EXPECT_EQ(g_events[2].rfind("run failing", 0), 0u);
    EXPECT_EQ(g_events[3].rfind("report install_done", 0), 0u);
}

TEST_F(TaskManagerTest, SecondStartWhileRunningDoesNothingButAfterTheEndWalksAgain) {
    RecordingTask blocking(window_, "blocking");
    UniqueHandle hold(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    blocking.hold_ = hold.get();
    manager_.firstTask = &blocking;

    Start();
    const HANDLE running = manager_.startEvent.load();
    EXPECT_NE(running, nullptr);
    manager_.StartTaskManager();  // runner busy in the first task: must return at once
    EXPECT_EQ(manager_.startEvent.load(), running);
    ::SetEvent(hold.get());
    WaitForEnd();
    EXPECT_EQ(std::count_if(g_events.begin(), g_events.end(),
                            [](const std::string& e) { return e.rfind("report activate", 0) == 0; }),
              1);

    g_events.clear();
    Start();  // cleared at the end: a new call walks the same chain again
    WaitForEnd();
    ASSERT_EQ(g_events.size(), 4u);
    EXPECT_EQ(g_events[2].rfind("run blocking", 0), 0u);
}

// The window's thread waits on the runner itself too: a runner that dies before its signal
// cannot hang the window.
TEST_F(TaskManagerTest, RunnerThatDiesBeforeItsSignalDoesNotHangTheWindow) {
    SetReportSender(DieInReport);
    UniqueHandle starter(::CreateThread(nullptr, 0, StartRunner, &manager_, 0, nullptr));
    ASSERT_TRUE(starter);
    EXPECT_EQ(::WaitForSingleObject(starter.get(), 5000), WAIT_OBJECT_0) << "StartTaskManager hangs";
}
