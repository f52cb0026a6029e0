// Window lifecycle, message order, queues and cross-thread sends.
#include <processthreadsapi.h>
#include <winuser.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Entry {
    HWND hwnd;
    UINT msg;
    WPARAM wp;
    bool operator==(const Entry& o) const { return hwnd == o.hwnd && msg == o.msg; }
};

std::mutex g_mu;
std::vector<Entry> g_log;
LRESULT g_create_result = 0;
BOOL g_nccreate_result = TRUE;
CREATESTRUCTW g_cs{};
LONG g_style_in_create = 0;

bool interesting(UINT m) {
    switch (m) {
    case WM_NCCREATE: case WM_NCCALCSIZE: case WM_CREATE: case WM_SIZE: case WM_MOVE: case WM_SHOWWINDOW:
    case WM_WINDOWPOSCHANGING: case WM_WINDOWPOSCHANGED: case WM_DESTROY: case WM_NCDESTROY: case WM_PARENTNOTIFY:
    case WM_SETFOCUS: case WM_KILLFOCUS: case WM_USER: case WM_USER + 1: case WM_PAINT: case WM_ERASEBKGND:
        return true;
    default: return false;
    }
}

LRESULT CALLBACK rec_proc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    if (interesting(m)) {
        std::lock_guard lk(g_mu);
        g_log.push_back({h, m, wp});
    }
    if (m == WM_NCCREATE && !g_nccreate_result) return FALSE;
    if (m == WM_CREATE) {
        g_cs = *reinterpret_cast<CREATESTRUCTW*>(lp);
        g_style_in_create = GetWindowLongW(h, GWL_STYLE);
        return g_create_result;
    }
    if (m == WM_USER) return static_cast<LRESULT>(GetCurrentThreadId());
    return DefWindowProcW(h, m, wp, lp);
}

class WinMessages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = rec_proc;
        wc.lpszClassName = u"WinTestRec";
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        ASSERT_NE(RegisterClassExW(&wc), 0);
    }
    void SetUp() override {
        clear();
        g_create_result = 0;
        g_nccreate_result = TRUE;
    }
    static void clear() {
        std::lock_guard lk(g_mu);
        g_log.clear();
    }
    static std::vector<Entry> log() {
        std::lock_guard lk(g_mu);
        return g_log;
    }
    static HWND make(HWND parent, DWORD style, int x = 0, int y = 0, int cx = 100, int cy = 50, DWORD ex = 0) {
        return CreateWindowExW(ex, u"WinTestRec", u"t", style, x, y, cx, cy, parent, nullptr, nullptr, nullptr);
    }
    static void pump() {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
};

TEST_F(WinMessages, CreationOrderAndCreateStruct) {
    HWND top = make(nullptr, WS_OVERLAPPED, 10, 20, 300, 200);
    ASSERT_TRUE(top);
    clear();
    HWND c = CreateWindowExW(0, u"WinTestRec", u"child", WS_CHILD | WS_VISIBLE, 5, 6, 70, 30, top,
                             reinterpret_cast<HMENU>(42), nullptr, reinterpret_cast<LPVOID>(0x1234));
    ASSERT_TRUE(c);
    std::vector<Entry> want = {{c, WM_NCCREATE, 0},        {c, WM_NCCALCSIZE, 0},         {c, WM_CREATE, 0},
                               {c, WM_SIZE, 0},            {c, WM_MOVE, 0},               {top, WM_PARENTNOTIFY, 0},
                               {c, WM_SHOWWINDOW, 0},      {c, WM_WINDOWPOSCHANGING, 0}, {c, WM_WINDOWPOSCHANGED, 0}};
    EXPECT_EQ(log(), want);
    EXPECT_EQ(g_cs.lpCreateParams, reinterpret_cast<LPVOID>(0x1234));
    EXPECT_EQ(g_cs.x, 5);
    EXPECT_EQ(g_cs.cy, 30);
    EXPECT_EQ(g_cs.hwndParent, top);
    EXPECT_EQ(std::u16string(g_cs.lpszName), u"child");
    EXPECT_TRUE(g_cs.style & WS_VISIBLE);
    EXPECT_FALSE(g_style_in_create & WS_VISIBLE);  // shown only after creation
    EXPECT_EQ(GetDlgCtrlID(c), 42);
    EXPECT_EQ(GetParent(c), top);
    EXPECT_EQ(GetWindowThreadProcessId(c, nullptr), GetCurrentThreadId());
    WCHAR buf[16];
    EXPECT_EQ(GetWindowTextW(c, buf, 16), 5);
    EXPECT_EQ(std::u16string(buf), u"child");
    EXPECT_EQ(GetWindowTextW(c, buf, 3), 2);  // truncated, terminated
    EXPECT_EQ(std::u16string(buf), u"ch");
    DestroyWindow(top);
}

TEST_F(WinMessages, FailedCreation) {
    size_t before = bf::window_count();
    g_create_result = -1;
    EXPECT_EQ(make(nullptr, WS_POPUP), nullptr);
    auto l = log();
    ASSERT_GE(l.size(), 3u);
    EXPECT_EQ(l[l.size() - 2].msg, static_cast<UINT>(WM_DESTROY));
    EXPECT_EQ(l.back().msg, static_cast<UINT>(WM_NCDESTROY));
    clear();
    g_create_result = 0;
    g_nccreate_result = FALSE;
    EXPECT_EQ(make(nullptr, WS_POPUP), nullptr);
    l = log();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].msg, static_cast<UINT>(WM_NCCREATE));
    EXPECT_EQ(l[1].msg, static_cast<UINT>(WM_NCDESTROY));
    EXPECT_EQ(bf::window_count(), before);

    EXPECT_EQ(CreateWindowExW(0, u"NoSuchClass", nullptr, 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    EXPECT_EQ(make(nullptr, WS_CHILD), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TLW_WITH_WSCHILD));
    EXPECT_EQ(make(reinterpret_cast<HWND>(0x7777), WS_CHILD), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WinMessages, DestructionOrderAndStaleHandles) {
    HWND p = make(nullptr, WS_POPUP);
    HWND a = make(p, WS_CHILD);
    HWND a1 = make(a, WS_CHILD);
    HWND b = make(p, WS_CHILD);
    clear();
    ASSERT_TRUE(DestroyWindow(p));
    std::vector<Entry> got;
    for (auto& e : log())
        if (e.msg == WM_DESTROY || e.msg == WM_NCDESTROY) got.push_back(e);
    std::vector<Entry> want = {{p, WM_DESTROY, 0},    {a, WM_DESTROY, 0},    {a1, WM_DESTROY, 0},
                               {b, WM_DESTROY, 0},    {a1, WM_NCDESTROY, 0}, {a, WM_NCDESTROY, 0},
                               {b, WM_NCDESTROY, 0},  {p, WM_NCDESTROY, 0}};
    EXPECT_EQ(got, want);
    for (HWND h : {p, a, a1, b}) EXPECT_FALSE(IsWindow(h));
    RECT r;
    SetLastError(0);
    EXPECT_FALSE(GetWindowRect(a, &r));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(SendMessageW(a, WM_USER, 0, 0), 0);
    EXPECT_FALSE(PostMessageW(a, WM_USER, 0, 0));
    EXPECT_FALSE(DestroyWindow(a));
    // New windows never take an old handle.
    for (int i = 0; i < 50; ++i) {
        HWND n = make(nullptr, WS_POPUP);
        EXPECT_NE(n, p);
        EXPECT_NE(n, a);
        DestroyWindow(n);
    }
}

TEST_F(WinMessages, SetWindowPosSequenceAndGeometry) {
    HWND top = make(nullptr, WS_POPUP, 100, 100, 400, 300);
    HWND c = make(top, WS_CHILD | WS_VISIBLE, 10, 10, 50, 20, WS_EX_CLIENTEDGE);
    clear();
    ASSERT_TRUE(SetWindowPos(c, nullptr, 20, 30, 80, 40, SWP_NOZORDER | SWP_NOACTIVATE));
    std::vector<Entry> want = {{c, WM_WINDOWPOSCHANGING, 0},
                               {c, WM_NCCALCSIZE, 0},
                               {c, WM_WINDOWPOSCHANGED, 0},
                               {c, WM_MOVE, 0},
                               {c, WM_SIZE, 0}};
    EXPECT_EQ(log(), want);
    RECT wr, cr;
    GetWindowRect(c, &wr);
    GetClientRect(c, &cr);
    EXPECT_EQ(wr.left, 120);
    EXPECT_EQ(wr.top, 130);
    EXPECT_EQ(wr.right, 200);
    EXPECT_EQ(cr.right, 76);  // 80 minus the 2-pixel client edge on both sides
    EXPECT_EQ(cr.bottom, 36);
    POINT pt{0, 0};
    ClientToScreen(c, &pt);
    EXPECT_EQ(pt.x, 122);
    EXPECT_EQ(pt.y, 132);
    POINT q{5, 5};
    EXPECT_EQ(MapWindowPoints(c, top, &q, 1), MAKELONG(22, 32));
    EXPECT_EQ(q.x, 27);

    clear();
    SetWindowPos(c, nullptr, 0, 0, 90, 40, SWP_NOMOVE | SWP_NOZORDER);  // size only: no WM_MOVE
    want = {{c, WM_WINDOWPOSCHANGING, 0}, {c, WM_NCCALCSIZE, 0}, {c, WM_WINDOWPOSCHANGED, 0}, {c, WM_SIZE, 0}};
    EXPECT_EQ(log(), want);

    RECT adj{0, 0, 100, 100};
    AdjustWindowRectEx(&adj, WS_OVERLAPPEDWINDOW, FALSE, 0);
    EXPECT_EQ(adj.left, -4);
    EXPECT_EQ(adj.top, -23);
    EXPECT_EQ(adj.right, 104);
    adj = {0, 0, 10, 10};
    AdjustWindowRectEx(&adj, WS_CHILD | WS_BORDER, FALSE, WS_EX_CLIENTEDGE);
    EXPECT_EQ(adj.left, -3);
    EXPECT_EQ(adj.bottom, 13);
    DestroyWindow(top);
}

TEST_F(WinMessages, VisibilityFollowsAncestors) {
    HWND top = make(nullptr, WS_POPUP);
    HWND c = make(top, WS_CHILD | WS_VISIBLE);
    EXPECT_FALSE(IsWindowVisible(c));
    EXPECT_FALSE(ShowWindow(top, SW_SHOW));
    EXPECT_TRUE(IsWindowVisible(c));
    clear();
    EXPECT_TRUE(ShowWindow(c, SW_SHOW));  // already shown: no messages
    EXPECT_TRUE(log().empty());
    EXPECT_TRUE(ShowWindow(c, SW_HIDE));
    EXPECT_FALSE(IsWindowVisible(c));
    EXPECT_FALSE(ShowWindow(c, SW_HIDE));
    DestroyWindow(top);
}

TEST_F(WinMessages, FocusChanges) {
    HWND top = make(nullptr, WS_POPUP | WS_VISIBLE);
    HWND a = make(top, WS_CHILD | WS_VISIBLE);
    HWND b = make(top, WS_CHILD | WS_VISIBLE);
    SetFocus(nullptr);
    clear();
    EXPECT_EQ(SetFocus(a), nullptr);
    EXPECT_EQ(SetFocus(b), a);
    EXPECT_EQ(GetFocus(), b);
    auto l = log();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].hwnd, a);
    EXPECT_EQ(l[0].msg, static_cast<UINT>(WM_SETFOCUS));
    EXPECT_EQ(l[1].hwnd, a);
    EXPECT_EQ(l[1].msg, static_cast<UINT>(WM_KILLFOCUS));
    EXPECT_EQ(reinterpret_cast<HWND>(l[1].wp), b);
    EXPECT_EQ(l[2].msg, static_cast<UINT>(WM_SETFOCUS));
    EXPECT_EQ(reinterpret_cast<HWND>(l[2].wp), a);
    clear();
    EXPECT_EQ(SetFocus(b), b);  // no change, no messages
    EXPECT_TRUE(log().empty());
    EnableWindow(a, FALSE);
    EXPECT_EQ(SetFocus(a), nullptr);
    EXPECT_EQ(GetFocus(), b);
    DestroyWindow(b);
    EXPECT_EQ(GetFocus(), nullptr);
    // Another thread has its own focus and cannot take this thread's windows.
    std::thread([&] {
        EXPECT_EQ(GetFocus(), nullptr);
        EXPECT_EQ(SetFocus(top), nullptr);
    }).join();
    DestroyWindow(top);
}

TEST_F(WinMessages, PostedMessagesToDestroyedWindowsAreDropped) {
    HWND w = make(nullptr, WS_POPUP);
    pump();
    clear();
    PostMessageW(w, WM_USER + 1, 1, 0);
    PostMessageW(w, WM_USER + 1, 2, 0);
    PostThreadMessageW(GetCurrentThreadId(), WM_USER + 2, 7, 0);
    DestroyWindow(w);
    MSG m;
    std::vector<UINT> seen;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        seen.push_back(m.message);
        DispatchMessageW(&m);
    }
    EXPECT_EQ(seen, std::vector<UINT>{WM_USER + 2});
    for (auto& e : log()) EXPECT_NE(e.msg, static_cast<UINT>(WM_USER + 1));
}

TEST_F(WinMessages, QueueOrderPaintAndQuit) {
    HWND w = make(nullptr, WS_POPUP | WS_VISIBLE);
    pump();
    MSG m;
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    InvalidateRect(w, nullptr, TRUE);
    PostMessageW(w, WM_USER + 1, 0, 0);
    PostQuitMessage(3);
    // Posted messages first, then the quit, and only then the synthesised paint.
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 1));
    ASSERT_EQ(GetMessageW(&m, nullptr, 0, 0), TRUE);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 1));
    EXPECT_EQ(GetMessageW(&m, nullptr, 0, 0), FALSE);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(m.wParam, 3u);
    clear();
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_PAINT));
    DispatchMessageW(&m);  // default processing validates and erases
    std::vector<Entry> want = {{w, WM_PAINT, 0}, {w, WM_ERASEBKGND, 0}};
    EXPECT_EQ(log(), want);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));

    EXPECT_EQ(GetMessageW(&m, reinterpret_cast<HWND>(0x5555), 0, 0), -1);
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(0x7FFFFFF0, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    DestroyWindow(w);
}

// A thread that owns one window and pumps until told to quit.
struct Owner {
    std::atomic<HWND> hwnd{nullptr};
    std::atomic<DWORD> tid{0};
    std::thread t;
    explicit Owner(bool pump_messages, HANDLE gate = nullptr, bool destroy_after_gate = true) {
        t = std::thread([this, pump_messages, gate, destroy_after_gate] {
            HWND h = CreateWindowExW(0, u"WinTestRec", nullptr, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                     nullptr);
            tid = GetCurrentThreadId();
            hwnd = h;
            if (pump_messages) {
                MSG m;
                while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
                DestroyWindow(h);
            } else {
                WaitForSingleObject(gate, INFINITE);
                if (destroy_after_gate) DestroyWindow(h);
            }
        });
        while (!hwnd) std::this_thread::yield();
    }
    void quit() { PostThreadMessageW(tid, WM_QUIT, 0, 0); }
    ~Owner() {
        if (t.joinable()) t.join();
    }
};

TEST_F(WinMessages, CrossThreadSendBlocksUntilHandled) {
    Owner o(true);
    EXPECT_EQ(static_cast<DWORD>(SendMessageW(o.hwnd, WM_USER, 0, 0)), o.tid.load());
    EXPECT_NE(o.tid.load(), GetCurrentThreadId());
    o.quit();
}

LRESULT CALLBACK echo_back_proc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_USER + 5) {
        // Sends back to the original sender's window while that sender waits.
        return SendMessageW(reinterpret_cast<HWND>(wp), WM_USER, 0, 0) + 1;
    }
    return DefWindowProcW(h, m, wp, lp);
}

TEST_F(WinMessages, CrossThreadSendIsReentrantWhileWaiting) {
    HWND mine = make(nullptr, WS_POPUP);
    Owner o(true);
    SetWindowLongPtrW(o.hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(echo_back_proc));
    LRESULT r = SendMessageW(o.hwnd, WM_USER + 5, reinterpret_cast<WPARAM>(mine), 0);
    // The inner send ran on this thread, while this thread waited for the outer one.
    EXPECT_EQ(static_cast<DWORD>(r - 1), GetCurrentThreadId());
    o.quit();
    DestroyWindow(mine);
}

TEST_F(WinMessages, SendToWindowDestroyedWhileSenderWaits) {
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Owner o(false, gate, true);
    HWND target = o.hwnd;
    clear();
    std::atomic<bool> returned{false};
    std::atomic<LRESULT> result{-1};
    std::thread sender([&] {
        result = SendMessageW(target, WM_USER, 0, 0);
        returned = true;
    });
    Sleep(50);
    EXPECT_FALSE(returned.load());  // the owner is not pumping
    SetEvent(gate);                 // the owner destroys its window without pumping
    sender.join();
    EXPECT_EQ(result.load(), 0);
    for (auto& e : log()) EXPECT_NE(e.msg, static_cast<UINT>(WM_USER));
    EXPECT_EQ(SendMessageW(target, WM_USER, 0, 0), 0);
    CloseHandle(gate);
}

TEST_F(WinMessages, SendToEndedThread) {
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto* o = new Owner(false, gate, false);  // the thread ends with its window alive
    HWND target = o->hwnd;
    std::atomic<LRESULT> result{-1};
    std::thread sender([&] { result = SendMessageW(target, WM_USER, 0, 0); });
    Sleep(50);
    SetEvent(gate);
    sender.join();
    delete o;
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(IsWindow(target));  // the system took it down with its thread
    EXPECT_EQ(SendMessageW(target, WM_USER, 0, 0), 0);
    CloseHandle(gate);
}

// Superclassing and subclassing chains.
WNDPROC g_edit_proc = nullptr;
std::vector<int> g_chain;

LRESULT CALLBACK super_edit(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_USER + 9) g_chain.push_back(0);
    return CallWindowProcW(g_edit_proc, h, m, wp, lp);
}
WNDPROC g_sub1_prev = nullptr, g_sub2_prev = nullptr;
LRESULT CALLBACK sub1(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_USER + 9) g_chain.push_back(1);
    return CallWindowProcW(g_sub1_prev, h, m, wp, lp);
}
LRESULT CALLBACK sub2(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_USER + 9) g_chain.push_back(2);
    return CallWindowProcW(g_sub2_prev, h, m, wp, lp);
}

TEST_F(WinMessages, SuperclassAndSubclassChains) {
    WNDCLASSEXW wc{};
    ASSERT_TRUE(GetClassInfoExW(nullptr, u"EDIT", &wc));
    g_edit_proc = wc.lpfnWndProc;
    EXPECT_EQ(wc.hCursor, LoadCursorW(nullptr, IDC_IBEAM));
    auto inst = reinterpret_cast<HINSTANCE>(0x1000);
    wc.lpfnWndProc = super_edit;
    wc.lpszClassName = u"SuperEdit";
    wc.hInstance = inst;
    wc.style &= ~static_cast<UINT>(CS_GLOBALCLASS);
    ASSERT_NE(RegisterClassExW(&wc), 0);
    EXPECT_EQ(RegisterClassExW(&wc), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    WNDCLASSEXW again{};
    EXPECT_FALSE(GetClassInfoExW(nullptr, u"SuperEdit", &again));  // local to its instance
    ASSERT_TRUE(GetClassInfoExW(inst, u"superedit", &again));
    EXPECT_EQ(again.lpfnWndProc, super_edit);

    HWND top = make(nullptr, WS_POPUP);
    HWND e = CreateWindowExW(0, u"SuperEdit", u"hello", WS_CHILD, 0, 0, 80, 20, top, nullptr, inst, nullptr);
    ASSERT_TRUE(e);
    g_sub1_prev = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(e, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(sub1)));
    EXPECT_EQ(g_sub1_prev, super_edit);
    g_sub2_prev = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(e, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(sub2)));
    g_chain.clear();
    SendMessageW(e, WM_USER + 9, 0, 0);
    EXPECT_EQ(g_chain, (std::vector<int>{2, 1, 0}));
    // The edit behaviour comes through the whole chain.
    SendMessageW(e, EM_SETSEL, 1, 3);
    DWORD s = 0, en = 0;
    SendMessageW(e, EM_GETSEL, reinterpret_cast<WPARAM>(&s), reinterpret_cast<LPARAM>(&en));
    EXPECT_EQ(s, 1u);
    EXPECT_EQ(en, 3u);
    WCHAR cls[32];
    EXPECT_EQ(GetClassNameW(e, cls, 32), 9);
    EXPECT_EQ(std::u16string(cls), u"SuperEdit");
    EXPECT_FALSE(UnregisterClassW(u"SuperEdit", inst));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));
    DestroyWindow(top);
    EXPECT_TRUE(UnregisterClassW(u"SuperEdit", inst));
}

TEST_F(WinMessages, WindowLongsAndTree) {
    HWND top = make(nullptr, WS_POPUP);
    HWND a = make(top, WS_CHILD);
    HWND b = make(top, WS_CHILD);
    EXPECT_EQ(GetWindow(top, GW_CHILD), a);  // later children go below earlier ones
    EXPECT_EQ(GetWindow(a, GW_HWNDNEXT), b);
    EXPECT_EQ(GetWindow(b, GW_HWNDNEXT), nullptr);
    EXPECT_EQ(SetWindowLongPtrW(a, GWLP_USERDATA, 77), 0);
    EXPECT_EQ(GetWindowLongPtrW(a, GWLP_USERDATA), 77);
    SetLastError(0);
    EXPECT_EQ(GetWindowLongPtrW(a, 8), 0);  // no extra bytes
    EXPECT_EQ(GetLastError(), 1413u);
    std::vector<HWND> kids;
    EnumChildWindows(
        top, [](HWND h, LPARAM lp) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&kids));
    EXPECT_EQ(kids, (std::vector<HWND>{a, b}));
    EXPECT_EQ(SetParent(b, a), top);
    EXPECT_TRUE(IsChild(top, b));
    EXPECT_EQ(SetParent(a, b), nullptr);  // no cycles
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DestroyWindow(top);
    EXPECT_FALSE(IsWindow(b));
}

}  // namespace
