// Posting thread messages to engine threads that are not ready yet or gone.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>

#include "EngineUtils.h"
#include "UnitQovCore.h"

using namespace qov;

namespace {

struct TReceiver {
    DWORD CreateQueueAfter = 0;  // ms before the thread creates its queue
    bool CreateQueue = true;
    HANDLE Started = nullptr;  // set once the thread routine runs, when given
    std::atomic<UINT> Message{0};
    std::atomic<WPARAM> WParam{0};
    std::atomic<LPARAM> LParam{0};
};

DWORD WINAPI ReceiverThread(void* arg)
{
    auto* r = static_cast<TReceiver*>(arg);
    if (r->Started)
        SetEvent(r->Started);
    Sleep(r->CreateQueueAfter);
    if (!r->CreateQueue)
        return 0;
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
    if (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        r->WParam = msg.wParam;
        r->LParam = msg.lParam;
        r->Message = msg.message;
    }
    return 0;
}

// An engine thread that keeps the first message it gets.
class TFirstMessage : public TThread {
public:
    TFirstMessage() { StartThread(); }
    ~TFirstMessage() override { EndThread(); }
    std::atomic<UINT> Message{0};
    std::atomic<WPARAM> WParam{0};

protected:
    void Execute() override
    {
        MSG msg;
        if (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            WParam = msg.wParam;
            Message = msg.message;
        }
    }
};

// Ends a thread after a while without letting it run its exit: a thread
// that ends normally may make a message queue on its way out under Wine.
// The thread is to be past its start (Started), so that it holds no lock.
struct TKillAfter {
    HANDLE Thread;
    DWORD Ms;
};

DWORD WINAPI KillAfter(void* arg)
{
    auto* k = static_cast<TKillAfter*>(arg);
    Sleep(k->Ms);
    TerminateThread(k->Thread, 0);
    return 0;
}

} // namespace

TEST(TThread, TakesAPlainPostAsSoonAsItIsStarted)
{
    // Starting waits for the thread's queue: the first post needs no retry.
    for (WPARAM i = 1; i <= 20; ++i) {
        const DWORD t0 = GetTickCount();
        TFirstMessage thread;
        // A queue that never told its starter would hold it 2 s.
        EXPECT_LT(GetTickCount() - t0, 1000u) << i;
        ASSERT_TRUE(PostThreadMessageA(thread.ThreadID(), WM_USER + 7, i, 0)) << i;
        for (int wait = 0; wait < 500 && thread.Message.load() == 0; ++wait)
            Sleep(1);
        EXPECT_EQ(thread.Message.load(), UINT(WM_USER + 7));
        EXPECT_EQ(thread.WParam.load(), i);
    }
}

TEST(PostThreadMessageRetry, WaitsUntilTheThreadHasItsQueue)
{
    TReceiver r;
    r.CreateQueueAfter = 300;
    DWORD id = 0;
    HANDLE th = CreateThread(nullptr, 0, ReceiverThread, &r, 0, &id);
    ASSERT_NE(th, nullptr);
    // Before the queue exists a plain post is refused.
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER + 3, 1, 2));

    DWORD t0 = GetTickCount();
    EXPECT_TRUE(PostThreadMessageRetry(id, th, WM_USER + 3, 0xFFFFFFFF, 0x12345678));
    DWORD took = GetTickCount() - t0;
    EXPECT_GE(took, 150u);
    EXPECT_EQ(WaitForSingleObject(th, 5000), WAIT_OBJECT_0);
    CloseHandle(th);
    EXPECT_EQ(r.Message.load(), UINT(WM_USER + 3));
    EXPECT_EQ(r.WParam.load(), WPARAM(0xFFFFFFFF));
    EXPECT_EQ(r.LParam.load(), LPARAM(0x12345678));
}

TEST(PostThreadMessageRetry, GivesUpOnAnEndedThread)
{
    TReceiver r;
    r.CreateQueue = false;
    DWORD id = 0;
    HANDLE th = CreateThread(nullptr, 0, ReceiverThread, &r, 0, &id);
    ASSERT_NE(th, nullptr);
    ASSERT_EQ(WaitForSingleObject(th, 5000), WAIT_OBJECT_0);
    DWORD t0 = GetTickCount();
    EXPECT_FALSE(PostThreadMessageRetry(id, th, WM_USER + 6, 0, 0));
    EXPECT_LT(GetTickCount() - t0, 100u);
    CloseHandle(th);
}

TEST(PostThreadMessageRetry, GivesUpWhenTheThreadEndsWithoutAQueue)
{
    // The thread never takes messages and ends after a while: the post keeps
    // trying until then and reports failure.
    TReceiver r;
    r.CreateQueue = false;
    r.CreateQueueAfter = INFINITE;
    r.Started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE th = CreateThread(nullptr, 0, ReceiverThread, &r, 0, &id);
    ASSERT_NE(th, nullptr);
    ASSERT_EQ(WaitForSingleObject(r.Started, 10000), WAIT_OBJECT_0);
    CloseHandle(r.Started);
    TKillAfter kill{th, 300};
    HANDLE killer = CreateThread(nullptr, 0, KillAfter, &kill, 0, nullptr);
    ASSERT_NE(killer, nullptr);
    DWORD t0 = GetTickCount();
    EXPECT_FALSE(PostThreadMessageRetry(id, th, WM_USER + 6, 0, 0));
    DWORD took = GetTickCount() - t0;
    EXPECT_GE(took, 150u);
    EXPECT_LT(took, 3000u);
    WaitForSingleObject(killer, INFINITE);
    CloseHandle(killer);
    CloseHandle(th);
}

TEST(PostThreadMessageRetry, GivesUpOnAHandleThatCannotBeWaitedOn)
{
    EXPECT_FALSE(PostThreadMessageRetry(0x7FFFFFF0, nullptr, WM_USER + 6, 0, 0));
}
