// The page lookup: one worker thread per change of site key asks the service about the site
// (NewPage) and hands its result to the window thread in WM_LOOKUP_DONE. Workers never touch the
// toolbar: they share only a LookupChannel with it, which outlives whichever of the two goes first
// and makes sure every request is freed exactly once.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <wrl/client.h>
#include <exdisp.h>

namespace Brackenfold {

// What a lookup found, applied on the window thread in the order rating, status code,
// advertisement, refresh.
struct PageLookupResult {
    bool setStatus = false;  // false: nobody logged in, the status code stays as it was
    std::u16string statusCode;
    bool answered = false;  // NewPage succeeded: the rating and the advertisement change
    int rating = 0;
    int adId = 0;
    std::u16string adUrl;
    std::vector<BYTE> adBytes;
};

class LookupChannel;

struct PageLookupRequest {
    ComPtr<IWebBrowser2> browser;  // released on the window thread
    std::shared_ptr<LookupChannel> channel;
    std::u16string siteKey;
    HANDLE thread = nullptr;
    PageLookupResult result;
};

// Shared between a toolbar and its workers.
class LookupChannel {
public:
    explicit LookupChannel(HWND toolbar) : toolbar_(toolbar) {}

    // Window thread: registers a new request.
    void Add(PageLookupRequest* request);
    // Worker: posts WM_LOOKUP_DONE to the toolbar; when the toolbar is gone the worker frees the
    // request itself.
    void Finish(PageLookupRequest* request);
    // Window thread, WM_LOOKUP_DONE: takes the request back. Null for a request this channel does
    // not hold (already freed, or a forged message).
    PageLookupRequest* Take(WPARAM wParam);
    // Window thread, the toolbar window is going: frees the requests whose message can no longer
    // arrive and lets go of the browser references of those still running.
    void Close();

    // Closes the thread handle and frees the request.
    static void Free(PageLookupRequest* request);

private:
    std::mutex lock_;
    HWND toolbar_;
    std::set<PageLookupRequest*> running_;
    std::set<PageLookupRequest*> posted_;
};

// The worker's decision for a site key: "su", "bf", nothing while logged out, else one NewPage
// call. Runs on the worker thread; touches nothing but the result.
void LookUpSite(const std::u16string& siteKey, PageLookupResult& result);

}  // namespace Brackenfold
