// Windows, classes, the per-thread queue and its loop, and timers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "harness.h"
#include "platform/numbers.h"

using namespace harness;

namespace {

constexpr unsigned kPing = plat::kWmUser + 7;

// Takes the next message for w (or the thread, w = nullptr), with a timer
// on `guard` so that the wait ends by itself.
int nextMessage(plat::Msg* m, plat::Hwnd w, plat::Hwnd guard, unsigned ms = 5000) {
    plat::SetTimer(guard, kDeadlineTimer, ms);
    int r = plat::GetMessageA(m, w, 0, 0);
    plat::KillTimer(guard, kDeadlineTimer);
    return r;
}

bool isDeadline(const plat::Msg& m) {
    return m.message == plat::kWmTimer && m.wParam == kDeadlineTimer;
}

TEST(Classes, RegisteredOnceAndFoundByNameFromAnyThread) {
    plat::WndClass wc{};
    wc.lpfnWndProc = [](plat::Hwnd, unsigned, plat::WParam, plat::LParam) -> plat::LResult {
        return 42;
    };
    wc.lpszClassName = "QueueTestClass";
    EXPECT_EQ(plat::GetClassInfoA(nullptr, "QueueTestClass"), 0);
    EXPECT_NE(plat::RegisterClassA(&wc), 0);
    EXPECT_EQ(plat::RegisterClassA(&wc), 0) << "registered twice";
    int foundElsewhere = 0;
    std::thread([&] { foundElsewhere = plat::GetClassInfoA(nullptr, "QueueTestClass"); }).join();
    EXPECT_NE(foundElsewhere, 0);

    EXPECT_EQ(plat::CreateWindowExA(0, "NoSuchClass", "x", 0, 0, 0, 1, 1, nullptr, nullptr,
                                    nullptr, nullptr),
              nullptr);
    plat::Hwnd w = plat::CreateWindowExA(0, "QueueTestClass", "x", 0, 0, 0, 1, 1, nullptr,
                                         nullptr, nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    plat::Msg m{w, kPing, 0, 0};
    EXPECT_EQ(plat::DispatchMessageA(&m), 42) << "the window procedure's result";
    EXPECT_EQ(plat::DefWindowProcA(w, kPing, 1, 2), 0);
    EXPECT_EQ(plat::GetActiveWindow(), nullptr);
    EXPECT_EQ(plat::DestroyWindow(w), 1);
    EXPECT_EQ(plat::DestroyWindow(w), 0) << "destroyed twice";
    EXPECT_EQ(plat::DispatchMessageA(&m), 0) << "dispatched to a destroyed window";
}

TEST(Queue, FilterTakesOnlyItsWindowAndQuitEndsTheLoop) {
    plat::Hwnd a = makeWindow();
    plat::Hwnd b = makeWindow();
    ASSERT_EQ(plat::PostMessageA(b, kPing, 1, 0), 1);
    ASSERT_EQ(plat::PostMessageA(a, kPing, 2, 0), 1);
    ASSERT_EQ(plat::PostMessageA(a, plat::kWmQuit, 0, 0), 1);
    ASSERT_EQ(plat::PostMessageA(b, kPing, 3, 0), 1);
    EXPECT_EQ(plat::PostMessageA(nullptr, kPing, 4, 0), 0) << "no window, no queue";

    plat::Msg m;
    ASSERT_EQ(nextMessage(&m, a, a), 1);
    EXPECT_EQ(m.hwnd, a);
    EXPECT_EQ(m.wParam, 2u);
    EXPECT_EQ(nextMessage(&m, a, a), 0) << "WM_QUIT gives 0";
    EXPECT_EQ(m.message, plat::kWmQuit);
    // With no filter: b's messages, in posting order.
    ASSERT_EQ(nextMessage(&m, nullptr, a), 1);
    EXPECT_EQ(m.hwnd, b);
    EXPECT_EQ(m.wParam, 1u);
    ASSERT_EQ(nextMessage(&m, nullptr, a), 1);
    EXPECT_EQ(m.hwnd, b);
    EXPECT_EQ(m.wParam, 3u);
    dropWindow(a);
    dropWindow(b);
}

TEST(Queue, BadFilterFails) {
    plat::Hwnd gone = makeWindow();
    dropWindow(gone);
    std::atomic<plat::Hwnd> foreign{nullptr};
    std::atomic<bool> release{false};
    std::thread other([&] {
        plat::Hwnd w = makeWindow();
        foreign = w;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        dropWindow(w);
    });
    while (!foreign) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    plat::Msg m;
    EXPECT_EQ(plat::GetMessageA(&m, gone, 0, 0), -1);
    EXPECT_EQ(plat::GetMessageA(&m, reinterpret_cast<plat::Hwnd>(0x5), 0, 0), -1);
    EXPECT_EQ(plat::GetMessageA(&m, foreign, 0, 0), -1) << "another thread's window";
    EXPECT_EQ(plat::GetMessageA(nullptr, nullptr, 0, 0), -1);
    plat::Hwnd own = makeWindow();
    plat::PostMessageA(own, kPing, 0, 0);
    EXPECT_EQ(plat::GetMessageA(&m, own, kPing, kPing), -1) << "a message range";
    dropWindow(own);
    EXPECT_EQ(plat::DestroyWindow(foreign), 0) << "only the owner thread may destroy";
    release = true;
    other.join();
}

TEST(Queue, MessagesGoWithTheirDestroyedWindow) {
    plat::Hwnd doomed = makeWindow();
    plat::Hwnd keeper = makeWindow();
    ASSERT_EQ(plat::PostMessageA(doomed, kPing, 1, 0), 1);
    ASSERT_EQ(plat::PostMessageA(doomed, plat::kWmQuit, 0, 0), 1);
    ASSERT_EQ(plat::SetTimer(doomed, 9, 10), 9u);
    dropWindow(doomed);
    EXPECT_EQ(plat::PostMessageA(doomed, kPing, 2, 0), 0);
    ASSERT_EQ(plat::PostMessageA(keeper, kPing, 3, 0), 1);

    plat::Msg m;
    ASSERT_EQ(nextMessage(&m, nullptr, keeper, 200), 1) << "a quit of the dead window";
    EXPECT_EQ(m.hwnd, keeper);
    EXPECT_EQ(m.wParam, 3u);
    ASSERT_EQ(nextMessage(&m, nullptr, keeper, 200), 1);
    EXPECT_TRUE(isDeadline(m)) << "message " << m.message << " for " << m.hwnd;
    dropWindow(keeper);
}

TEST(Timers, RepeatUntilKilledAndFollowTheClock) {
    plat::Hwnd w = makeWindow();
    constexpr uintptr_t id = 5;
    uint32_t start = plat::GetTickCount();
    ASSERT_EQ(plat::SetTimer(w, id, 20), id);
    uint32_t last = start;
    ASSERT_TRUE(pumpUntil(w, [&] {
        auto s = seen(w);
        size_t n = 0;
        for (const Seen& x : s) n += x.msg == plat::kWmTimer && x.wParam == id;
        if (n > 0) last = plat::GetTickCount();
        return n == 3;
    }));
    EXPECT_GE(last - start, 60u) << "three periods of 20 ms";
    EXPECT_EQ(plat::KillTimer(w, id), 1);
    EXPECT_EQ(plat::KillTimer(w, id), 0);
    size_t before = seen(w).size();
    pumpFor(w, 100);
    for (size_t i = before; i < seen(w).size(); ++i)
        EXPECT_FALSE(seen(w)[i].msg == plat::kWmTimer && seen(w)[i].wParam == id);
    dropWindow(w);
}

// A window's timers are one per id: setting one again gives it its new
// period, and killing one leaves the other ticking.
TEST(Timers, EachIdOfAWindowIsATimerOfItsOwn) {
    plat::Hwnd w = makeWindow();
    auto ticks = [&](uintptr_t id) {
        size_t n = 0;
        for (const Seen& x : seen(w)) n += x.msg == plat::kWmTimer && x.wParam == id;
        return n;
    };
    ASSERT_EQ(plat::SetTimer(w, 1, 20), 1u);
    ASSERT_EQ(plat::SetTimer(w, 2, 600000), 2u);
    ASSERT_TRUE(pumpUntil(w, [&] { return ticks(1) >= 2; }));
    EXPECT_EQ(ticks(2), 0u) << "the ten-minute timer ticked with the other";

    ASSERT_EQ(plat::SetTimer(w, 2, 20), 2u);
    EXPECT_EQ(plat::KillTimer(w, 1), 1);
    size_t firstTicks = ticks(1);
    ASSERT_TRUE(pumpUntil(w, [&] { return ticks(2) >= 2; }));
    EXPECT_EQ(ticks(1), firstTicks) << "a killed timer ticked";
    EXPECT_EQ(plat::KillTimer(w, 2), 1);
    dropWindow(w);
}

TEST(Timers, OnlyTheOwnerThreadSetsThem) {
    plat::Hwnd w = makeWindow();
    uintptr_t got = 1;
    std::thread([&] { got = plat::SetTimer(w, 1, 10); }).join();
    EXPECT_EQ(got, 0u);
    dropWindow(w);
}

}  // namespace
